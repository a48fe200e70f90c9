// Compiled with the kwdrv.sys flags against the mingw-w64 DDK headers: the
// i686 layouts asserted in tests/abi/i686_layout.h are those of Windows'
// own declarations. The host's 32-bit build checks sim/include against the
// same assertions.
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include "i686_layout.h"
#include "driver_layout.h"

#if !defined(__i386__)
#error "the ABI check must be compiled for i386"
#endif
