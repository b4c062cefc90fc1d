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
# While the version is 0.x, each minor version is its own ABI.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(VARDA_COMPATIBILITY SameMinorVersion)
else()
  set(VARDA_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varda_kernels-config-version.cmake
  COMPATIBILITY ${VARDA_COMPATIBILITY})
install(FILES
  ${PROJECT_BINARY_DIR}/varda_kernels-config.cmake
  ${PROJECT_BINARY_DIR}/varda_kernels-config-version.cmake
  DESTINATION ${VARDA_CMAKE_DIR})

# The pkg-config files name the prefix, libdir and includedir the tree is
# installed to, written when it is installed.
function(varda_install_pc name)
  set(out ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc)
  install(CODE "
    set(VARDA_PC_IN \"${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in\")
    set(VARDA_PC_OUT \"${out}\")
    set(VARDA_PC_VERSION \"${PROJECT_VERSION}\")
    set(VARDA_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(VARDA_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/write_pc.cmake\")")
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
varda_install_pc(varda_kernels)
if(VARDA_ENABLE_CODEC)
  varda_install_pc(varda_codec)
endif()
