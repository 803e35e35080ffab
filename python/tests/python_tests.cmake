# The Python package (python/le_core) against this tree's library, with
# Debian's interpreter and pytest. Included by tests/CMakeLists.txt.
set(LE_PY_ENV
  "LE_CORE_LIB=$<TARGET_FILE:le_core>"
  "LE_FORGE=$<TARGET_FILE:le-forge>"
  "PYTHONPATH=${CMAKE_SOURCE_DIR}/python"
  "LE_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp"
  "PYTHONDONTWRITEBYTECODE=1")

# An instrumented library loaded into an uninstrumented interpreter needs its
# sanitizer runtime first in the process, and libstdc++ loaded before the
# runtime looks up the C++ functions it wraps (__cxa_throw and friends).
if(LE_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE LE_PY_STDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(LE_SANITIZE MATCHES "address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE LE_PY_SAN OUTPUT_STRIP_TRAILING_WHITESPACE)
    # The interpreter keeps its objects until exit by design: leaks are not ours to report.
    list(APPEND LE_PY_ENV "ASAN_OPTIONS=detect_leaks=0")
  elseif(LE_SANITIZE MATCHES "thread")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                    OUTPUT_VARIABLE LE_PY_SAN OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND LE_PY_ENV "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/sanitizers/tsan.supp")
  endif()
  if(LE_PY_SAN AND IS_ABSOLUTE "${LE_PY_SAN}" AND EXISTS "${LE_PY_SAN}")
    list(APPEND LE_PY_ENV "LD_PRELOAD=${LE_PY_SAN} ${LE_PY_STDCXX}")
  else()
    set(LE_PY_SKIP "no sanitizer runtime for LE_SANITIZE=${LE_SANITIZE} from ${CMAKE_CXX_COMPILER} -print-file-name, so the interpreter cannot load this tree's library")
  endif()
endif()

if(LE_PY_SKIP)
  add_test(NAME python COMMAND sh -c "echo 'python: skipped: ${LE_PY_SKIP}'; exit 77")
  set_tests_properties(python PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()

add_test(NAME python
  COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
          --basetemp=${CMAKE_BINARY_DIR}/test-tmp/python ${CMAKE_SOURCE_DIR}/python/tests
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(python PROPERTIES ENVIRONMENT "${LE_PY_ENV}" TIMEOUT 900)
