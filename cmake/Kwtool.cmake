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
add_library(kwwin32_host STATIC "${PROJECT_SOURCE_DIR}/sim/app/win32/host.cpp"
                                "${PROJECT_SOURCE_DIR}/sim/app/win32/main.cpp")
target_compile_features(kwwin32_host PRIVATE cxx_std_20)
target_link_libraries(kwwin32_host PRIVATE kwdrv_host kwmodel kwdrv_warnings)

add_executable(kwtool ${KWDRV_KWTOOL_SOURCES})
set_target_properties(kwtool PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
                      RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/kwtool")
target_compile_options(kwtool PRIVATE -fno-exceptions -fno-rtti)
target_include_directories(kwtool PRIVATE "${PROJECT_SOURCE_DIR}/include")
target_link_libraries(kwtool PRIVATE kwwin32_host kwwin32 kwdrv_host kwmodel kwdrv_warnings)
