# Both Windows builds under Wine, from the Linux build's ctest, once
# scripts/build-windows.sh has made them. Each has a virtual display
# of its own, so they only keep clear of the other X11 cases' CPU.
foreach(bits 32 64)
  add_test(NAME wine${bits} COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/run.sh ${bits})
  # ./test builds the exes beside the tests; until then this file is there.
  set_tests_properties(wine${bits} PROPERTIES LABELS "wine;e2e" TIMEOUT 900 RESOURCE_LOCK x11_e2e
                       SKIP_RETURN_CODE 77 ENVIRONMENT "SKORREL_WAIT_FOR=${PROJECT_BINARY_DIR}/others-pending")
endforeach()
