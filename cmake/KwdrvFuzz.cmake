# Fuzzers (fuzz/*_fuzz.cpp, one target each) and their replay programs.
#
# -DKWDRV_FUZZ=ON (with CMAKE_CXX_COMPILER=clang++) builds fuzz_NAME, a libFuzzer program with
# the model and the driver instrumented for coverage, under the build's ASan+UBSan. Without it,
# a native build with tests builds replay_NAME instead, which runs the target once on each
# input of fuzz/corpus/NAME and fuzz/regressions/NAME: CTest fuzz/NAME, label `fuzz`.
option(KWDRV_FUZZ "Build the libFuzzer targets of fuzz/ (needs clang)" OFF)

file(GLOB KWDRV_FUZZ_TARGETS CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp")
if(KWDRV_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "kwdrv: KWDRV_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)")
endif()
if(KWDRV_FUZZ_TARGETS AND TARGET kwdrv_host AND TARGET kwmodel AND NOT KWDRV_M32 AND NOT KWDRV_TSAN
   AND (KWDRV_FUZZ OR BUILD_TESTING))
  # kwsim's session, as a library: the script fuzzer runs scripts through it. fuzz/harness.cpp,
  # which defines LLVMFuzzerInitialize, is compiled into each program so that it is always linked.
  file(GLOB kwfuzz_kwsim CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/kwsim/*.cpp")
  list(REMOVE_ITEM kwfuzz_kwsim "${PROJECT_SOURCE_DIR}/tools/kwsim/main.cpp")
  add_library(kwfuzz_common STATIC ${kwfuzz_kwsim})
  target_compile_features(kwfuzz_common PUBLIC cxx_std_20)
  target_include_directories(kwfuzz_common PUBLIC "${PROJECT_SOURCE_DIR}/fuzz" "${PROJECT_SOURCE_DIR}/tools/kwsim")
  target_link_libraries(kwfuzz_common PUBLIC kwdrv_host kwmodel PRIVATE kwdrv_warnings)
  # Fuzzing wants executions per second: -O1 whatever the build type (an unoptimized model,
  # with every standard-library call out of line, has several times the edges to trace and the
  # instructions to run). Nothing the fuzzers check depends on it: the driver's ASSERTs follow
  # KWDRV_HOST_DBG, the model checks without assert(), and ASan and UBSan stay on.
  if(KWDRV_FUZZ)
    foreach(t kwmodel kwdrv_host kwfuzz_common)
      target_compile_options(${t} PRIVATE -fsanitize=fuzzer-no-link -O1)
    endforeach()
  endif()

  foreach(src IN LISTS KWDRV_FUZZ_TARGETS)
    get_filename_component(name "${src}" NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" name "${name}")
    if(KWDRV_FUZZ)
      set(exe fuzz_${name})
      add_executable(${exe} "${src}" "${PROJECT_SOURCE_DIR}/fuzz/harness.cpp")
      target_link_options(${exe} PRIVATE -fsanitize=fuzzer)
      target_compile_options(${exe} PRIVATE -O1)
    else()
      set(exe replay_${name})
      add_executable(${exe} "${src}" "${PROJECT_SOURCE_DIR}/fuzz/harness.cpp" "${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp")
      set(inputs "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
      if(EXISTS "${PROJECT_SOURCE_DIR}/fuzz/regressions/${name}")
        list(APPEND inputs "${PROJECT_SOURCE_DIR}/fuzz/regressions/${name}")
      endif()
      add_test(NAME fuzz/${name} COMMAND ${exe} ${inputs})
      set_tests_properties(fuzz/${name} PROPERTIES LABELS fuzz)
    endif()
    target_link_libraries(${exe} PRIVATE kwfuzz_common kwdrv_warnings)
    set_target_properties(${exe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fuzz")
  endforeach()
endif()
