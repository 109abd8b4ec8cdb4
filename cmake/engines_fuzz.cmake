# The engines' differential fuzzer (fuzz/engines_diff_fuzz.cpp), built only in
# a tree configured with clang and -DVELDRA_FUZZ_ENGINES=ON (see `make
# fuzz-engines`): the whole library is instrumented for libFuzzer, ASan and
# UBSan, and only the fuzzer links libFuzzer's main.
option(VELDRA_FUZZ_ENGINES "Build the engines' differential fuzzer (clang only)" OFF)
if(VELDRA_FUZZ_ENGINES)
  target_compile_options(veldra_lib PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                         -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_executable(engines_diff_fuzz ${CMAKE_SOURCE_DIR}/fuzz/engines_diff_fuzz.cpp)
  target_compile_options(engines_diff_fuzz PRIVATE -fsanitize=fuzzer,address,undefined
                         -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(engines_diff_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_compile_definitions(engines_diff_fuzz PRIVATE VELDRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_link_libraries(engines_diff_fuzz PRIVATE veldra_lib)
endif()
