# Benchmark programs: they print figures, they assert nothing.
macro(brindleaf_bench name)
    if(EXISTS ${CMAKE_SOURCE_DIR}/bench/${name}.cpp)
        add_executable(${name} bench/${name}.cpp)
        target_link_libraries(${name} PRIVATE brindleaf_core)
        target_compile_definitions(${name} PRIVATE BRINDLEAF_BINARY="$<TARGET_FILE:brindleaf>")
    endif()
endmacro()

brindleaf_bench(archive_bench)
brindleaf_bench(dispatch_bench)
brindleaf_bench(throughput_bench)
brindleaf_bench(soak)
