// kwplatform.h - the one place where the driver meets its platform headers.
//
// The build chooses the directory that provides wdm.h and the USB headers; this file only
// includes them in the order they need and supplies annotation macros that a header set may
// lack. Annotations expand to nothing when the header set does not define them.

#ifndef KWPLATFORM_H
#define KWPLATFORM_H

#include <wdm.h>
#include <usb.h>

// The USBD library header declares C functions without its own linkage block.
extern "C" {
#include <usbdlib.h>
}

#include <usbioctl.h>

#ifndef _In_
#define _In_
#endif

#ifndef _In_opt_
#define _In_opt_
#endif

#ifndef _Out_
#define _Out_
#endif

#ifndef _Inout_
#define _Inout_
#endif

#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif

#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif

#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif

#ifndef _Dispatch_type_
#define _Dispatch_type_(major)
#endif

#endif // KWPLATFORM_H
