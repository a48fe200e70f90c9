// vendor.cpp - vendor requests on the default pipe, driven by the caller's VENDOR_REQUEST.
//
// Each request reads the record from the first 14 bytes of the system buffer, checks it
// against the buffers it will use, builds one URB_FUNCTION_VENDOR_DEVICE request and sends it
// with CallUsbd. A request refused by a check sends nothing. The routines run in the caller's
// thread at PASSIVE_LEVEL; several may be in the USB stack at once, each with its own URB.
//
// Limits, checked before anything is allocated or sent:
// - input length 0 (or no system buffer): STATUS_NO_MEMORY; 1 to 13: STATUS_INVALID_PARAMETER;
// - TransferLength above KW_MAX_CONTROL_TRANSFER, the most a control transfer carries through
//   the USB stack: STATUS_INVALID_PARAMETER;
// - device to host: TransferLength above the output length: STATUS_BUFFER_TOO_SMALL (the data
//   lands in the system buffer and Information may not exceed the output length);
// - request 0x0C host to device: TransferLength above the input length: STATUS_INVALID_PARAMETER;
// - requests 0x02 and 0x00: the TransferLength bytes at DataAddress are probed for reading in the
//   requestor's mode and locked into an MDL, which the URB carries; an address that is not valid
//   gives the probe's status (STATUS_ACCESS_VIOLATION). The address is never dereferenced.
// On success a device-to-host request reports the bytes received and a host-to-device one 0
// (see SendVendorUrb); every failure reports 0.

#include "kwdrv.h"
#include "kwdrv_ioctl.h"

// Where a request's data stage comes from or goes to.
typedef enum _KW_VENDOR_DATA {
    KwVendorToSystemBuffer,    // device to host, into the system buffer
    KwVendorFromSystemBuffer,  // host to device, the input bytes themselves
    KwVendorFromCaller         // host to device, from DataAddress in the caller's process
} KW_VENDOR_DATA;

// Copies the record out of the system buffer, which a device-to-host transfer overwrites.
static NTSTATUS ReadVendorRecord(PIRP Irp, PVENDOR_REQUEST Record)
{
    ULONG InputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
    PVOID SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    if (SystemBuffer == NULL || InputLength == 0) {
        return STATUS_NO_MEMORY;
    }
    if (InputLength < VENDOR_REQUEST_MINIMUM_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Record, sizeof(*Record));
    RtlCopyMemory(Record, SystemBuffer, VENDOR_REQUEST_MINIMUM_LENGTH);
    return STATUS_SUCCESS;
}

// The buffer limits above, for a record already read.
static NTSTATUS CheckVendorLimits(PIRP Irp, const VENDOR_REQUEST *Record, KW_VENDOR_DATA Data)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Record->TransferLength > KW_MAX_CONTROL_TRANSFER) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Data == KwVendorToSystemBuffer &&
        Record->TransferLength > Stack->Parameters.DeviceIoControl.OutputBufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Data == KwVendorFromSystemBuffer &&
        Record->TransferLength > Stack->Parameters.DeviceIoControl.InputBufferLength) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Fills Urb for the record and sends it. On success Information is the bytes received (never
// more than asked) for a device-to-host request, and 0 for a host-to-device one: the I/O manager
// copies Information bytes of the system buffer to the caller's output buffer, which may be
// shorter than TransferLength and would otherwise receive input bytes or uninitialised pool.
static NTSTATUS SendVendorUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb, UCHAR Request,
                              const VENDOR_REQUEST *Record, KW_VENDOR_DATA Data, PMDL Mdl)
{
    BOOLEAN In = (Data == KwVendorToSystemBuffer);
    PVOID Buffer = (Data == KwVendorFromCaller || Record->TransferLength == 0)
                       ? NULL : Irp->AssociatedIrp.SystemBuffer;
    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, Request,
                          Record->RequestValue, Record->RequestIndex, Buffer, Mdl,
                          Record->TransferLength, NULL);
    NTSTATUS Status = CallUsbd(DeviceObject, Urb);
    if (NT_SUCCESS(Status) && In) {
        ULONG Received = Urb->UrbControlVendorClassRequest.TransferBufferLength;
        Irp->IoStatus.Information =
            (Received < Record->TransferLength) ? Received : Record->TransferLength;
    }
    return Status;
}

// The one procedure of every vendor code. Stores the final status in the IRP and returns it;
// the caller completes the request. Every path releases what it took, in reverse order.
static NTSTATUS VendorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Request,
                              KW_VENDOR_DATA Data)
{
    VENDOR_REQUEST Record;
    PMDL Mdl = NULL;
    PURB Urb = NULL;
    NTSTATUS Status = ReadVendorRecord(Irp, &Record);
    if (NT_SUCCESS(Status)) {
        Status = CheckVendorLimits(Irp, &Record, Data);
    }
    if (NT_SUCCESS(Status) && Data == KwVendorFromCaller && Record.TransferLength != 0) {
        Status = LockCallerBuffer(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Record.DataAddress)),
                                  Record.TransferLength, Irp->RequestorMode, IoReadAccess, &Mdl);
    }
    if (NT_SUCCESS(Status)) {
        Urb = AllocateUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        Status = (Urb != NULL) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(Status)) {
        Status = SendVendorUrb(DeviceObject, Irp, Urb, Request, &Record, Data, Mdl);
        KwFreePool(Urb);
    }
    if (Mdl != NULL) {
        UnlockCallerBuffer(Mdl);
    }
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = Status;
    return Status;
}

// Request 0x0C: device to host into the system buffer (Out FALSE), or host to device from the
// input bytes themselves, the record first (Out TRUE).
_Use_decl_annotations_
NTSTATUS VendorRequest0C(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Out)
{
    return VendorRequest(DeviceObject, Irp, 0x0C,
                         Out ? KwVendorFromSystemBuffer : KwVendorToSystemBuffer);
}

// Request 0x01 device to host into the system buffer (Out FALSE); request 0x02 host to device
// from DataAddress (Out TRUE).
_Use_decl_annotations_
NTSTATUS VendorRequest1And2(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Out)
{
    return Out ? VendorRequest(DeviceObject, Irp, 0x02, KwVendorFromCaller)
               : VendorRequest(DeviceObject, Irp, 0x01, KwVendorToSystemBuffer);
}

// Request 0x00, host to device from DataAddress.
_Use_decl_annotations_
NTSTATUS VendorRequest00(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return VendorRequest(DeviceObject, Irp, 0x00, KwVendorFromCaller);
}
