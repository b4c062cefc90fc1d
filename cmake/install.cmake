include(CMakePackageConfigHelpers)

set(VARDA_INSTALL_TARGETS varda_kernels varda_kernels_static)
set(VARDA_INSTALL_HEADERS ${PROJECT_SOURCE_DIR}/include/varda_kernels.h)
if(VARDA_ENABLE_CODEC)
  list(APPEND VARDA_INSTALL_TARGETS varda_codec varda_codec_static)
  list(APPEND VARDA_INSTALL_HEADERS ${PROJECT_SOURCE_DIR}/include/varda_codec.h)
endif()

install(TARGETS ${VARDA_INSTALL_TARGETS}
  EXPORT varda_kernels_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${VARDA_INSTALL_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VARDA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varda_kernels)
install(EXPORT varda_kernels_targets
  NAMESPACE varda_kernels::
  FILE varda_kernels-targets.cmake
  DESTINATION ${VARDA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/varda_kernels-config.cmake.in
  ${PROJECT_BINARY_DIR}/varda_kernels-config.cmake
  INSTALL_DESTINATION ${VARDA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varda_kernels-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/varda_kernels-config.cmake
  ${PROJECT_BINARY_DIR}/varda_kernels-config-version.cmake
  DESTINATION ${VARDA_CMAKE_DIR})

# The pkg-config file finds its prefix from where it lies, so the installed
# tree may be moved or installed with --prefix.
file(RELATIVE_PATH VARDA_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
set(VARDA_PC_PREFIX "\${pcfiledir}/${VARDA_PC_UP}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/varda_kernels.pc.in
  ${PROJECT_BINARY_DIR}/varda_kernels.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varda_kernels.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(VARDA_ENABLE_CODEC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/varda_codec.pc.in
    ${PROJECT_BINARY_DIR}/varda_codec.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/varda_codec.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
