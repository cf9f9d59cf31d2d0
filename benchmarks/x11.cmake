# Benchmarks of the Linux game under Xvfb (benchmarks/x11-*.sh).
if(WIN32)
  return()
endif()
find_package(X11 REQUIRED)
if(NOT X11_XTest_FOUND)
  message(FATAL_ERROR "libXtst is needed for the race benchmark (libxtst-dev)")
endif()
find_package(Qt6 REQUIRED COMPONENTS Widgets)

# The race loop with the platform calls it makes wrapped by a counting
# layer; the game's libraries are linked as they are.
add_executable(race_bench race_bench.cpp)
target_link_libraries(race_bench PRIVATE skorrel_core skorrel_platform_qt X11::Xtst X11::X11)
target_link_options(race_bench PRIVATE
  -Wl,--wrap=_ZN8platform10PumpEventsEv
  -Wl,--wrap=_ZN8platform5SleepEj
  -Wl,--wrap=_ZN8platform12GetCursorPosERNS_5POINTE)

# The floor for start-up: Qt 6 showing one empty window.
add_executable(qt_floor qt_floor.cpp)
target_link_libraries(qt_floor PRIVATE Qt6::Widgets)

# Starts a program and stamps the moment its window is mapped.
add_executable(mapwait mapwait.cpp)
target_link_libraries(mapwait PRIVATE X11::X11)
