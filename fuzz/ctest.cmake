# The fuzz smoke (label "fuzz"): in the sanitizer tree, when it is built with
# clang, every fuzz target runs for a few seconds from its seeds; what it
# finds goes to fuzz-findings/ of the build tree. Included from tests/.
if(NOT SENDVETTER_SANITIZE OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
foreach(name ${SENDVETTER_FUZZ_TARGETS})
  set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  file(MAKE_DIRECTORY ${work} ${CMAKE_BINARY_DIR}/fuzz-findings)
  set(dict)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/dict/${name}.dict)
    set(dict -dict=${CMAKE_CURRENT_LIST_DIR}/dict/${name}.dict)
  endif()
  add_test(NAME ${name} COMMAND ${name} ${work} ${CMAKE_CURRENT_LIST_DIR}/corpus/${name} ${dict}
           -max_total_time=5 -timeout=10 -rss_limit_mb=2048 -max_len=8192
           -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz-findings/${name}-)
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
