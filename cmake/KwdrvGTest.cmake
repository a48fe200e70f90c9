# GoogleTest for the host build, and a helper that turns a folder of test
# sources into one CTest-registered executable.
#
# Native builds use the distribution's GoogleTest (libgtest-dev,
# libgmock-dev). The 32-bit build compiles GoogleTest from its sources
# (KWDRV_GOOGLETEST_SOURCE, /usr/src/googletest from the googletest package)
# with the same -m32 flags as everything else.

if(KWDRV_M32)
  set(KWDRV_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for the 32-bit build")
  if(NOT EXISTS "${KWDRV_GOOGLETEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "kwdrv: GoogleTest sources not found in ${KWDRV_GOOGLETEST_SOURCE} "
                        "(apt-get install googletest)")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${KWDRV_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/_googletest"
                   EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest CONFIG QUIET)
  if(NOT GTest_FOUND)
    find_package(GTest REQUIRED)
  endif()
endif()

include(GoogleTest)

# Suites whose name contains "Concurrency" or "Stress" get the CTest label
# `concurrency`; the ThreadSanitizer leg runs exactly those.
set(KWDRV_CONCURRENCY_FILTER "*Concurrency*:*Stress*")

# kwdrv_add_gtest(<target> DIR <folder> LABEL <label> [LIBS <libs...>])
# Builds every *.cpp of <folder> into <target> and registers each test case
# with CTest. Does nothing while the folder has no sources yet.
function(kwdrv_add_gtest target)
  cmake_parse_arguments(ARG "" "DIR;LABEL" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${ARG_DIR}/*.cpp")
  if(NOT sources)
    message(STATUS "kwdrv: ${ARG_DIR} has no sources yet; ${target} not built")
    return()
  endif()
  add_executable(${target} ${sources})
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests"
                                               "${PROJECT_SOURCE_DIR}/${ARG_DIR}")
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} kwdrv_warnings
                        GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        "${CMAKE_BINARY_DIR}/tests")

  # Discovery runs when ctest starts (not at build time), through the
  # emulator in the 32-bit build. Test names start with the label
  # ("sim/IrpTest.X"), so `ctest -R '^sim/'` selects one executable.
  # Concurrency tests carry the single label `concurrency` (the discovery
  # script cannot pass a list of labels).
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${ARG_LABEL}/"
    TEST_FILTER "-${KWDRV_CONCURRENCY_FILTER}"
    PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 300)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${ARG_LABEL}/"
    TEST_FILTER "${KWDRV_CONCURRENCY_FILTER}"
    PROPERTIES LABELS concurrency TIMEOUT 600)
endfunction()
