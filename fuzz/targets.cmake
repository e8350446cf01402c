# The libFuzzer targets over sendvetter_lib, which gets the fuzzer's coverage
# instrumentation: included by fuzz/CMakeLists.txt (./run fuzz) and by the
# clang sanitizer tree of the test suite (fuzz/ctest.cmake).
target_compile_options(sendvetter_lib PRIVATE -fsanitize=fuzzer-no-link)
file(GLOB SENDVETTER_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
set(SENDVETTER_FUZZ_TARGETS)
foreach(source ${SENDVETTER_FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE sendvetter_lib)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  list(APPEND SENDVETTER_FUZZ_TARGETS ${name})
endforeach()
