# Writes a pkg-config file for the tree as it is installed. Run at install
# time, when CMAKE_INSTALL_PREFIX is the prefix the tree goes to (which
# `cmake --install --prefix` may change after configuring). Takes
# VARDA_PC_IN, VARDA_PC_OUT, VARDA_PC_VERSION and the install folders as
# configured, VARDA_PC_LIBDIR and VARDA_PC_INCLUDEDIR, each relative to the
# prefix or absolute (a distribution's /usr/lib/<triplet>).
function(varda_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  else()
    set(full "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  # Below the prefix, the path is written through ${prefix}, as
  # distributions do.
  string(LENGTH "${CMAKE_INSTALL_PREFIX}/" prefix_length)
  string(SUBSTRING "${full}/" 0 ${prefix_length} head)
  if(head STREQUAL "${CMAKE_INSTALL_PREFIX}/" AND NOT CMAKE_INSTALL_PREFIX STREQUAL "/")
    string(SUBSTRING "${full}" ${prefix_length} -1 tail)
    set(full "\${prefix}/${tail}")
  endif()
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

set(VARDA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
varda_pc_dir(VARDA_PC_LIBDIR_FULL "${VARDA_PC_LIBDIR}")
varda_pc_dir(VARDA_PC_INCLUDEDIR_FULL "${VARDA_PC_INCLUDEDIR}")
set(PROJECT_VERSION "${VARDA_PC_VERSION}")
configure_file("${VARDA_PC_IN}" "${VARDA_PC_OUT}" @ONLY)
