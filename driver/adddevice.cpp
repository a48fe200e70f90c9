// adddevice.cpp - device object creation, device interface and capability query.
//
// Everything here runs at PASSIVE_LEVEL in the Plug and Play manager's thread, before any other
// request can reach the new device object.

#include "kwdrv.h"

// The device interface class applications enumerate to find the device.
static const GUID KwInterfaceClassGuid = {
    0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

// Creates and attaches the device object for PhysicalDeviceObject. On success the device holds
// its own OutstandingIo reference (count 1), which only the removal path releases. On failure
// no device object is left behind.
_Use_decl_annotations_
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT DeviceObject = NULL;
    NTSTATUS Status = CreateDeviceObject(DriverObject, PhysicalDeviceObject, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    DeviceObject->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    DeviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    Extension->PhysicalDeviceObject = PhysicalDeviceObject;
    Extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (Extension->LowerDeviceObject == NULL) {
        // Nothing below to send requests to. The interface is disabled first because its link
        // name lives in the extension that IoDeleteDevice releases.
        (void)DisableDeviceInterface(DeviceObject);
        IoDeleteDevice(DeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    // The device works without the bus driver's answer: DeviceCapabilities then keeps what
    // the query left in it.
    (void)QueryCapabilities(PhysicalDeviceObject, &Extension->DeviceCapabilities);
    IoIncrement(DeviceObject);
    return Status;
}

// Fills a freshly created (zero-filled) extension. LinkName is at most KW_LINK_NAME_CHARS - 1
// characters long, which EnableDeviceInterface guarantees; the terminator is the zero fill.
static VOID InitializeExtension(PDEVICE_EXTENSION Extension, PCUNICODE_STRING LinkName)
{
    RtlCopyMemory(Extension->InterfaceLinkName, LinkName->Buffer, LinkName->Length);
    Extension->DeviceDescriptor = NULL;
    Extension->InterfaceInfo = NULL;
    Extension->ConfigurationHandle = NULL;
    Extension->AcceptingRequests = TRUE;
    Extension->OutstandingIo = 0;
    KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
    InitializeTransferList(Extension);
    for (ULONG Index = 0; Index < KW_PIPE_TABLE_ENTRIES; ++Index) {
        Extension->PipeTable[Index].PipeInfo = NULL;
    }
}

// Registers and enables the device interface, then creates the unnamed device object with its
// extension. Pipes are opened as names below the device (interface path plus "\KWDrvN"), so the
// device object is FILE_DEVICE_SECURE_OPEN: such opens are checked against the device's access
// control list like an open of the device itself. It has no name of its own: applications reach
// it only through the interface, whose target is the physical device object. *DeviceObject is set only on success. The link-name string is released on every
// path; the interface stays registered (and, once enabled, enabled) when IoCreateDevice fails.
_Use_decl_annotations_
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT *DeviceObject)
{
    UNICODE_STRING LinkName;
    PDEVICE_OBJECT NewDevice = NULL;

    LinkName.Length = 0;
    LinkName.MaximumLength = 0;
    LinkName.Buffer = NULL;
    *DeviceObject = NULL;

    NTSTATUS Status = EnableDeviceInterface(PhysicalDeviceObject, &LinkName);
    if (NT_SUCCESS(Status)) {
        Status = IoCreateDevice(DriverObject, static_cast<ULONG>(sizeof(DEVICE_EXTENSION)), NULL,
                                FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                &NewDevice);
        if (NT_SUCCESS(Status)) {
            InitializeExtension(KwGetExtension(NewDevice), &LinkName);
            *DeviceObject = NewDevice;
        }
    }

    if (LinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&LinkName);
    }
    return Status;
}

// Registers the interface class on the physical device and enables it. A link name that does
// not fit InterfaceLinkName with its terminator is refused with STATUS_NAME_TOO_LONG before the
// interface is enabled; it is never truncated. Whenever SymbolicLinkName->Buffer is set on
// return, the caller owns the string and releases it with RtlFreeUnicodeString.
_Use_decl_annotations_
NTSTATUS EnableDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                               PUNICODE_STRING SymbolicLinkName)
{
    NTSTATUS Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &KwInterfaceClassGuid, NULL,
                                                SymbolicLinkName);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (SymbolicLinkName->Length / sizeof(WCHAR) >= KW_LINK_NAME_CHARS) {
        return STATUS_NAME_TOO_LONG;
    }
    return IoSetDeviceInterfaceState(SymbolicLinkName, TRUE);
}

// Disables the interface named by the extension's InterfaceLinkName. Used by removal and by
// AddDevice when attaching fails; the extension must still exist.
_Use_decl_annotations_
NTSTATUS DisableDeviceInterface(PDEVICE_OBJECT DeviceObject)
{
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, KwGetExtension(DeviceObject)->InterfaceLinkName);
    return IoSetDeviceInterfaceState(&LinkName, FALSE);
}

// Sends IRP_MN_QUERY_CAPABILITIES straight to the physical device object and waits for it.
// Capabilities is filled by the bus driver; the request carries STATUS_NOT_SUPPORTED and the
// record's size, version and unknown address and UI number, as a bus driver expects of a
// capability query. Returns STATUS_INSUFFICIENT_RESOURCES when no IRP can be allocated, else
// STATUS_SUCCESS whatever the bus driver answered. The IRP is the driver's own: the completion
// routine hands it back, and it is freed only after the completion routine has run.
_Use_decl_annotations_
NTSTATUS QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities)
{
    KEVENT Event;
    PIRP Irp = IoAllocateIrp(PhysicalDeviceObject->StackSize, FALSE);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_PNP;
    Stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    Stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    if (IoCallDriver(PhysicalDeviceObject, Irp) == STATUS_PENDING) {
        WaitOnEvent(&Event);
    }

    IoFreeIrp(Irp);
    return STATUS_SUCCESS;
}
