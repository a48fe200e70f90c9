// busspeed.cpp - the speed the device runs at, from the USB stack's USBDI bus interface.
//
// The isochronous path (transfer/isoch.cpp) sizes its URBs by it: a high-speed pipe moves one
// packet per bus interval of 125 us microframes, a full-speed pipe one per 1 ms frame.

#include <initguid.h>

#include "kwdrv.h"

// Asks the stack below for USB_BUS_INTERFACE_USBDI_GUID version 1 with the driver's own
// IRP_MN_QUERY_INTERFACE (initial status STATUS_NOT_SUPPORTED, as for every PnP request a
// driver originates), reads IsDeviceHighSpeed and gives the interface's reference back at once:
// nothing is kept beyond the answer. Extension->HighSpeed becomes 1 only when the interface was
// handed out and says so; a stack without the interface (or a failed allocation) leaves the
// device at full speed, where every URB the driver builds is also valid. PASSIVE_LEVEL, in the
// start sequence.
_Use_decl_annotations_
VOID QueryDeviceSpeed(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    LONG HighSpeed = 0;
    PIRP Irp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
    if (Irp == NULL) {
        (void)InterlockedExchange(&Extension->HighSpeed, HighSpeed);
        return;
    }
    USB_BUS_INTERFACE_USBDI_V1 BusInterface;
    RtlZeroMemory(&BusInterface, sizeof(BusInterface));
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_PNP;
    Stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    Stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    Stack->Parameters.QueryInterface.Size = sizeof(BusInterface);
    Stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    Stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&BusInterface);
    Stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;

    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Extension->LowerDeviceObject, Irp) == STATUS_PENDING) {
        WaitOnEvent(&Event);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        if (BusInterface.IsDeviceHighSpeed != NULL) {
            HighSpeed = BusInterface.IsDeviceHighSpeed(BusInterface.BusContext) ? 1 : 0;
        }
        if (BusInterface.InterfaceDereference != NULL) {
            BusInterface.InterfaceDereference(BusInterface.BusContext);
        }
    }
    IoFreeIrp(Irp);
    (void)InterlockedExchange(&Extension->HighSpeed, HighSpeed);
}
