# The real game in real Wayland compositors, started headless by the tests
# themselves (tests/wayland/).
find_program(SKORREL_SWAY sway)
find_program(SKORREL_MUTTER mutter)
find_program(SKORREL_KWIN kwin_wayland)
find_package(PlasmaWaylandProtocols QUIET)
if(NOT SKORREL_SWAY OR NOT SKORREL_MUTTER OR NOT SKORREL_KWIN OR NOT PlasmaWaylandProtocols_FOUND)
  message(STATUS "sway, mutter, kwin_wayland or plasma-wayland-protocols missing: no Wayland tests")
  return()
endif()
include(${PROJECT_SOURCE_DIR}/cmake/wayland.cmake)
add_executable(vpointer wayland/vpointer.c)
skorrel_wayland_protocols(vpointer ${CMAKE_CURRENT_SOURCE_DIR}/wayland/wlr-virtual-pointer-unstable-v1.xml
                          ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)
# A client that commits on command, for the relay's own test.
add_executable(committer wayland/committer.c)
skorrel_wayland_protocols(committer ${SKORREL_WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)

# skorrel_wayland_test(<name> <e2e.py flag>...): one case, run as an
# ordinary user by run.sh. One compositor at a time (two side by side
# once left KWin's window uncentred), beside at most one X11 case.
set(SKORREL_WAYLAND_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wayland/run.sh)
function(skorrel_wayland_test name)
  add_test(NAME ${name}
           COMMAND ${SKORREL_WAYLAND_RUN} $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> $<TARGET_FILE:vpointer>
                   ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS "wayland;e2e" TIMEOUT 240 RESOURCE_LOCK wayland_e2e
                       ENVIRONMENT "SKORREL_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/shots")
endfunction()

# Both kinds of pointing device in every compositor: a mouse (relative
# motion) and a tablet or a virtual machine's pointer (absolute positions),
# shared out over the cases.
set(full_sway abs)
set(full_mutter abs)
set(full_kwin rel)
# The tablet on two monitors without XWayland in sway (mutter always has it).
set(two_monitors_abs_sway --no-xwayland)
foreach(c sway mutter kwin)
  # The whole scenario once per compositor.
  skorrel_wayland_test(e2e_wayland_${c} --compositor=${c} --size=1920x1080 --device=${full_${c}})
  # One race on outputs at twice the scale, by a mouse and by a tablet,
  # where they play differently: a tablet's positions scaled to the
  # output, a mouse's motion in logical pixels.
  skorrel_wayland_test(e2e_wayland_${c}_scale2 --compositor=${c} --scenario=short --size=2048x1536 --scale=2
                       --device=both)
  # A second monitor right of the primary: the shared edge stops the pointer.
  # A mouse, then a tablet pointing across both monitors.
  skorrel_wayland_test(e2e_wayland_${c}_two_monitors --compositor=${c} --monitors=2 --scenario=two-monitors
                       --size=1024x768 --device=rel)
  skorrel_wayland_test(e2e_wayland_${c}_two_monitors_abs --compositor=${c} --monitors=2 --scenario=two-monitors
                       --size=1024x768 --device=abs ${two_monitors_abs_${c}})
endforeach()
# A fractional scale, both devices; mutter 43, laid out in physical pixels,
# offers whole scales only (1 and 2 for 1920x1080).
foreach(c sway kwin)
  skorrel_wayland_test(e2e_wayland_${c}_scale1_5 --compositor=${c} --scenario=short --size=1920x1080 --scale=1.5
                       --device=both)
endforeach()
# Sessions without XWayland: the game's window on Wayland itself, found in
# the compositor's own window list.
# Two races, a box, the window closed, and a game closed from its race.
skorrel_wayland_test(e2e_wayland_sway_no_xwayland --compositor=sway --no-xwayland --scenario=closes --size=1920x1080
                     --device=rel)
skorrel_wayland_test(e2e_wayland_kwin_no_xwayland --compositor=kwin --no-xwayland --scenario=closes --size=1920x1080
                     --device=abs)
# XWayland there, but the player's QT_QPA_PLATFORM puts the window on
# Wayland: races played, and the game closed after them and from within a
# race ends at once.
skorrel_wayland_test(e2e_wayland_sway_qpa_wayland --compositor=sway --qt-platform=wayland --scenario=closes
                     --size=1920x1080 --device=rel)
# A lock granted late: the relay holds the compositor's word back for 2 s.
skorrel_wayland_test(e2e_wayland_sway_late_lock --compositor=sway --scenario=late-lock --size=1920x1080)
# A sway that never grants the lock: the game still plays.
skorrel_wayland_test(e2e_wayland_sway_nolock --compositor=sway --no-lock --scenario=unheld --size=1024x768)
# The game's connection through a relay that stops reading, then cuts it.
foreach(c sway mutter)
  skorrel_wayland_test(e2e_wayland_${c}_stress --compositor=${c} --scenario=stress --size=1920x1080)
endforeach()
# The relay itself, tried on sway with a client of our own.
add_test(NAME wayland_relay
         COMMAND ${SKORREL_WAYLAND_RUN} relay $<TARGET_FILE:committer> $<TARGET_FILE:vpointer>)
set_tests_properties(wayland_relay PROPERTIES LABELS wayland TIMEOUT 60 RESOURCE_LOCK wayland_e2e)
# KDE Plasma's own screen edges and Breeze frame: nothing opens at the
# top-left corner during a race, and the same push opens Present Windows
# with no race.
skorrel_wayland_test(e2e_wayland_kwin_desktop --compositor=kwin --desktop --scenario=desktop --size=1920x1080
                     --device=rel)
# GNOME Shell itself on Wayland: its hot corner stays shut through a race
# and opens the overview with no race.
find_program(SKORREL_GNOME_SHELL gnome-shell)
if(SKORREL_GNOME_SHELL)
  skorrel_wayland_test(e2e_wayland_gnome_desktop --compositor=mutter --desktop --scenario=desktop --size=1920x1080
                       --device=rel)
  # The player's QT_QPA_PLATFORM=wayland there: a Wayland window, races,
  # and both closes end the game at once.
  skorrel_wayland_test(e2e_wayland_gnome_qpa_wayland --compositor=mutter --desktop --qt-platform=wayland
                       --scenario=closes --size=1920x1080 --device=rel)
endif()
