# kwtool on Linux: the same sources as kwtool.exe (tools/kwtool, Win32 API only), built against
# the Win32 layer over the model's application process (sim/app/win32), linked with the driver
# and the model. Its main brings the model up with a device before kwtool runs.
if(NOT (TARGET kwdrv_host AND TARGET kwmodel))
  return()
endif()

file(GLOB KWDRV_KWTOOL_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/kwtool/*.cpp")
list(FILTER KWDRV_KWTOOL_SOURCES EXCLUDE REGEX "/entry_win32\\.cpp$")  # Windows' entry point

# The Win32 calls themselves (windows.h and setupapi.h only) and the model behind them.
add_library(kwwin32 STATIC "${PROJECT_SOURCE_DIR}/sim/app/win32/win32.cpp")
target_compile_features(kwwin32 PRIVATE cxx_std_20)
target_include_directories(kwwin32 PUBLIC "${PROJECT_SOURCE_DIR}/sim/app/win32")
target_link_libraries(kwwin32 PRIVATE kwdrv_warnings)
add_library(kwwin32_host STATIC "${PROJECT_SOURCE_DIR}/sim/app/win32/host.cpp")
target_compile_features(kwwin32_host PRIVATE cxx_std_20)
target_link_libraries(kwwin32_host PRIVATE kwdrv_host kwmodel kwdrv_warnings)

add_executable(kwtool ${KWDRV_KWTOOL_SOURCES} "${PROJECT_SOURCE_DIR}/sim/app/win32/main.cpp")
set_target_properties(kwtool PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
                      RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/kwtool")
target_compile_options(kwtool PRIVATE -fno-exceptions -fno-rtti)
target_include_directories(kwtool PRIVATE "${PROJECT_SOURCE_DIR}/include")
target_link_libraries(kwtool PRIVATE kwwin32_host kwwin32 kwdrv_host kwmodel kwdrv_warnings)

# Every kwtool command end to end on the model (tests/tools/kwtool/check_kwtool.py holds the
# cases: words, device, exit code and output), and kwtool's pipe table against the driver's on
# every device description.
if(BUILD_TESTING)
  set(KWTOOL_CHECK "${PROJECT_SOURCE_DIR}/tests/tools/kwtool/check_kwtool.py")
  execute_process(COMMAND python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import check_kwtool; print(';'.join(check_kwtool.CASES))"
                          "${PROJECT_SOURCE_DIR}/tests/tools/kwtool"
                  OUTPUT_VARIABLE KWTOOL_CASES OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KWTOOL_CHECK}")
  foreach(case IN LISTS KWTOOL_CASES)
    add_test(NAME kwtool/${case} COMMAND python3 "${KWTOOL_CHECK}" $<TARGET_FILE:kwtool> "${PROJECT_SOURCE_DIR}" ${case})
    set_tests_properties(kwtool/${case} PROPERTIES LABELS kwtool)
  endforeach()
  # The Win32 layer's own semantics (errors, enumeration, overlapped requests, waits).
  kwdrv_add_gtest(win32_tests DIR tests/tools/win32 LABEL win32 LIBS kwwin32 kwwin32_host kwdrv_host kwmodel)
  if(TARGET kwsim)
    add_test(NAME kwtool/pipes-agree
             COMMAND python3 "${KWTOOL_CHECK}" $<TARGET_FILE:kwtool> "${PROJECT_SOURCE_DIR}" pipes-agree $<TARGET_FILE:kwsim>)
    set_tests_properties(kwtool/pipes-agree PROPERTIES LABELS kwtool)
  endif()
endif()
