// pnp.cpp - Plug and Play dispatch.
//
// Plug and Play requests arrive one at a time, at PASSIVE_LEVEL, in a system thread. Other
// requests may be inside the driver at the same time; removal turns new ones away with a plain
// store to AcceptingRequests and then waits until the last of them has left.

#include "kwdrv.h"

// Releases what the device holds besides the device object, once no request is left inside
// the driver. Returns the status of disabling the interface.
_Use_decl_annotations_
NTSTATUS RemoveCleanup(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS Status = DisableDeviceInterface(DeviceObject);

    (void)AbortPipes(DeviceObject);
    FreeDeviceCopies(DeviceObject);
    return Status;
}

// IRP_MN_REMOVE_DEVICE. On entry Irp holds one reference. The request goes down first; then
// the device's own reference is released and the thread blocks until every request still
// inside the driver has left, after which nothing else can reach the extension. Returns the
// lower driver's status; the device object is gone on return.
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);

    IoDecrement(DeviceObject);
    Extension->AcceptingRequests = FALSE;

    NTSTATUS Status = ForwardRequest(DeviceObject, Irp);
    IoDecrement(DeviceObject);
    WaitOnEvent(&Extension->RemoveEvent);

    (void)RemoveCleanup(DeviceObject);
    IoDetachDevice(Extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return Status;
}

// Finishes a PnP request in the driver: stores Status, completes the request and releases its
// reference. Returns Status.
static NTSTATUS CompletePnpRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return Status;
}

// IRP_MN_START_DEVICE. The lower stack starts the device first; the request comes back through
// SignalEventCompletion and the thread waits for it if it went pending. The device is then
// configured only when the lower stack succeeded: a start the bus driver failed completes with
// the bus driver's status and configures nothing.
static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT Event;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    if (IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp) == STATUS_PENDING) {
        WaitOnEvent(&Event);
    }

    NTSTATUS Status = Irp->IoStatus.Status;
    if (NT_SUCCESS(Status)) {
        Status = StartDevice(DeviceObject);
    }
    return CompletePnpRequest(DeviceObject, Irp, Status);
}

// IRP_MN_STOP_DEVICE. Tracked transfers are cancelled and the device is deconfigured before
// the request goes down. Stop fails only when its request cannot be allocated; the request is
// then completed here and not passed on.
static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status = StopDevice(DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return CompletePnpRequest(DeviceObject, Irp, Status);
    }
    Status = ForwardRequest(DeviceObject, Irp);
    IoDecrement(DeviceObject);
    return Status;
}

// Whether the driver answers for this minor function itself. Those requests go down with
// STATUS_SUCCESS and Information 0, as every driver of the stack that handles them must set.
// Queries the driver does not answer keep the status and Information they arrived with, so a
// query nobody below answers is not reported as a success with nothing filled in.
static BOOLEAN DriverHandlesMinor(UCHAR Minor)
{
    switch (Minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return TRUE;
    default:
        return FALSE;
    }
}

// Start, stop and removal are handled here; every other minor function is passed down and left
// to the lower driver to complete.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;
    UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    IoIncrement(DeviceObject);
    if (DriverHandlesMinor(Minor)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
    }

    switch (Minor) {
    case IRP_MN_START_DEVICE:
        Status = HandleStartDevice(DeviceObject, Irp);
        break;

    case IRP_MN_STOP_DEVICE:
        Status = HandleStopDevice(DeviceObject, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        Status = HandleRemoveDevice(DeviceObject, Irp);
        break;

    default:
        Status = ForwardRequest(DeviceObject, Irp);
        IoDecrement(DeviceObject);
        break;
    }
    return Status;
}
