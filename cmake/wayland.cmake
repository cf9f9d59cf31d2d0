# Client code for Wayland protocols, made by wayland-scanner.
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(SKORREL_WAYLAND_PROTOCOLS wayland-protocols pkgdatadir)
find_program(SKORREL_WAYLAND_SCANNER wayland-scanner REQUIRED)

# skorrel_wayland_protocols(<target> <xml>...): the protocols' code is built
# into target, and their headers are on its include path.
function(skorrel_wayland_protocols target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/wayland-${target})
  file(MAKE_DIRECTORY ${dir})
  foreach(xml ${ARGN})
    get_filename_component(name ${xml} NAME_WE)
    add_custom_command(
      OUTPUT ${dir}/${name}-client-protocol.h ${dir}/${name}-protocol.c
      COMMAND ${SKORREL_WAYLAND_SCANNER} client-header ${xml} ${dir}/${name}-client-protocol.h
      COMMAND ${SKORREL_WAYLAND_SCANNER} private-code ${xml} ${dir}/${name}-protocol.c
      DEPENDS ${xml} VERBATIM)
    target_sources(${target} PRIVATE ${dir}/${name}-client-protocol.h ${dir}/${name}-protocol.c)
  endforeach()
  target_include_directories(${target} PRIVATE ${dir})
  target_link_libraries(${target} PUBLIC PkgConfig::WAYLAND_CLIENT)
endfunction()
