// lowercalls.cpp - request accounting, synchronous calls into the USB stack, and passing
// requests down.
//
// Reference rule: every dispatch routine takes one OutstandingIo reference on entry and
// releases it exactly once, when the request leaves the driver. The device itself holds one
// more from AddDevice until removal, so the count reaches 0 only after removal has released
// that one and the last request has left.

#include "kwdrv.h"

// Takes one reference on the device. Any thread, IRQL <= DISPATCH_LEVEL. Returns the new count.
_Use_decl_annotations_
LONG IoIncrement(PDEVICE_OBJECT DeviceObject)
{
    return InterlockedIncrement(&KwGetExtension(DeviceObject)->OutstandingIo);
}

// Releases one reference. Any thread, IRQL <= DISPATCH_LEVEL. When the count reaches 0 it sets
// RemoveEvent, after which the removal path may delete the device object at once: a caller
// must not touch the device object or its extension after IoDecrement unless it still holds
// another reference. Returns the new count.
_Use_decl_annotations_
LONG IoDecrement(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    LONG Count = InterlockedDecrement(&Extension->OutstandingIo);
    if (Count == 0) {
        KeSetEvent(&Extension->RemoveEvent, EVENT_INCREMENT, FALSE);
    }
    return Count;
}

// The driver's one way of blocking: until Event is signalled, not alertable, no time-out.
// PASSIVE_LEVEL only.
_Use_decl_annotations_
VOID WaitOnEvent(PKEVENT Event)
{
    (void)KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, NULL);
}

// Sends one internal device-control request to LowerDeviceObject with Argument1 in its stack
// location and returns once the lower stack has finished with it. The request belongs to the
// I/O manager, which fills IoStatus, signals Event and frees the request on completion; the
// driver attaches no completion routine. The result is the status IoCallDriver returned or,
// when that was STATUS_PENDING, the final status. PASSIVE_LEVEL only.
static NTSTATUS SendInternalRequestAndWait(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode,
                                           PVOID Argument1)
{
    PDEVICE_OBJECT LowerDeviceObject = KwGetExtension(DeviceObject)->LowerDeviceObject;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    PIRP Irp = IoBuildDeviceIoControlRequest(IoControlCode, LowerDeviceObject, NULL, 0, NULL, 0,
                                             TRUE, &Event, &IoStatus);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Argument1;

    NTSTATUS Status = IoCallDriver(LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        WaitOnEvent(&Event);
        Status = IoStatus.Status;
    }
    return Status;
}

// Submits Urb (built by the caller in non-paged pool, still owned by the caller) and waits.
// On return the USB stack has filled the URB's output fields. The result is the request's
// NTSTATUS; the USBD status in the URB header is left to the caller.
_Use_decl_annotations_
NTSTATUS CallUsbd(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    return SendInternalRequestAndWait(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

// Asks the hub driver for the port status bits. *PortStatus is 0 unless the hub wrote it.
_Use_decl_annotations_
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    *PortStatus = 0;
    return SendInternalRequestAndWait(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                                      PortStatus);
}

// Asks the hub driver to reset the device's port.
_Use_decl_annotations_
NTSTATUS ResetParentPort(PDEVICE_OBJECT DeviceObject)
{
    return SendInternalRequestAndWait(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

// Completion routine of every request the driver sends down and then waits for; Context is
// the waiter's KEVENT. Any thread, IRQL <= DISPATCH_LEVEL. Completion stops here: the request
// goes back to the waiting sender, which frees it or completes it again. The pending mark is
// not propagated because the sender never lets completion continue on its own.
_Use_decl_annotations_
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes Irp to LowerDeviceObject with a copy of the current stack location and no completion
// routine, and returns what IoCallDriver returned. The request is no longer the driver's once
// this returns; the caller still releases its reference.
_Use_decl_annotations_
NTSTATUS ForwardRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// The driver provides no WMI data: every system-control request goes down, also during
// removal, with a success status and no information preset.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoIncrement(DeviceObject);

    NTSTATUS Status = ForwardRequest(DeviceObject, Irp);
    IoDecrement(DeviceObject);
    return Status;
}
