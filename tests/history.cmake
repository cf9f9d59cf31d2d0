# The record file. The portable tests also run cross-built under Wine; the
# POSIX ones stage FIFOs, mounts, rlimits and concurrent processes.
skorrel_unit_test(history_tests history_tests.cpp)
skorrel_unit_test(history_scan_tests history_scan_tests.cpp)
if(NOT WIN32)
  skorrel_unit_test(history_posix_tests history_posix_tests.cpp)
endif()
if(WIN32)
  skorrel_unit_test(history_win_tests history_win_tests.cpp)
endif()
# The scan's shortcut without SSE2 (the 32-bit Windows build): the same
# tests on a core built with the portable version.
if(NOT WIN32)
  if(SKORREL_SANITIZE)
    skorrel_add_core(skorrel_core_portable sanitize)
  else()
    skorrel_add_core(skorrel_core_portable)
  endif()
  target_compile_definitions(skorrel_core_portable PRIVATE SKORREL_PORTABLE_SCAN)
  add_executable(history_tests_portable history_tests.cpp)
  target_link_libraries(history_tests_portable PRIVATE skorrel_core_portable skorrel_fake ${SKORREL_GTEST})
  add_test(NAME history_tests_portable COMMAND history_tests_portable)
  set_tests_properties(history_tests_portable PROPERTIES LABELS unit)
endif()
