// pending.cpp - the table of bulk and interrupt transfers in flight (PendingTransfers).
//
// The slot protocol. Each of the 10 slots is one pointer-sized word read and changed only by
// interlocked operations (a compare-exchange of NULL with NULL serves as the atomic read). An IRP is at least 4-byte aligned, so the two low bits of a slot
// carry the slot's state beside the IRP's address:
//
//   NULL           free.
//   Irp            tracked: the transfer was recorded before it went down to the USB stack.
//   Irp|CANCELLING a canceller has claimed the IRP and is (or is about to be) inside
//                  IoCancelIrp; the IRP must not finish completing until it lets go.
//   Irp|HELD       the IRP's completion routine ran while the canceller held it and stopped the
//                  completion (STATUS_MORE_PROCESSING_REQUIRED); the canceller finishes it.
//
// TrackTransfer (dispatch thread, before IoCallDriver): NULL -> Irp in the first free slot; FALSE
// when all are busy, and the transfer then goes down untracked (a stop will not cancel it).
//
// UntrackTransfer (the transfer's completion routine, any thread, <= DISPATCH_LEVEL): Irp -> NULL
// and TRUE: completion goes on. Irp|CANCELLING -> Irp|HELD and FALSE: the routine returns
// STATUS_MORE_PROCESSING_REQUIRED and must not touch the IRP again, since the canceller may
// complete it at once. Not found, or the canceller let go first: TRUE. The completion routine
// therefore does, in this order: everything it does to the IRP (Information, releasing its URB
// and context, IoMarkIrpPending when PendingReturned is set, which the canceller's completion
// also needs); UntrackTransfer as its last touch of the IRP; IoDecrement as its last touch of
// the device; then it returns STATUS_SUCCESS or STATUS_MORE_PROCESSING_REQUIRED as
// UntrackTransfer said. Its reference is released in both cases; while the canceller still
// holds an IRP, the canceller's own request keeps the device alive.
//
// CancelPendingTransfers (Plug and Play thread, the only canceller): per slot, Irp ->
// Irp|CANCELLING; if that fails the transfer has completed (or the slot was reused) and is left
// alone. Otherwise IoCancelIrp, which is safe because the IRP cannot finish completing while
// the slot says CANCELLING. Then the slot -> NULL; if it held Irp|HELD, the completion
// routine has stopped the IRP and the canceller resumes it with IoCompleteRequest; if it still
// held Irp|CANCELLING, the completion routine has not claimed it and will finish normally. An
// IRP cancelled before it went down keeps its Cancel flag, which the USB stack honours when it
// queues the request.
//
// ClearPendingTransfers (start, Plug and Play thread) empties every slot without cancelling.
// Plug and Play requests are serialised, so no canceller runs then and every slot is NULL or an
// untagged IRP; a transfer whose slot was emptied finds no slot at completion and goes on.
// An IRP's address is reused only after it has completed, so a compare against an IRP never
// matches another transfer's slot while that IRP is still the driver's to complete.

#include "kwdrv.h"

constexpr ULONG_PTR KW_SLOT_CANCELLING = 1;
constexpr ULONG_PTR KW_SLOT_HELD = 2;
C_ASSERT(alignof(IRP) >= 4);

static PVOID volatile *SlotOf(PDEVICE_OBJECT DeviceObject, ULONG Index)
{
    return reinterpret_cast<PVOID volatile *>(&KwGetExtension(DeviceObject)->PendingTransfers[Index]);
}

static PVOID Tagged(PIRP Irp, ULONG_PTR State)
{
    return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(Irp) | State);
}

// Records Irp in the first free slot. TRUE when recorded, FALSE when all 10 slots are busy.
_Use_decl_annotations_
BOOLEAN TrackTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    for (ULONG Index = 0; Index < KW_PENDING_TRANSFER_SLOTS; ++Index) {
        if (InterlockedCompareExchangePointer(SlotOf(DeviceObject, Index), Irp, NULL) == NULL) {
            return TRUE;
        }
    }
    return FALSE;
}

// Takes Irp out of the table from its completion routine. TRUE: completion may go on. FALSE:
// a canceller holds the IRP; return STATUS_MORE_PROCESSING_REQUIRED without touching it again.
_Use_decl_annotations_
BOOLEAN UntrackTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PVOID Cancelling = Tagged(Irp, KW_SLOT_CANCELLING);
    for (ULONG Index = 0; Index < KW_PENDING_TRANSFER_SLOTS; ++Index) {
        PVOID volatile *Slot = SlotOf(DeviceObject, Index);
        PVOID Seen = InterlockedCompareExchangePointer(Slot, NULL, Irp);
        if (Seen == Irp) {
            return TRUE;
        }
        if (Seen == Cancelling) {
            return InterlockedCompareExchangePointer(Slot, Tagged(Irp, KW_SLOT_HELD), Cancelling) !=
                   Cancelling;
        }
    }
    return TRUE;
}

// Cancels every tracked transfer, slot 0 to slot 9, and leaves every slot it visits empty.
// Each cancelled transfer still finishes through its completion routine.
_Use_decl_annotations_
VOID CancelPendingTransfers(PDEVICE_OBJECT DeviceObject)
{
    for (ULONG Index = 0; Index < KW_PENDING_TRANSFER_SLOTS; ++Index) {
        PVOID volatile *Slot = SlotOf(DeviceObject, Index);
        PIRP Irp = static_cast<PIRP>(InterlockedCompareExchangePointer(Slot, NULL, NULL));
        if (Irp == NULL ||
            InterlockedCompareExchangePointer(Slot, Tagged(Irp, KW_SLOT_CANCELLING), Irp) != Irp) {
            continue;
        }
        (void)IoCancelIrp(Irp);
        if (InterlockedExchangePointer(Slot, NULL) == Tagged(Irp, KW_SLOT_HELD)) {
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
    }
}

// Forgets every tracked transfer without cancelling it (the first step of every start).
_Use_decl_annotations_
VOID ClearPendingTransfers(PDEVICE_OBJECT DeviceObject)
{
    for (ULONG Index = 0; Index < KW_PENDING_TRANSFER_SLOTS; ++Index) {
        (void)InterlockedExchangePointer(SlotOf(DeviceObject, Index), NULL);
    }
}
