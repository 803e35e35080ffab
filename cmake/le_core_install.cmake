# What `cmake --install` puts under the prefix: lible_core.so (RUNPATH $ORIGIN)
# with ONNX Runtime's library beside it, the public headers, le_core.pc and the
# CMake package le_core::le_core. The static archive, tools, tests and
# benchmarks stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS le_core EXPORT le_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/le DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# ONNX Runtime travels as a plain file under its soname, so the installed copy
# needs nothing from third_party/ (the name there may be a link).
file(REAL_PATH ${ORT_ROOT}/lib/libonnxruntime.so.1 LE_ORT_FILE)
install(FILES ${LE_ORT_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME libonnxruntime.so.1
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

# A sanitizer build installs an instrumented library, which only links into a
# host that brings the same sanitizer runtime: both packages say so.
set(LE_HOST_SANITIZE "")
if(LE_SANITIZE)
  set(LE_HOST_SANITIZE "-fsanitize=${LE_SANITIZE}")
endif()

set(LE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
install(EXPORT le_coreTargets NAMESPACE le_core:: DESTINATION ${LE_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/le_coreConfig.cmake.in
  ${CMAKE_BINARY_DIR}/le_coreConfig.cmake INSTALL_DESTINATION ${LE_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_LIBDIR)
# Same promise as the soname: any release of the same major version will do.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/le_coreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/le_coreConfig.cmake ${CMAKE_BINARY_DIR}/le_coreConfigVersion.cmake
  DESTINATION ${LE_CMAKE_DIR})

# le_core.pc names the prefix given to `cmake --install --prefix`, which is only
# known at install time, so it is written then.
configure_file(${CMAKE_SOURCE_DIR}/cmake/le_core_pc.cmake.in ${CMAKE_BINARY_DIR}/le_core_pc.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/le_core_pc.cmake)
