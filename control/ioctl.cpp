// ioctl.cpp - the device-control dispatcher and the standard requests: descriptor copies, the
// port reset and the pipe reset.
//
// Every request is finished before the dispatch routine returns: whatever goes down goes
// synchronously, and the request is completed in exactly one place, DispatchDeviceControl.
// Several requests may run at once on any handles; nothing here is shared between them but the
// device object, and no lock is taken.
//
// Buffers: every code is METHOD_BUFFERED, so the I/O manager gives one system buffer of
// max(input, output) bytes, or none when both lengths are 0, and copies Information bytes back
// to the caller unless the status is an error. A copy to the caller never exceeds the output
// length: a descriptor longer than the output buffer is cut to it and reported with
// STATUS_BUFFER_OVERFLOW, so a caller can read the first bytes to learn the full length; an
// output length of 0 gets STATUS_BUFFER_TOO_SMALL. Any error status carries Information 0.

#include "kwdrv.h"
#include "kwdrv_ioctl.h"

// Copies Length bytes from Source to the caller's output through the system buffer, cut to the
// output length, and sets Information to the bytes copied.
static NTSTATUS CopyToCaller(PIRP Irp, const VOID *Source, ULONG Length)
{
    ULONG OutputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    if (OutputLength == 0 || SystemBuffer == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG Copied = (Length < OutputLength) ? Length : OutputLength;
    RtlCopyMemory(SystemBuffer, Source, Copied);
    Irp->IoStatus.Information = Copied;
    return (Copied < Length) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// IOCTL_KW_GET_CONFIG_DESCRIPTOR: the configuration descriptor set, read from the device for
// this request. STATUS_DEVICE_DATA_ERROR when the read gives no usable set.
static NTSTATUS CopyConfigurationSet(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_CONFIGURATION_DESCRIPTOR Set = FetchConfigurationDescriptor(DeviceObject);
    if (Set == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    NTSTATUS Status = CopyToCaller(Irp, Set, Set->wTotalLength);
    KwFreePool(Set);
    return Status;
}

// IOCTL_KW_GET_DEVICE_DESCRIPTOR: the copy read at the latest start, never more than its 18
// bytes whatever bLength claims. STATUS_DEVICE_DATA_ERROR before the first start. A start that
// follows a stop may publish a new copy meanwhile; the one loaded here stays until removal.
static NTSTATUS CopyDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PUSB_DEVICE_DESCRIPTOR Descriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile *>(&KwGetExtension(DeviceObject)->DeviceDescriptor),
            NULL, NULL));
    if (Descriptor == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ULONG Length = Descriptor->bLength;
    if (Length > sizeof(USB_DEVICE_DESCRIPTOR)) {
        Length = sizeof(USB_DEVICE_DESCRIPTOR);
    }
    return CopyToCaller(Irp, Descriptor, Length);
}

// IOCTL_KW_RESET_PORT: the hub port is reset only when the device is connected and its port is
// disabled. The hub requires that no transfer is pending on the device during a port reset, so
// the pipes are aborted first (a disabled port moves no data anyway). A failed query or reset
// is reported with its status; a port that needs no reset is a success.
static NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject)
{
    ULONG PortStatus = 0;
    NTSTATUS Status = GetPortStatus(DeviceObject, &PortStatus);
    if (!NT_SUCCESS(Status) ||
        (PortStatus & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) != USBD_PORT_CONNECTED) {
        return Status;
    }
    (void)AbortPipes(DeviceObject);
    return ResetParentPort(DeviceObject);
}

// IOCTL_KW_RESET_PIPE: resets the pipe of the handle (and clears an isochronous endpoint's
// halt). STATUS_INVALID_PARAMETER for a request without a file object or a handle opened
// without a pipe; otherwise the reset's status.
static NTSTATUS ResetPipeOfHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PPIPE_CONTEXT PipeContext =
        (FileObject != NULL) ? static_cast<PPIPE_CONTEXT>(FileObject->FsContext) : NULL;
    if (PipeContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return ResetPipe(DeviceObject, PipeContext, TRUE);
}

// Runs one control code; leaves Information set on success and returns the final status.
static NTSTATUS RunControlCode(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_KW_GET_CONFIG_DESCRIPTOR:
        return CopyConfigurationSet(DeviceObject, Irp);
    case IOCTL_KW_RESET_PORT:
        return ResetPortIfDisabled(DeviceObject);
    case IOCTL_KW_RESET_PIPE:
        return ResetPipeOfHandle(DeviceObject, Irp);
    case IOCTL_KW_GET_DEVICE_DESCRIPTOR:
        return CopyDeviceDescriptor(DeviceObject, Irp);
    case IOCTL_KW_NO_OPERATION:
        return STATUS_SUCCESS;
    case IOCTL_KW_VENDOR_IN_0C:
        return VendorRequest0C(DeviceObject, Irp, FALSE);
    case IOCTL_KW_VENDOR_OUT_0C:
        return VendorRequest0C(DeviceObject, Irp, TRUE);
    case IOCTL_KW_VENDOR_IN_01:
        return VendorRequest1And2(DeviceObject, Irp, FALSE);
    case IOCTL_KW_VENDOR_OUT_02:
        return VendorRequest1And2(DeviceObject, Irp, TRUE);
    case IOCTL_KW_VENDOR_OUT_00:
    case IOCTL_KW_VENDOR_OUT_00_ALT:
        return VendorRequest00(DeviceObject, Irp);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Whether a code sends requests to the device (the rest answer from the driver's copies or
// refuse the handle).
static BOOLEAN CodeTalksToDevice(ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_KW_GET_CONFIG_DESCRIPTOR:
    case IOCTL_KW_RESET_PORT:
    case IOCTL_KW_VENDOR_IN_0C:
    case IOCTL_KW_VENDOR_OUT_0C:
    case IOCTL_KW_VENDOR_IN_01:
    case IOCTL_KW_VENDOR_OUT_02:
    case IOCTL_KW_VENDOR_OUT_00:
    case IOCTL_KW_VENDOR_OUT_00_ALT:
        return TRUE;
    default:
        return FALSE;
    }
}

// IRP_MJ_DEVICE_CONTROL, at PASSIVE_LEVEL in the caller's thread. Once removal has begun every
// code fails with STATUS_DEVICE_DATA_ERROR and nothing is sent; so does every code that talks to
// the device before its first start (no device descriptor copy yet), since the bus driver serves
// the device only once it has been started. The reference taken first keeps the device object
// and the descriptor copies valid until the request has been completed. Returns the status the
// request was completed with; never STATUS_PENDING.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoIncrement(DeviceObject);
    Irp->IoStatus.Information = 0;

    NTSTATUS Status = STATUS_DEVICE_DATA_ERROR;
    ULONG IoControlCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN Started = InterlockedCompareExchangePointer(
                          reinterpret_cast<PVOID volatile *>(&KwGetExtension(DeviceObject)->DeviceDescriptor),
                          NULL, NULL) != NULL;
    if (IsAcceptingRequests(DeviceObject) && (Started || !CodeTalksToDevice(IoControlCode))) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = RunControlCode(DeviceObject, Irp, IoControlCode);
    }
    if (NT_ERROR(Status)) {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return Status;
}
