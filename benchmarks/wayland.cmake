# The race benchmark in a Wayland session (benchmarks/wayland-*.sh): the
# same bench, its pointer moved through a wlroots virtual pointer.
include(${PROJECT_SOURCE_DIR}/cmake/wayland.cmake)
add_executable(race_bench_wayland race_bench.cpp)
target_compile_definitions(race_bench_wayland PRIVATE SKORREL_BENCH_WAYLAND)
target_link_libraries(race_bench_wayland PRIVATE skorrel_core skorrel_platform_qt skorrel_wayland)
skorrel_wayland_protocols(race_bench_wayland ${PROJECT_SOURCE_DIR}/tests/wayland/wlr-virtual-pointer-unstable-v1.xml)
target_link_options(race_bench_wayland PRIVATE
  -Wl,--wrap=_ZN8platform10PumpEventsEv
  -Wl,--wrap=_ZN8platform5SleepEj
  -Wl,--wrap=_ZN8platform12GetCursorPosERNS_5POINTE)

# A player's mouse for the idle benchmark's race (the tests' input client,
# which speaks KWin's fake input too).
find_package(PlasmaWaylandProtocols REQUIRED)
add_executable(bench_vpointer ${PROJECT_SOURCE_DIR}/tests/wayland/vpointer.c)
skorrel_wayland_protocols(bench_vpointer ${PROJECT_SOURCE_DIR}/tests/wayland/wlr-virtual-pointer-unstable-v1.xml
                          ${PLASMA_WAYLAND_PROTOCOLS_DIR}/fake-input.xml)
# What the tests' harness reads of XWayland, for the CPU benchmark.
find_package(X11 REQUIRED)
add_executable(bench_x11_probe ${PROJECT_SOURCE_DIR}/tests/x11_probe.cpp)
target_link_libraries(bench_x11_probe PRIVATE X11::X11 X11::Xrandr)

# The least client that shows what the game shows in a count-in, for the
# CPU benchmark to set the game against.
add_executable(bench_wayland_floor wayland_floor.c)
skorrel_wayland_protocols(bench_wayland_floor
  ${SKORREL_WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml
  ${SKORREL_WAYLAND_PROTOCOLS}/stable/viewporter/viewporter.xml
  ${SKORREL_WAYLAND_PROTOCOLS}/unstable/pointer-constraints/pointer-constraints-unstable-v1.xml)
