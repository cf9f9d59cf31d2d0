# The Linux backend and the whole game against a real X server. Each test
# starts its own Xvfb (x11_run.sh) and stops it.
find_program(SKORREL_XVFB Xvfb)
find_program(SKORREL_XDOTOOL xdotool)
if(NOT SKORREL_XVFB OR NOT SKORREL_XDOTOOL)
  message(STATUS "Xvfb or xdotool missing: no X tests")
  return()
endif()

find_package(X11 REQUIRED)
add_executable(x11_probe x11_probe.cpp)
target_link_libraries(x11_probe PRIVATE X11::X11 X11::Xrandr)

add_executable(x11_backend_tests x11_backend_tests.cpp)
target_link_libraries(x11_backend_tests PRIVATE skorrel_core skorrel_platform_qt skorrel_x11 GTest::gtest)

set(SKORREL_X11_RUN ${CMAKE_CURRENT_SOURCE_DIR}/x11_run.sh)
# skorrel_x11_test(<name> <x11_run.sh options>... ENV <vars>...)
function(skorrel_x11_test name)
  cmake_parse_arguments(X "" "" "ENV" ${ARGN})
  add_test(NAME ${name}
           COMMAND ${SKORREL_X11_RUN} --probe $<TARGET_FILE:x11_probe> ${X_UNPARSED_ARGUMENTS}
                   -- $<TARGET_FILE:x11_backend_tests>)
  set_tests_properties(${name} PROPERTIES LABELS x11 TIMEOUT 120
                       ENVIRONMENT "SKORREL_X11_PROBE=$<TARGET_FILE:x11_probe>;${X_ENV}")
endfunction()

skorrel_x11_test(x11_backend)
skorrel_x11_test(x11_backend_openbox --wm ENV SKORREL_EXPECT_WM=1)
skorrel_x11_test(x11_backend_120dpi --size 1024x768 --dpi 120 ENV SKORREL_EXPECT_DPI=120)
# A machine that has the laid-out face: it wins over the fallbacks.
skorrel_x11_test(x11_backend_ms_gothic --ms-gothic ENV "SKORREL_EXPECT_FONT=ＭＳ ゴシック")

# The real game, driven by xdotool as a player would (tests/e2e/). One at a
# time, as their checks time a player's moves; beside them at most one
# Wayland case, which mostly waits on count-ins too.
set(SKORREL_E2E_DIR ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
# skorrel_e2e_test(<name> <script> <tag> <x11_run.sh options>... ENV <vars>...)
function(skorrel_e2e_test name script tag)
  cmake_parse_arguments(X "" "" "ENV" ${ARGN})
  add_test(NAME ${name}
           COMMAND ${SKORREL_X11_RUN} --probe $<TARGET_FILE:x11_probe> ${X_UNPARSED_ARGUMENTS}
                   -- ${SKORREL_E2E_DIR}/${script} $<TARGET_FILE:skorrel> $<TARGET_FILE:x11_probe> ${tag})
  set_tests_properties(${name} PROPERTIES LABELS "x11;e2e" TIMEOUT 180 RESOURCE_LOCK x11_e2e
                       ENVIRONMENT "SKORREL_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/shots;${X_ENV}")
endfunction()

skorrel_e2e_test(e2e_play_openbox_800x600 play.sh openbox-800x600 --wm)
skorrel_e2e_test(e2e_play_bare_1024x768 play.sh bare-1024x768 --size 1024x768)
skorrel_e2e_test(e2e_close_openbox_800x600 close.sh openbox-800x600 --wm)
skorrel_e2e_test(e2e_close_bare_1024x768 close.sh bare-1024x768 --size 1024x768)
# A high-dpi desktop (Xft.dpi loaded with xrdb): the same twips make a
# bigger window, the race still works in device pixels.
skorrel_e2e_test(e2e_play_openbox_1024x768_144dpi play.sh openbox-1024x768-144dpi --wm --size 1024x768
                 ENV SKORREL_DPI=144)

# Two monitors in one X screen, the primary left or right; and one.
skorrel_e2e_test(e2e_monitors_primary_left monitors.sh LEFT --size 1600x600)
skorrel_e2e_test(e2e_monitors_primary_right monitors.sh RIGHT --size 1600x600)
skorrel_e2e_test(e2e_monitors_one monitors.sh ONE --size 800x600)

# ./run's demo for machines without a display plays one race to the end,
# with a home in the build folder for what Qt's D-Bus autolaunch leaves.
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/home)
add_test(NAME e2e_demo COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo.sh)
set_tests_properties(e2e_demo PROPERTIES LABELS "x11;e2e" TIMEOUT 60 RESOURCE_LOCK x11_e2e
                     ENVIRONMENT "SKORREL_GAME=$<TARGET_FILE:skorrel>;TMPDIR=${CMAKE_CURRENT_BINARY_DIR};HOME=${CMAKE_CURRENT_BINARY_DIR}/home"
                     PASS_REGULAR_EXPRESSION "Race time: [0-9]+ ms.*exited with status 0")

# Whole desktops as players run them: GNOME Shell and KDE Plasma's KWin
# with Breeze, each with its own hot corner or screen edges at their
# defaults, at the size most players have.
find_program(SKORREL_GNOME_SHELL gnome-shell)
find_program(SKORREL_KWIN_X11 kwin_x11)
# Their compositors draw in software and take most of the machine: not
# beside a Wayland case either, whose races they slowed.
if(SKORREL_GNOME_SHELL)
  skorrel_e2e_test(e2e_desktop_gnome_x11 desktop.sh gnome-x11 --desktop gnome --size 1920x1080)
  set_tests_properties(e2e_desktop_gnome_x11 PROPERTIES RESOURCE_LOCK "x11_e2e;wayland_e2e")
endif()
if(SKORREL_KWIN_X11)
  skorrel_e2e_test(e2e_desktop_kde_x11 desktop.sh kde-x11 --desktop kde --size 1920x1080)
  set_tests_properties(e2e_desktop_kde_x11 PROPERTIES RESOURCE_LOCK "x11_e2e;wayland_e2e")
endif()
