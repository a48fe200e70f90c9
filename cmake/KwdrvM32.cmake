# The 32-bit host build (KWDRV_M32): everything is compiled and linked with
# -m32, so the model's records get their i686 layouts. Included before
# project() so that CMake's own compiler checks use -m32 too.
#
# 32-bit binaries run through qemu user-mode emulation when it is installed
# (some machines cannot execute them natively); set
# KWDRV_M32_EMULATOR to an empty string to run them natively.

if(KWDRV_M32)
  string(APPEND CMAKE_C_FLAGS " -m32")
  string(APPEND CMAKE_CXX_FLAGS " -m32")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -m32")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -m32")
  string(APPEND CMAKE_MODULE_LINKER_FLAGS " -m32")
  find_program(KWDRV_QEMU_I386 NAMES qemu-i386-static qemu-i386)
  if(KWDRV_QEMU_I386)
    set(KWDRV_M32_EMULATOR "${KWDRV_QEMU_I386}" CACHE STRING "How 32-bit test binaries are run")
  else()
    set(KWDRV_M32_EMULATOR "" CACHE STRING "How 32-bit test binaries are run")
    message(WARNING "kwdrv: qemu-i386-static not found (apt-get install qemu-user-static); "
                    "32-bit tests will run natively, which fails on kernels without ia32 support")
  endif()
  if(KWDRV_M32_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${KWDRV_M32_EMULATOR}")
  endif()
endif()

# KWDRV_WINDOWS_ABI: NTAPI is stdcall and FASTCALL is fastcall throughout (sim/include/ntdef.h),
# as in the kernel, so a kwdrv.sys image can call the model's routines and be called by them
# directly. Windows code keeps the stack 4-byte aligned only; -mstackrealign lets the model's
# code that wants more realign it on entry.
if(KWDRV_WINDOWS_ABI)
  if(NOT KWDRV_M32)
    message(FATAL_ERROR "kwdrv: KWDRV_WINDOWS_ABI needs KWDRV_M32=ON")
  endif()
  string(APPEND CMAKE_C_FLAGS " -DKWSIM_WINDOWS_ABI=1 -mstackrealign")
  string(APPEND CMAKE_CXX_FLAGS " -DKWSIM_WINDOWS_ABI=1 -mstackrealign")
endif()
