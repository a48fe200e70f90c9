// pending.cpp - the list of bulk and interrupt transfers in the USB stack (TransferList).
//
// Every transfer the driver sends down is on TransferList from just before it goes down until
// its completion routine takes it off, so a stop, a surprise removal or the cleanup of a handle
// can cancel what is in flight. The list has no size limit: a request is never refused for want
// of room, and tracking costs the same whatever the number in flight (an insertion and a
// removal under TransferLock). TransferLock guards the list, each entry's State and, for the
// decision to track, AcceptingRequests; it is held only for those steps, never around
// IoCancelIrp or IoCallDriver.
//
// The cancel protocol. A canceller (CancelTransfers, PASSIVE_LEVEL) marks the entries it will
// cancel KW_TRANSFER_CANCELLING under the lock and chains them privately, then cancels each one
// outside the lock. While an entry is marked, its request cannot finish completing: a completion
// routine that finds the mark (UntrackTransfer FALSE) takes the entry off the list, sets
// KW_TRANSFER_HELD and stops the completion (STATUS_MORE_PROCESSING_REQUIRED) without touching
// the request or the entry again. When IoCancelIrp has returned, the canceller clears the mark;
// if the entry is held, the canceller frees it and completes the request itself. So IoCancelIrp
// never reaches a request that has completed and been freed. An entry marked by one canceller
// is left to it by any other.

#include "kwdrv.h"

constexpr ULONG KW_TRANSFER_CANCELLING = 1;
constexpr ULONG KW_TRANSFER_HELD = 2;

// Prepares the device's transfer list; AddDevice calls it before the device takes requests.
_Use_decl_annotations_
VOID InitializeTransferList(PDEVICE_EXTENSION Extension)
{
    KeInitializeSpinLock(&Extension->TransferLock);
    InitializeListHead(&Extension->TransferList);
}

// One block for a transfer: its TRANSFER_CONTEXT followed by a zero-filled URB of UrbBytes,
// which Transfer->Urb points at. NULL when pool is exhausted. Released with FreeTransfer.
_Use_decl_annotations_
PTRANSFER_CONTEXT AllocateTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, SIZE_T UrbBytes)
{
    const SIZE_T HeaderBytes = (sizeof(TRANSFER_CONTEXT) + 7) & ~static_cast<SIZE_T>(7);
    PTRANSFER_CONTEXT Transfer =
        static_cast<PTRANSFER_CONTEXT>(KwAllocatePool(HeaderBytes + UrbBytes));
    if (Transfer != NULL) {
        RtlZeroMemory(Transfer, HeaderBytes + UrbBytes);
        Transfer->Irp = Irp;
        Transfer->DeviceObject = DeviceObject;
        Transfer->FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        Transfer->Urb = reinterpret_cast<PURB>(reinterpret_cast<PUCHAR>(Transfer) + HeaderBytes);
    }
    return Transfer;
}

_Use_decl_annotations_
VOID FreeTransfer(PTRANSFER_CONTEXT Transfer)
{
    KwFreePool(Transfer);
}

// Puts a transfer on the list and sets CompletionRoutine (with Transfer as its context) on the
// request's next stack location, through IoSetCompletionRoutineEx so that the driver stays
// loaded until the routine has returned. Both happen under the lock, so no canceller sees the
// transfer before it is ready to go down. STATUS_DELETE_PENDING once the device no longer
// accepts requests; STATUS_INSUFFICIENT_RESOURCES when the completion routine cannot be set.
// On failure nothing is tracked or set and the caller completes the request.
_Use_decl_annotations_
NTSTATUS TrackTransfer(PDEVICE_OBJECT DeviceObject, PTRANSFER_CONTEXT Transfer,
                       PIO_COMPLETION_ROUTINE CompletionRoutine)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    KIRQL OldIrql;
    NTSTATUS Status = STATUS_DELETE_PENDING;

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    if (Extension->AcceptingRequests) {
        Status = IoSetCompletionRoutineEx(DeviceObject, Transfer->Irp, CompletionRoutine, Transfer,
                                          TRUE, TRUE, TRUE);
        if (NT_SUCCESS(Status)) {
            InsertTailList(&Extension->TransferList, &Transfer->ListEntry);
        }
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return Status;
}

