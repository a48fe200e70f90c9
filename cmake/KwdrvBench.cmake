# kwbench: the Google Benchmark programs of bench/ as one program, native builds only. The
# pass-through driver it compares kwdrv with lives in bench/ too and is never part of kwdrv.
# Figures worth recording come from an uninstrumented build (docs/performance.md); the
# sanitized build only proves the benchmarks run.
file(GLOB KWDRV_BENCH_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/bench/*.cpp")
if(KWDRV_BENCH_SOURCES AND NOT KWDRV_M32 AND TARGET kwdrv_host AND TARGET kwmodel)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(kwbench ${KWDRV_BENCH_SOURCES})
    target_compile_features(kwbench PRIVATE cxx_std_20)
    target_include_directories(kwbench PRIVATE "${PROJECT_SOURCE_DIR}/bench")
    target_compile_definitions(kwbench PRIVATE KWBENCH_DEVICES="${PROJECT_SOURCE_DIR}/sim/devices")
    target_link_libraries(kwbench PRIVATE kwdrv_host kwmodel benchmark::benchmark kwdrv_warnings)
    set_target_properties(kwbench PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")
  else()
    message(STATUS "kwdrv: Google Benchmark not found; bench/ not built")
  endif()
endif()
