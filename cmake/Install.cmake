# Install rules: the library with its SONAME, the public headers under include/likeness/, the
# likeness command, the default model, a CMake package (likeness::likeness) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LIKENESS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/likeness)

install(TARGETS likeness EXPORT likenessTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)

foreach(header ${LIKENESS_PUBLIC_HEADERS})
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/likeness/${header_dir} COMPONENT development)
endforeach()

if(TARGET likeness_cli)
  install(TARGETS likeness_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

# The model is made after the build (make model), so whether it exists is decided at install time.
install(FILES ${CMAKE_SOURCE_DIR}/model/v0.net ${CMAKE_SOURCE_DIR}/model/v0.dat
  DESTINATION ${CMAKE_INSTALL_DATADIR}/likeness/model COMPONENT runtime OPTIONAL)

install(EXPORT likenessTargets NAMESPACE likeness:: DESTINATION ${LIKENESS_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/likenessConfig.cmake.in
  ${CMAKE_BINARY_DIR}/likenessConfig.cmake INSTALL_DESTINATION ${LIKENESS_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/likenessConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/likenessConfig.cmake ${CMAKE_BINARY_DIR}/likenessConfigVersion.cmake
  DESTINATION ${LIKENESS_INSTALL_CMAKEDIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so `cmake --install --prefix P` works for any P.
file(RELATIVE_PATH LIKENESS_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LIKENESS_PC_TO_PREFIX "${LIKENESS_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/likeness.pc.in ${CMAKE_BINARY_DIR}/likeness.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/likeness.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