// Takes a transfer off the list from its completion routine. TRUE: completion may go on and the
// routine frees the transfer. FALSE: a canceller holds it; the routine returns
// STATUS_MORE_PROCESSING_REQUIRED and touches neither the request nor the transfer again.
_Use_decl_annotations_
BOOLEAN UntrackTransfer(PDEVICE_OBJECT DeviceObject, PTRANSFER_CONTEXT Transfer)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    KIRQL OldIrql;

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    RemoveEntryList(&Transfer->ListEntry);
    BOOLEAN Held = (Transfer->State & KW_TRANSFER_CANCELLING) != 0;
    if (Held) {
        Transfer->State |= KW_TRANSFER_HELD;
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return !Held;
}

// Marks, under the lock, every tracked transfer of FileObject (of any file object when AllFiles
// is TRUE) that no other canceller holds, and returns them chained through CancelNext.
static PTRANSFER_CONTEXT ClaimTransfers(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject,
                                        BOOLEAN AllFiles)
{
    PTRANSFER_CONTEXT Claimed = NULL;
    KIRQL OldIrql;

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    for (PLIST_ENTRY Entry = Extension->TransferList.Flink; Entry != &Extension->TransferList;
         Entry = Entry->Flink) {
        PTRANSFER_CONTEXT Transfer = CONTAINING_RECORD(Entry, TRANSFER_CONTEXT, ListEntry);
        if ((AllFiles || Transfer->FileObject == FileObject) &&
            (Transfer->State & KW_TRANSFER_CANCELLING) == 0) {
            Transfer->State |= KW_TRANSFER_CANCELLING;
            Transfer->CancelNext = Claimed;
            Claimed = Transfer;
        }
    }
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return Claimed;
}

// Cancels the tracked transfers of FileObject, or every tracked transfer when AllFiles is TRUE.
// Each ends through its completion routine or, when that ran during the cancel, here. Transfers
// tracked after the claim are not cancelled: a caller that needs none to follow stops accepting
// requests first. PASSIVE_LEVEL; the caller holds a device reference of its own.
_Use_decl_annotations_
VOID CancelTransfers(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, BOOLEAN AllFiles)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    PTRANSFER_CONTEXT Transfer = ClaimTransfers(Extension, FileObject, AllFiles);

    while (Transfer != NULL) {
        PTRANSFER_CONTEXT Next = Transfer->CancelNext;
        PIRP Irp = Transfer->Irp;
        KIRQL OldIrql;

        (void)IoCancelIrp(Irp);
        KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
        BOOLEAN Held = (Transfer->State & KW_TRANSFER_HELD) != 0;
        Transfer->State &= ~KW_TRANSFER_CANCELLING;
        KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
        if (Held) {
            FreeTransfer(Transfer);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
        Transfer = Next;
    }
}

// Turns new transfers away from now on (TrackTransfer sees it under the lock), so that a cancel
// of everything that follows leaves nothing in the USB stack. Opens and other requests see the
// same flag.
_Use_decl_annotations_
VOID StopAcceptingRequests(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    KIRQL OldIrql;

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    Extension->AcceptingRequests = FALSE;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
}

// Whether the device still takes new requests. Read under the transfer lock, as it is written,
// so a dispatch on one processor and a removal on another never race on the flag; a request
// that sees TRUE holds its reference, which keeps the device until it leaves.
_Use_decl_annotations_
BOOLEAN IsAcceptingRequests(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    KIRQL OldIrql;

    KeAcquireSpinLock(&Extension->TransferLock, &OldIrql);
    BOOLEAN Accepting = Extension->AcceptingRequests;
    KeReleaseSpinLock(&Extension->TransferLock, OldIrql);
    return Accepting;
}
