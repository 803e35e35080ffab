# le-soak: a long live session with every frame checked (soak.cpp). A few
# minutes of session here: batched director with direct paste over JPEG frames;
# single frames with the paste thread over movies. `make soak` runs the hour.
add_executable(le-soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_link_libraries(le-soak PRIVATE le_forge)
target_compile_definitions(le-soak PRIVATE
  LE_SOAK_SPEECH="${CMAKE_CURRENT_LIST_DIR}/../../fixtures/speech_16k.f32")
# Sanitizer builds run slower and hold freed memory back on purpose: a shorter
# session, and resident memory reported rather than bounded.
if(LE_SANITIZE)
  set(LE_SOAK_ARGS --seconds 20 --max-frames 40 --cut-percent 50 --rss-bound-mib 0)
else()
  set(LE_SOAK_ARGS --seconds 90)
endif()
foreach(mode direct pipelined)
  set(extra)
  if(mode STREQUAL "pipelined")
    set(extra --pipelined --single --movie --seed 2)
  endif()
  add_test(NAME soak_${mode} COMMAND le-soak ${LE_SOAK_ARGS} ${extra}
    --work ${CMAKE_BINARY_DIR}/test-tmp/soak_${mode})
  set_tests_properties(soak_${mode} PROPERTIES TIMEOUT 300)
endforeach()
