# The installed copy as hosts use it: `cmake --install` into a prefix inside the
# build tree (checked file by file), then the README's pkg-config and CMake
# examples compiled as C against that prefix alone and run on a forged identity.
# install_layout installs and forges; the README tests need it first.
set(LE_INSTALL_TEST_ENV
  LE_SRC=${CMAKE_SOURCE_DIR} LE_BUILD=${CMAKE_BINARY_DIR} LE_TEST_ROOT=${CMAKE_BINARY_DIR}/test-install
  LE_SANITIZE=${LE_SANITIZE})
set(LE_INSTALL_TEST_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_host.sh)

add_test(NAME install_layout COMMAND bash ${LE_INSTALL_TEST_SCRIPT} layout $<TARGET_FILE:le-forge>)
set_tests_properties(install_layout PROPERTIES FIXTURES_SETUP le_installed TIMEOUT 300
  ENVIRONMENT "${LE_INSTALL_TEST_ENV}")

foreach(block c-pkgconfig cmake)
  add_test(NAME install_readme_${block} COMMAND bash ${LE_INSTALL_TEST_SCRIPT} ${block} $<TARGET_FILE:le-forge>)
  set_tests_properties(install_readme_${block} PROPERTIES FIXTURES_REQUIRED le_installed TIMEOUT 600
    ENVIRONMENT "${LE_INSTALL_TEST_ENV}")
endforeach()
