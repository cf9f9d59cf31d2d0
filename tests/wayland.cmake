# The real game in real Wayland compositors, started headless by the tests
# themselves (tests/wayland/).
include(${PROJECT_SOURCE_DIR}/cmake/wayland.cmake)
add_executable(vpointer wayland/vpointer.c)
skorrel_wayland_protocols(vpointer ${CMAKE_CURRENT_SOURCE_DIR}/wayland/wlr-virtual-pointer-unstable-v1.xml)
# A client that commits on command, for the relay's own test.
add_executable(committer wayland/committer.c)
skorrel_wayland_protocols(committer ${SKORREL_WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)

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
# The relay that tests put between a client and sway, tried on sway itself.
add_test(NAME wayland_relay
         COMMAND ${SKORREL_WAYLAND_RUN} relay $<TARGET_FILE:committer> $<TARGET_FILE:vpointer>)
set_tests_properties(wayland_relay PROPERTIES LABELS wayland TIMEOUT 60)
# The game's connection through a relay that stops reading, then cuts it.
add_test(NAME e2e_wayland_sway_stress
         COMMAND ${SKORREL_WAYLAND_RUN} stress-sway $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> $<TARGET_FILE:vpointer>)
add_test(NAME e2e_wayland_mutter_stress
         COMMAND ${SKORREL_WAYLAND_RUN} stress-mutter $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe>)
set_tests_properties(e2e_wayland_sway_stress e2e_wayland_mutter_stress PROPERTIES
                     LABELS "wayland;e2e" TIMEOUT 300 RUN_SERIAL ON)
