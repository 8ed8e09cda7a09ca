# Installation of liborvelsdk for other projects: the library with its SONAME link, the public
# header, pkg-config (orvelsdk.pc) and a CMake package (find_package(orvelsdk) -> orvelsdk::orvelsdk).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvelsdk)

install(TARGETS orvelsdk EXPORT orvelsdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/orvelsdk/orvelsdk.h ${PROJECT_SOURCE_DIR}/include/orvelsdk/orvelsdk_results.h
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

# A pkg-config file beside the CMake package.
# The prefix is found from the .pc file's own place (pkg-config's ${pcfiledir}), so an install
# with `cmake --install --prefix X` or a moved tree still points into itself. Absolute
# directories given at configure time stay as they are.
set(ORVEL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ORVEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ORVEL_PC_UP "/prefix/${ORVEL_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" ORVEL_PC_UP "${ORVEL_PC_UP}")
  set(ORVEL_PC_PREFIX "\${pcfiledir}/${ORVEL_PC_UP}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ORVEL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ORVEL_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvelsdk.pc.in ${PROJECT_BINARY_DIR}/orvelsdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvelsdk.pc DESTINATION ${ORVEL_PC_DIR})
