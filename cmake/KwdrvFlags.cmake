# Compiler flags shared by the host build: warnings, sanitizers.
#
# kwdrv_warnings   interface library with the warning set every host target uses
# Sanitizer flags  applied to the whole host tree (one instrumented world),
#                  chosen by KWDRV_SANITIZE / KWDRV_TSAN; off for KWDRV_M32.
#                  Run-time options (ASAN_OPTIONS ...) are set by scripts/test.sh.

add_library(kwdrv_warnings INTERFACE)
target_compile_options(kwdrv_warnings INTERFACE -Wall -Wextra -Werror -Wshadow)

if(KWDRV_M32)
  if(KWDRV_SANITIZE OR KWDRV_TSAN)
    message(STATUS "kwdrv: sanitizers are off in the 32-bit build (they do not run under qemu)")
  endif()
elseif(KWDRV_TSAN)
  message(STATUS "kwdrv: ThreadSanitizer build")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(KWDRV_SANITIZE)
  message(STATUS "kwdrv: AddressSanitizer + UndefinedBehaviorSanitizer build")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
