# Installation of liborvelsdk for other projects: the library with its SONAME link, the public
# header, pkg-config (orvelsdk.pc) and a CMake package (find_package(orvelsdk) -> orvelsdk::orvelsdk).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvelsdk)

install(TARGETS orvelsdk EXPORT orvelsdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/orvelsdk/orvelsdk.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvelsdk)
install(EXPORT orvelsdkTargets
  NAMESPACE orvelsdk::
  DESTINATION ${ORVEL_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvelsdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvelsdkConfig.cmake
  INSTALL_DESTINATION ${ORVEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvelsdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvelsdkConfig.cmake ${PROJECT_BINARY_DIR}/orvelsdkConfigVersion.cmake
  DESTINATION ${ORVEL_CMAKE_DIR})

# The library's own folder may already install a pkg-config file; install ours only otherwise.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/src/orvelsdk/orvelsdk.pc.in)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/orvelsdk.pc.in ${PROJECT_BINARY_DIR}/orvelsdk.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/orvelsdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
