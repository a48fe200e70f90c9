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
    if (!IsAcceptingRequests(DeviceObject)) {
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

// Whether a transfer in this direction may go to the pipe at all. The USB stack moves data the
// endpoint's way whatever the request asks, so a read on an OUT endpoint would send the caller's
// uninitialised buffer to the device, and a write on an IN endpoint would let the device write
// into a buffer locked for reading only: both are refused with STATUS_INVALID_PARAMETER. A pipe
// whose maximum packet size is 0 (a zero-bandwidth setting) can carry no data; its requests get
// STATUS_INVALID_DEVICE_STATE. Nothing is allocated or sent either way. Any pipe type.
static NTSTATUS CheckTransferDirection(PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    BOOLEAN EndpointIn = USB_ENDPOINT_DIRECTION_IN(PipeInfo->EndpointAddress) ? TRUE : FALSE;
    if (EndpointIn != Read) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PipeInfo->MaximumPacketSize == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return STATUS_SUCCESS;
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
        Status = CheckTransferDirection(PipeInfo, Read);
    }

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
            Status = SendBulkOrInterruptTransfer(DeviceObject, Irp, PipeInfo, Read);
            break;

        default:
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    if (Status == STATUS_PENDING) {
        return Status; // the request and its reference belong to its completion routine
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
