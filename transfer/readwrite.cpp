// readwrite.cpp - reads and writes on a pipe handle: the checks every transfer passes and the
// branch on the pipe's type.
//
// Read and write are one routine but for the direction. The dispatch never waits: a transfer
// that goes down finishes in its completion routine, which also releases the request's
// reference; every request refused here is completed here, through FinishRequest.

#include "kwdrv.h"

// Completes a request the driver finishes itself with Status and no Information, releases the
// reference its dispatch routine took and returns Status. The request and, unless the caller
// holds another reference, the device must not be touched afterwards.
_Use_decl_annotations_
NTSTATUS FinishRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return Status;
}

// Finds the pipe of a read or write. STATUS_DELETE_PENDING once removal has begun;
// STATUS_INVALID_HANDLE when the request has no file object (one built by another driver), its
// handle was opened without a pipe, or the handle's entry has no pipe ("\KWDrvX", or an entry a
// restart with fewer pipes left empty). PipeInfo is loaded once: a start that follows a stop may
// rebind the entry meanwhile, and the pipe information loaded here stays valid until removal.
static NTSTATUS PipeOfRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                              PUSBD_PIPE_INFORMATION *PipeInfo)
{
    if (!KwGetExtension(DeviceObject)->AcceptingRequests) {
        return STATUS_DELETE_PENDING;
    }
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PPIPE_CONTEXT PipeContext =
        (FileObject != NULL) ? static_cast<PPIPE_CONTEXT>(FileObject->FsContext) : NULL;
    if (PipeContext == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    *PipeInfo = KwLoadPipeInfo(PipeContext);
    return (*PipeInfo != NULL) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

// The one path of every read (Read TRUE) and write (Read FALSE), at PASSIVE_LEVEL in the
// caller's thread. Returns STATUS_PENDING for a transfer that went down, else the status the
// request was completed with.
//
// A request of zero bytes arrives without an MDL (or, from a caller that builds its own, with
// an empty one). It completes at once with STATUS_SUCCESS and Information 0: nothing is sent,
// so no zero-length packet goes to the device, and nothing is read through a missing MDL.
static NTSTATUS DispatchTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read)
{
    IoIncrement(DeviceObject);
    PUSBD_PIPE_INFORMATION PipeInfo = NULL;
    NTSTATUS Status = PipeOfRequest(DeviceObject, Irp, &PipeInfo);

    if (NT_SUCCESS(Status)) {
        switch (PipeInfo->PipeType) {
        case UsbdPipeTypeIsochronous:
            return DispatchIsochronousTransfer(DeviceObject, Irp, PipeInfo, Read);

        case UsbdPipeTypeBulk:
        case UsbdPipeTypeInterrupt:
            if (Irp->MdlAddress == NULL || MmGetMdlByteCount(Irp->MdlAddress) == 0) {
                Status = STATUS_SUCCESS; // zero bytes, see above
                break;
            }
            Status = PrepareBulkOrInterruptTransfer(DeviceObject, Irp, PipeInfo, Read);
            if (NT_SUCCESS(Status)) {
                // The request and its reference belong to BulkOrInterruptCompletion from here.
                // When a stop is cancelling the request as it completes, that routine hands it
                // to the canceller (STATUS_MORE_PROCESSING_REQUIRED), which completes it later
                // on its own thread; so the request may still be unfinished when IoCallDriver
                // returns, whatever status it returned. It is therefore marked pending before
                // it goes down, and the dispatch returns STATUS_PENDING.
                IoMarkIrpPending(Irp);
                (void)IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
                return STATUS_PENDING;
            }
            break;

        default:
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    return FinishRequest(DeviceObject, Irp, Status);
}

// IRP_MJ_READ: a transfer from the device into the caller's locked buffer.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchTransfer(DeviceObject, Irp, TRUE);
}

// IRP_MJ_WRITE: a transfer of the caller's locked buffer to the device.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchTransfer(DeviceObject, Irp, FALSE);
}
