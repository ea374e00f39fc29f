# Instrumentation of the fuzz build: every object of the core gets libFuzzer's coverage hooks and the
# address and undefined-behaviour checks, so that a fault anywhere on the reading path is a finding.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TESSARY_FUZZ needs clang with libFuzzer: configure with -DCMAKE_CXX_COMPILER=clang++-14 "
                      "(scripts/fuzz.sh does)")
endif()
if(TESSARY_SANITIZE)
  message(FATAL_ERROR "TESSARY_FUZZ brings its own sanitizers: leave TESSARY_SANITIZE off in a fuzz build")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
