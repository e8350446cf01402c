# The fuzz smoke run as a ctest test (label "fuzz"): every fuzz target for
# 10 seconds through scripts/fuzz.sh --smoke, in its own clang build. Where
# no clang++ is installed the script exits 77 and the test counts as skipped.
# Included from tests/CMakeLists.txt:  include(${CMAKE_SOURCE_DIR}/fuzz/ctest.cmake)
add_test(NAME fuzz_smoke COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz.sh --smoke)
set_tests_properties(fuzz_smoke PROPERTIES
  LABELS fuzz SKIP_RETURN_CODE 77 TIMEOUT 1800 RUN_SERIAL TRUE
  ENVIRONMENT "SENDVETTER_FUZZ_BUILD=${CMAKE_BINARY_DIR}/fuzz-smoke")
