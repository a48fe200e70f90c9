// bulk.cpp - bulk and interrupt transfers: one URB over the caller's locked buffer, sent down
// with the caller's request itself.
//
// Ownership. A transfer is one block (TRANSFER_CONTEXT and its URB, usbconfig/pending.cpp),
// allocated by SendBulkOrInterruptTransfer and owned by the transfer until
// BulkOrInterruptCompletion frees it; if the request cannot be sent, SendBulkOrInterruptTransfer
// frees it itself. The MDL is the I/O manager's and goes down as it came: no data is copied.
//
// Every transfer that goes down is on TransferList first, so that a stop, a surprise removal or
// the cleanup of its handle can cancel it. The list has no limit, so no request is refused for
// want of room.

#include "kwdrv.h"

// Fills the transfer's URB for a transfer of the whole of Irp->MdlAddress on the pipe PipeInfo
// describes: IN for a read and OUT for a write, a short packet accepted either way.
// Irp->MdlAddress must not be NULL.
_Use_decl_annotations_
VOID BuildBulkOrInterruptUrb(PTRANSFER_CONTEXT Transfer, PIRP Irp,
                             PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    const USHORT UrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    ULONG Length = MmGetMdlByteCount(Irp->MdlAddress);
    ULONG Flags = Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                       : USBD_SHORT_TRANSFER_OK;

    UsbBuildInterruptOrBulkTransferRequest(Transfer->Urb, UrbBytes, PipeInfo->PipeHandle, NULL,
                                           Irp->MdlAddress, Length, Flags, NULL);
}

// Sends Irp down to the USB stack as a bulk or interrupt transfer of its whole MDL. Returns
// STATUS_PENDING once the request has gone down: it then belongs to BulkOrInterruptCompletion,
// which also releases its reference, and the caller touches neither it nor the device again.
// Any other status means nothing was sent or kept (STATUS_INSUFFICIENT_RESOURCES when pool is
// exhausted, STATUS_DELETE_PENDING once the device no longer accepts requests) and the caller
// completes Irp. PASSIVE_LEVEL, in the dispatch routine.
//
// When a canceller is ending the request as it completes, the completion routine hands it over
// (STATUS_MORE_PROCESSING_REQUIRED) and the canceller completes it later on its own thread; so
// the request may still be unfinished when IoCallDriver returns, whatever it returned. It is
// therefore marked pending before it goes down.
_Use_decl_annotations_
NTSTATUS SendBulkOrInterruptTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                     PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    PTRANSFER_CONTEXT Transfer =
        AllocateTransfer(DeviceObject, Irp, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (Transfer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildBulkOrInterruptUrb(Transfer, Irp, PipeInfo, Read);

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Transfer->Urb;
    NTSTATUS Status = TrackTransfer(DeviceObject, Transfer, BulkOrInterruptCompletion);
    if (!NT_SUCCESS(Status)) {
        FreeTransfer(Transfer);
        return Status;
    }
    IoMarkIrpPending(Irp);
    (void)IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

// Runs when the USB stack completes a transfer, in any thread at IRQL <= DISPATCH_LEVEL, on
// success, error and cancel alike; set with IoSetCompletionRoutineEx, so the driver stays
// loaded until this routine has returned although IoDecrement may let the device go. The
// device object comes from the transfer, not from the argument. IoStatus.Status stays as the
// USB stack set it; Information becomes the bytes the stack reports transferred (never more
// than the caller's buffer). UntrackTransfer is the last touch of the request and IoDecrement
// the last touch of the device; when a canceller holds the request (UntrackTransfer FALSE) the
// canceller frees the transfer and finishes the request.
_Use_decl_annotations_
NTSTATUS NTAPI BulkOrInterruptCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT Transfer = static_cast<PTRANSFER_CONTEXT>(Context);
    PDEVICE_OBJECT Device = Transfer->DeviceObject;
    ULONG Transferred = Transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ULONG Requested = MmGetMdlByteCount(Irp->MdlAddress);
    // A failed request whose URB still has the success status it was built with was refused
    // before the stack ran it (a suspended port): it moved nothing.
    if (!NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(Transfer->Urb->UrbHeader.Status)) {
        Transferred = 0;
    }

    Irp->IoStatus.Information = (Transferred <= Requested) ? Transferred : Requested;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    BOOLEAN CompletionGoesOn = UntrackTransfer(Device, Transfer);
    if (CompletionGoesOn) {
        FreeTransfer(Transfer);
    }
    IoDecrement(Device);
    return CompletionGoesOn ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
}
