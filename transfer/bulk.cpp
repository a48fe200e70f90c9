// bulk.cpp - bulk and interrupt transfers: one URB over the caller's locked buffer, sent down
// with the caller's request itself.
//
// Ownership. The URB and its TRANSFER_CONTEXT are allocated by PrepareBulkOrInterruptTransfer
// and belong to the transfer until BulkOrInterruptCompletion frees them; if the request cannot
// be sent, PrepareBulkOrInterruptTransfer frees them itself. The MDL is the I/O manager's and
// goes down as it came: no data is copied.
//
// Every transfer that goes down is recorded in PendingTransfers first, so that a stop can
// cancel it. When all slots are busy the request is refused with STATUS_INSUFFICIENT_RESOURCES
// instead of being sent untracked: a transfer that a stop cannot cancel may stay in the USB
// stack after the stop, holding its reference, and removal would then wait for it.

#include "kwdrv.h"

C_ASSERT(sizeof(TRANSFER_CONTEXT) == 2 * sizeof(PVOID));

// Builds the URB of a bulk or interrupt transfer of the whole of Irp->MdlAddress on the pipe
// PipeInfo describes: IN for a read and OUT for a write, a short packet accepted either way.
// Irp->MdlAddress must not be NULL. Returns NULL when pool is exhausted.
_Use_decl_annotations_
PURB BuildBulkOrInterruptUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                             PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const USHORT UrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    ULONG Length = MmGetMdlByteCount(Irp->MdlAddress);
    ULONG Flags = Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                       : USBD_SHORT_TRANSFER_OK;

    PURB Urb = AllocateUrb(UrbBytes);
    if (Urb != NULL) {
        UsbBuildInterruptOrBulkTransferRequest(Urb, UrbBytes, PipeInfo->PipeHandle, NULL,
                                               Irp->MdlAddress, Length, Flags, NULL);
    }
    return Urb;
}

// Makes Irp ready to go down to the USB stack: its URB and context allocated, the transfer
// recorded in PendingTransfers, the next stack location holding the URB and the completion
// routine set for success, error and cancel. On STATUS_SUCCESS the caller must send Irp to
// LowerDeviceObject at once and touch neither it nor the URB afterwards. On failure
// (STATUS_INSUFFICIENT_RESOURCES: pool exhausted or every slot busy) nothing is left allocated
// or recorded and the caller completes Irp; STATUS_INVALID_PARAMETER: the pipe's direction is
// not the request's). PASSIVE_LEVEL, in the dispatch routine.
_Use_decl_annotations_
NTSTATUS PrepareBulkOrInterruptTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                        PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    // The USB stack moves data in the endpoint's direction whatever the URB's flag says: a read
    // on an OUT pipe would send the caller's buffer out, a write on an IN pipe would fill pages
    // locked only for reading.
    if ((USB_ENDPOINT_DIRECTION_IN(PipeInfo->EndpointAddress) != 0) != (Read != FALSE)) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB Urb = BuildBulkOrInterruptUrb(DeviceObject, Irp, PipeInfo, Read);
    PTRANSFER_CONTEXT Context = (Urb != NULL)
        ? static_cast<PTRANSFER_CONTEXT>(KwAllocatePool(sizeof(TRANSFER_CONTEXT)))
        : NULL;
    if (Context == NULL || !TrackTransfer(DeviceObject, Irp)) {
        if (Context != NULL) {
            KwFreePool(Context);
        }
        if (Urb != NULL) {
            KwFreePool(Urb);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Context->Urb = Urb;
    Context->DeviceObject = DeviceObject;

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, BulkOrInterruptCompletion, Context, TRUE, TRUE, TRUE);
    return STATUS_SUCCESS;
}

// Runs when the USB stack completes a transfer, in any thread at IRQL <= DISPATCH_LEVEL, on
// success, error and cancel alike. IoStatus.Status stays as the USB stack set it; Information
// becomes the bytes the stack reports transferred (never more than the caller's buffer). The
// order follows the slot protocol of PendingTransfers: everything done to the request first,
// UntrackTransfer as the last touch of the request, IoDecrement as the last touch of the
// device. When a stop holds the request (UntrackTransfer FALSE) completion stops here and the
// stop finishes it; the request's reference is released either way.
_Use_decl_annotations_
NTSTATUS NTAPI BulkOrInterruptCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT Transfer = static_cast<PTRANSFER_CONTEXT>(Context);
    PDEVICE_OBJECT Device = Transfer->DeviceObject;
    PURB Urb = Transfer->Urb;
    ULONG Transferred = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ULONG Requested = MmGetMdlByteCount(Irp->MdlAddress);

    Irp->IoStatus.Information = (Transferred <= Requested) ? Transferred : Requested;
    KwFreePool(Transfer);
    KwFreePool(Urb);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    BOOLEAN CompletionGoesOn = UntrackTransfer(Device, Irp);
    IoDecrement(Device);
    return CompletionGoesOn ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
}
