// kwplatform.h - the one place where the driver meets its platform headers.
//
// The build chooses the directory that provides wdm.h and the USB headers; this file only
// includes them in the order they need and supplies what a header set may lack: annotation
// macros (they expand to nothing when the header set does not define them), the x86 unwind
// flags and RtlUnwind, and the one accessor of the exception registration chain.

#ifndef KWPLATFORM_H
#define KWPLATFORM_H

#include <wdm.h>
#include <ntddk.h>
#include <usb.h>

// The USBD library header declares C functions without its own linkage block.
extern "C" {
#include <usbdlib.h>
}

#include <usbioctl.h>
#include <usbbusif.h>

// Exception records passed to a handler with any of these flags ask it to unwind, not to take
// the exception (EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND, EXCEPTION_TARGET_UNWIND,
// EXCEPTION_COLLIDED_UNWIND).
#ifndef EXCEPTION_UNWIND
#define EXCEPTION_UNWIND 0x66
#endif

// Exported by ntoskrnl.exe on every x86 Windows (XP included); not every kernel header set
// declares it. Runs the handlers of the registration records above TargetFrame with an unwind
// flag, makes TargetFrame the head of the calling thread's chain and returns.
extern "C" NTSYSAPI VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                         PEXCEPTION_RECORD ExceptionRecord, PVOID ReturnValue);

// The head of the calling thread's exception registration chain: the first member of the
// NT_TIB at FS:[0]. In i686 kernel mode FS addresses the processor control region, whose first
// member is the NT_TIB of the thread running on that processor; the compiler's FS intrinsics
// read and write it without any call. IRQL: whatever the caller runs at.
inline PVOID KwGetExceptionList(VOID)
{
    return reinterpret_cast<PVOID>(
        static_cast<ULONG_PTR>(__readfsdword(FIELD_OFFSET(NT_TIB, ExceptionList))));
}

inline VOID KwSetExceptionList(PVOID Head)
{
    __writefsdword(FIELD_OFFSET(NT_TIB, ExceptionList),
                   static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(Head)));
}

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
