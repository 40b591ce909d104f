# libFuzzer targets, built with clang under AddressSanitizer + UndefinedBehaviorSanitizer.
# A target is fuzz/<name>_fuzz.cpp with seeds in fuzz/corpus/<name>/; run them with fuzz/run.sh.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "BRINDLEAF_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()

set(BRINDLEAF_FUZZ_SANITIZERS address,undefined)
# The core is instrumented too, so coverage guides the fuzzer through it; the sanitizer
# runtimes reach every program that links it (the server binary as well).
target_compile_options(brindleaf_core PRIVATE -fsanitize=fuzzer-no-link,${BRINDLEAF_FUZZ_SANITIZERS}
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_link_options(brindleaf_core INTERFACE -fsanitize=${BRINDLEAF_FUZZ_SANITIZERS})

macro(brindleaf_fuzz name)
    if(EXISTS ${CMAKE_SOURCE_DIR}/fuzz/${name}.cpp)
        add_executable(${name} fuzz/${name}.cpp)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer,${BRINDLEAF_FUZZ_SANITIZERS}
            -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer,${BRINDLEAF_FUZZ_SANITIZERS})
        target_link_libraries(${name} PRIVATE brindleaf_core)
    endif()
endmacro()

brindleaf_fuzz(config_fuzz)
brindleaf_fuzz(datagram_fuzz)
