# What `cmake --install` puts under the prefix: the public headers (with the generated version.h), the shared
# library (Linux: lib/libkorvex.so with its versioned file and SONAME link; Windows: bin/korvex.dll and the import
# library lib/libkorvex.dll.a), the CMake package lib/cmake/korvex (target korvex::korvex, with a version file) and
# lib/pkgconfig/korvex.pc. Tests, examples, benchmarks and the internal archive stay in the build tree.
include(CMakePackageConfigHelpers)

set(KORVEX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvex)

install(TARGETS korvex EXPORT korvexTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/korvex ${PROJECT_BINARY_DIR}/include/korvex
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT korvexTargets NAMESPACE korvex:: DESTINATION ${KORVEX_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/korvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/korvexConfig.cmake INSTALL_DESTINATION ${KORVEX_PACKAGE_DIR})
# Within one major version a newer library serves a program built against an older one (the SONAME's promise).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvexConfig.cmake ${PROJECT_BINARY_DIR}/korvexConfigVersion.cmake
  DESTINATION ${KORVEX_PACKAGE_DIR})

# korvex.pc finds the prefix from its own folder, so the installed tree can be moved (or installed with --prefix).
file(RELATIVE_PATH KORVEX_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
file(RELATIVE_PATH KORVEX_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH KORVEX_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
string(REGEX REPLACE "/$" "" KORVEX_PC_PREFIX "${KORVEX_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvex.pc.in ${PROJECT_BINARY_DIR}/korvex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
