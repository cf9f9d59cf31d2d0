# The real game in real Wayland compositors, started headless by the tests
# themselves (tests/wayland/).
include(${PROJECT_SOURCE_DIR}/cmake/wayland.cmake)
find_package(PlasmaWaylandProtocols QUIET)
if(NOT PlasmaWaylandProtocols_FOUND)
  message(STATUS "plasma-wayland-protocols missing: no Wayland tests")
  return()
endif()
add_executable(vpointer wayland/vpointer.c)
skorrel_wayland_protocols(vpointer ${CMAKE_CURRENT_SOURCE_DIR}/wayland/wlr-virtual-pointer-unstable-v1.xml
                          ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)

find_program(SKORREL_SWAY sway)
find_program(SKORREL_MUTTER mutter)
if(NOT SKORREL_SWAY OR NOT SKORREL_MUTTER)
  message(STATUS "sway or mutter missing: no Wayland tests")
  return()
endif()
set(SKORREL_WAYLAND_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wayland/run.sh)
add_test(NAME e2e_wayland_sway
         COMMAND ${SKORREL_WAYLAND_RUN} sway $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> $<TARGET_FILE:vpointer>)
# A sway that never grants the lock: the game still plays.
add_test(NAME e2e_wayland_sway_nolock
         COMMAND ${SKORREL_WAYLAND_RUN} sway-nolock $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> $<TARGET_FILE:vpointer>)
add_test(NAME e2e_wayland_mutter
         COMMAND ${SKORREL_WAYLAND_RUN} mutter $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe>)
# A second monitor right of the primary: the shared edge stops the pointer.
add_test(NAME e2e_wayland_sway_two_monitors
         COMMAND ${SKORREL_WAYLAND_RUN} sway-two $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> $<TARGET_FILE:vpointer>)
add_test(NAME e2e_wayland_mutter_two_monitors
         COMMAND ${SKORREL_WAYLAND_RUN} mutter-two $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe>)
set_tests_properties(e2e_wayland_sway e2e_wayland_sway_nolock e2e_wayland_mutter
                     e2e_wayland_sway_two_monitors e2e_wayland_mutter_two_monitors PROPERTIES
                     LABELS "wayland;e2e" TIMEOUT 300 RUN_SERIAL ON
                     ENVIRONMENT "SKORREL_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/shots")
