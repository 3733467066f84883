# Header-only libraries of the build machine for the cross build. Their own
# package files point at /usr/include, which would also bring the build
# machine's C library headers into the Windows build; this makes a folder
# with only the library's own header folder in it and an imported target
# on that folder.
function(vantor_host_header_target target folder)
  if(TARGET ${target})
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${dir}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
endfunction()
