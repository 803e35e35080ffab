# lecore serve in headless Chromium with a fake microphone (skipped, with the
# reason, when Chromium cannot start). Sanitizer builds use a small identity:
# the point there is the server's memory, not the renderer's speed.
set(LE_SERVE_TEST_ARGS)
if(LE_SANITIZE)
  list(APPEND LE_SERVE_TEST_ARGS --small)
endif()
add_test(NAME serve_browser
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/serve_browser.py
    --lecore $<TARGET_FILE:lecore> --forge $<TARGET_FILE:le-forge>
    --speech ${CMAKE_CURRENT_LIST_DIR}/../fixtures/speech_16k.f32
    --readme-block ${CMAKE_SOURCE_DIR}/scripts/readme-block
    --work ${CMAKE_BINARY_DIR}/test-tmp/serve_browser ${LE_SERVE_TEST_ARGS})
# It needs both cores to keep pace; its screenshot is left in the work folder.
set_tests_properties(serve_browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 RUN_SERIAL TRUE)
if(LE_SANITIZE MATCHES "address")
  # GLib is built without frame pointers: full unwinding lets the leak check
  # see where each block came from (and the suppressions match load-time ones).
  set_tests_properties(serve_browser PROPERTIES ENVIRONMENT "ASAN_OPTIONS=fast_unwind_on_malloc=0")
endif()
if(LE_SANITIZE MATCHES "thread")
  # The media stack is not instrumented: its own locking is left to itself (what
  # it calls is not checked), while every access in our code still is.
  set_tests_properties(serve_browser PROPERTIES ENVIRONMENT
    "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/sanitizers/tsan.supp:ignore_noninstrumented_modules=1")
endif()
