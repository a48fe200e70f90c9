// probe.cpp - the guarded probe: an address range of the caller's process made reachable by the
// USB stack, with the exception the probe raises turned into a status.
//
// MmProbeAndLockPages raises STATUS_ACCESS_VIOLATION for a range that is not valid for the
// access in the requestor's mode. The compiler has no __try/__except, so the probe is guarded
// by an exception registration record of the driver's own on the thread's chain (the x86
// frame-based scheme): the record lives in this routine's stack frame, its handler unwinds the
// records above it with RtlUnwind and resumes this routine at the recovery point taken with
// __builtin_setjmp, and the routine takes the record off the chain on every path before it
// returns. Nothing but the probe runs while the record is registered.

#include "kwdrv.h"

// A handler as the x86 dispatcher calls it (cdecl; it restores the stack itself).
typedef EXCEPTION_DISPOSITION __cdecl KW_GUARD_HANDLER(PEXCEPTION_RECORD ExceptionRecord,
                                                       PVOID EstablisherFrame,
                                                       PCONTEXT ContextRecord,
                                                       PVOID DispatcherContext);

// The driver's registration record: Next and Handler are the EXCEPTION_REGISTRATION_RECORD the
// dispatcher reads; the rest is what the handler needs to resume the guarded routine.
typedef struct _KW_GUARD_FRAME {
    PVOID volatile Next;              // the record that was the head before this one
    KW_GUARD_HANDLER *Handler;
    PVOID ResumePoint[5];             // __builtin_setjmp's buffer
    volatile NTSTATUS Status;         // STATUS_SUCCESS, or the code of the exception taken
} KW_GUARD_FRAME, *PKW_GUARD_FRAME;

C_ASSERT(FIELD_OFFSET(KW_GUARD_FRAME, Handler) == sizeof(PVOID));

// Takes every exception raised while its record is registered. Called with an unwind flag it
// has nothing to clean up. Otherwise it records the code, unwinds the records registered above
// its own (none are expected: the probe registers nothing), and resumes the guarded routine.
// Its frame is abandoned. The frame pointer is reloaded from a volatile stack slot after
// RtlUnwind, which on x86 does not promise to preserve EBX, ESI and EDI.
static EXCEPTION_DISPOSITION __cdecl GuardHandler(PEXCEPTION_RECORD ExceptionRecord,
                                                  PVOID EstablisherFrame, PCONTEXT ContextRecord,
                                                  PVOID DispatcherContext)
{
    UNREFERENCED_PARAMETER(ContextRecord);
    UNREFERENCED_PARAMETER(DispatcherContext);
    if (ExceptionRecord->ExceptionFlags & EXCEPTION_UNWIND) {
        return ExceptionContinueSearch;
    }
    PKW_GUARD_FRAME volatile Frame = static_cast<PKW_GUARD_FRAME>(EstablisherFrame);
    Frame->Status = ExceptionRecord->ExceptionCode;
    RtlUnwind(Frame, NULL, ExceptionRecord, NULL);
    __builtin_longjmp(Frame->ResumePoint, 1);
}

// MmProbeAndLockPages under the driver's own record. Returns STATUS_SUCCESS with the MDL
// locked, or the code of the exception the probe raised with nothing locked.
static NTSTATUS GuardedProbeAndLock(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    KW_GUARD_FRAME Frame;
    Frame.Next = KwGetExceptionList();
    Frame.Handler = GuardHandler;
    Frame.Status = STATUS_SUCCESS;
    if (__builtin_setjmp(Frame.ResumePoint) == 0) {
        KwSetExceptionList(&Frame);
        MmProbeAndLockPages(Mdl, AccessMode, Operation);
    }
    KwSetExceptionList(Frame.Next);
    return Frame.Status;
}

// Describes Length bytes at Address in the calling thread's process with a new MDL, probed for
// Operation in AccessMode (the request's RequestorMode) and locked. PASSIVE_LEVEL, in the
// context of the process that owns Address. Returns STATUS_SUCCESS with *Mdl set, to be released
// with UnlockCallerBuffer; STATUS_INSUFFICIENT_RESOURCES when no MDL can describe the range; or
// the probe's status (STATUS_ACCESS_VIOLATION for NULL, a kernel address in UserMode, an
// unmapped, partly unmapped, wrapping or unreadable range), with *Mdl NULL. Length must not be 0.
_Use_decl_annotations_
NTSTATUS LockCallerBuffer(PVOID Address, ULONG Length, KPROCESSOR_MODE AccessMode,
                          LOCK_OPERATION Operation, PMDL *Mdl)
{
    *Mdl = NULL;
    if (reinterpret_cast<ULONG_PTR>(Address) + Length < reinterpret_cast<ULONG_PTR>(Address)) {
        return STATUS_ACCESS_VIOLATION;
    }
    PMDL NewMdl = IoAllocateMdl(Address, Length, FALSE, FALSE, NULL);
    if (NewMdl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status = GuardedProbeAndLock(NewMdl, AccessMode, Operation);
    if (!NT_SUCCESS(Status)) {
        IoFreeMdl(NewMdl);
        return Status;
    }
    *Mdl = NewMdl;
    return STATUS_SUCCESS;
}

// Unlocks and frees an MDL that LockCallerBuffer returned. IRQL <= DISPATCH_LEVEL.
_Use_decl_annotations_
VOID UnlockCallerBuffer(PMDL Mdl)
{
    MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
}
