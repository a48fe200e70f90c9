// descriptors.cpp - the start sequence and the descriptor reads.
//
// Every read is one GET_DESCRIPTOR request sent with CallUsbd, so everything here runs at
// PASSIVE_LEVEL and blocks until the USB stack answers. StartDevice runs in the Plug and Play
// thread, one start at a time; FetchConfigurationDescriptor runs in the thread of a device-control
// request and touches nothing but its own allocations, so it may run alongside a start.

#include "kwdrv.h"

// The first configuration read asks for this many bytes, enough for a set of ordinary size; a
// longer set costs a second read of exactly wTotalLength bytes.
constexpr ULONG KW_FIRST_CONFIGURATION_READ_BYTES = 265;

// Sends one GET_DESCRIPTOR request for descriptor index 0, language 0, into Buffer, reusing
// Urb (80 bytes, zero-filled by AllocateUrb). On success *BytesDelivered is the count the USB
// stack reported, never more than BufferBytes.
static NTSTATUS SendDescriptorRequest(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR DescriptorType,
                                      PVOID Buffer, ULONG BufferBytes, PULONG BytesDelivered)
{
    UsbBuildGetDescriptorRequest(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 DescriptorType, 0, 0, Buffer, NULL, BufferBytes, NULL);
    NTSTATUS Status = CallUsbd(DeviceObject, Urb);
    ULONG Delivered = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    *BytesDelivered = (Delivered < BufferBytes) ? Delivered : BufferBytes;
    return Status;
}

// Judges one successful configuration read into a buffer of BufferBytes. Returns
// STATUS_DEVICE_DATA_ERROR when the read gave no usable descriptor (fewer than 9 bytes, not a
// configuration descriptor, wTotalLength below 9, or fewer bytes than wTotalLength although
// the buffer was large enough). Otherwise STATUS_SUCCESS, with *NextReadBytes 0 when the
// buffer holds the complete set, or wTotalLength when the set needs a larger buffer.
static NTSTATUS ExamineConfigurationRead(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG BufferBytes,
                                         ULONG BytesDelivered, PULONG NextReadBytes)
{
    *NextReadBytes = 0;
    if (BytesDelivered < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Set->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        Set->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (Set->wTotalLength > BufferBytes) {
        *NextReadBytes = Set->wTotalLength;
        return STATUS_SUCCESS;
    }
    return (Set->wTotalLength > BytesDelivered) ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS;
}

// Reads the complete configuration descriptor set of configuration index 0. The buffer starts
// at 265 bytes and is replaced by one of exactly wTotalLength bytes whenever the device reports
// a larger set; the size only grows and wTotalLength is 16 bits, so the loop ends. On success
// *Set is a KwAllocatePool buffer owned by the caller whose first wTotalLength bytes (at most
// *BytesDelivered) are the set. On failure *Set is NULL and nothing is left allocated.
static NTSTATUS ReadConfigurationSet(PDEVICE_OBJECT DeviceObject,
                                     PUSB_CONFIGURATION_DESCRIPTOR *Set, PULONG BytesDelivered)
{
    PUSB_CONFIGURATION_DESCRIPTOR Buffer = NULL;
    ULONG BufferBytes = KW_FIRST_CONFIGURATION_READ_BYTES;
    ULONG NextReadBytes = 0;

    *Set = NULL;
    *BytesDelivered = 0;
    PURB Urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status;
    do {
        Buffer = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(KwAllocatePool(BufferBytes));
        if (Buffer == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        Status = SendDescriptorRequest(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       Buffer, BufferBytes, BytesDelivered);
        if (NT_SUCCESS(Status)) {
            Status = ExamineConfigurationRead(Buffer, BufferBytes, *BytesDelivered, &NextReadBytes);
        }
        if (NT_SUCCESS(Status) && NextReadBytes != 0) {
            KwFreePool(Buffer);
            Buffer = NULL;
            BufferBytes = NextReadBytes;
        }
    } while (NT_SUCCESS(Status) && NextReadBytes != 0);

    if (NT_SUCCESS(Status)) {
        *Set = Buffer;
    } else if (Buffer != NULL) {
        KwFreePool(Buffer);
    }
    KwFreePool(Urb);
    return Status;
}

// The start sequence, run after the lower stack has completed IRP_MN_START_DEVICE (also for a
// start that follows a stop). The first failing step ends it and its status is the result;
// what earlier steps stored stays in place. Transfers still in flight stay tracked: each
// leaves the list only through its own completion.
_Use_decl_annotations_
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject)
{
    QueryDeviceSpeed(DeviceObject);
    NTSTATUS Status = ReadDeviceDescriptor(DeviceObject);
    if (NT_SUCCESS(Status)) {
        Status = ReadConfigurationDescriptor(DeviceObject);
    }
    if (NT_SUCCESS(Status)) {
        Status = BuildPipeTable(DeviceObject);
    }
    return Status;
}

// Reads the 18-byte device descriptor into a new retained copy and, on success, publishes it
// as DeviceDescriptor; the copy it replaces stays alive for readers until removal. Bytes the
// device did not deliver read as zero. On failure DeviceDescriptor is unchanged.
_Use_decl_annotations_
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;

    PURB Urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (Urb == NULL) {
        return Status;
    }
    PVOID Copy = AllocateRetainedCopy(sizeof(USB_DEVICE_DESCRIPTOR));
    if (Copy != NULL) {
        ULONG Delivered = 0;
        Status = SendDescriptorRequest(DeviceObject, Urb, USB_DEVICE_DESCRIPTOR_TYPE, Copy,
                                       sizeof(USB_DEVICE_DESCRIPTOR), &Delivered);
        if (NT_SUCCESS(Status)) {
            PublishRetainedCopy(reinterpret_cast<PVOID volatile *>(&Extension->DeviceDescriptor),
                                Copy);
        } else {
            FreeUnpublishedCopy(Copy);
        }
    }
    KwFreePool(Urb);
    return Status;
}

// Reads the configuration set, checks its structure, and runs the configuration choice on it.
// A set that gives no usable descriptor or is malformed fails with STATUS_DEVICE_DATA_ERROR and
// reaches neither USBD's parser nor its builders. The set is released before returning, whatever
// the choice returned.
_Use_decl_annotations_
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PUSB_CONFIGURATION_DESCRIPTOR Set = NULL;
    ULONG Delivered = 0;

    NTSTATUS Status = ReadConfigurationSet(DeviceObject, &Set, &Delivered);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = ValidateConfigurationSet(Set, Delivered);
    if (NT_SUCCESS(Status)) {
        Status = ChooseConfiguration(DeviceObject, Set);
    }
    KwFreePool(Set);
    return Status;
}

// Reads the configuration set afresh for a caller that wants a copy. Returns a buffer whose
// first wTotalLength bytes are the set, which the caller owns and releases with KwFreePool, or
// NULL on any failure. Changes nothing in the device extension; works started or not.
_Use_decl_annotations_
PUSB_CONFIGURATION_DESCRIPTOR FetchConfigurationDescriptor(PDEVICE_OBJECT DeviceObject)
{
    PUSB_CONFIGURATION_DESCRIPTOR Set = NULL;
    ULONG Delivered = 0;
    (void)ReadConfigurationSet(DeviceObject, &Set, &Delivered);
    return Set;
}
