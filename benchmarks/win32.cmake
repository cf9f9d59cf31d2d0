# The race loop on the Win32 backend, run under Wine by benchmarks/wine-*.sh.
add_executable(race_bench_win race_bench_win.cpp)
target_link_libraries(race_bench_win PRIVATE skorrel_core skorrel_platform_win32)
target_compile_definitions(race_bench_win PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(race_bench_win PRIVATE
  -Wl,--wrap=_ZN8platform10PumpEventsEv
  -Wl,--wrap=_ZN8platform5SleepEj
  -Wl,--wrap=_ZN8platform12GetCursorPosERNS_5POINTE)
