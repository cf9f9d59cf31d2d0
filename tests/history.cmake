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
