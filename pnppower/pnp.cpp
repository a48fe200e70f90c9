// pnp.cpp - Plug and Play dispatch.
//
// Plug and Play requests arrive one at a time, at PASSIVE_LEVEL, in a system thread. Other
// requests may be inside the driver at the same time; removal turns new ones away by clearing
// AcceptingRequests under the transfer lock and then waits until the last of them has left.

#include "kwdrv.h"

// Releases what the device holds besides the device object, once no request is left inside
// the driver. Returns the status of disabling the interface. After a surprise removal the
// interface is already disabled and the pipes aborted; neither is done twice.
_Use_decl_annotations_
NTSTATUS RemoveCleanup(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS Status = STATUS_SUCCESS;

    if (!KwGetExtension(DeviceObject)->SurpriseRemoved) {
        Status = DisableDeviceInterface(DeviceObject);
        (void)AbortPipes(DeviceObject);
    }
    ReleaseStopRequest(DeviceObject);
    FreeDeviceCopies(DeviceObject);
    return Status;
}

// IRP_MN_SURPRISE_REMOVAL: the device is gone (or its port failed). Before the request goes
// down: new requests are turned away, the interface is disabled so no application finds the
// device again, every tracked transfer is cancelled and every pipe aborted, so that requests
// the stack still holds end now and the last handle can close; only then may REMOVE come.
// Aborting may fail for want of pool; the request goes down all the same.
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    StopAcceptingRequests(DeviceObject);
    (void)DisableDeviceInterface(DeviceObject);
    CancelTransfers(DeviceObject, NULL, TRUE);
    (void)AbortPipes(DeviceObject);
    KwGetExtension(DeviceObject)->SurpriseRemoved = TRUE;

    NTSTATUS Status = ForwardRequest(DeviceObject, Irp);
    IoDecrement(DeviceObject);
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
    StopAcceptingRequests(DeviceObject);

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

// IRP_MN_QUERY_STOP_DEVICE. The stop that may follow must not fail, so what it needs is
// reserved now; when pool is exhausted the query fails here and is not passed on.
static NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status = ReserveStopRequest(DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return CompletePnpRequest(DeviceObject, Irp, Status);
    }
    Status = ForwardRequest(DeviceObject, Irp);
    IoDecrement(DeviceObject);
    return Status;
}

// IRP_MN_STOP_DEVICE. Tracked transfers are cancelled and the device is deconfigured before
// the request goes down. The stop cannot fail: the request always goes down, so the stack
// and the Plug and Play manager agree that the device is stopped.
static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)StopDevice(DeviceObject);
    NTSTATUS Status = ForwardRequest(DeviceObject, Irp);
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

    case IRP_MN_QUERY_STOP_DEVICE:
        Status = HandleQueryStopDevice(DeviceObject, Irp);
        break;

    case IRP_MN_STOP_DEVICE:
        Status = HandleStopDevice(DeviceObject, Irp);
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        Status = HandleSurpriseRemoval(DeviceObject, Irp);
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
