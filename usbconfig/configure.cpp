// configure.cpp - choice and selection of the configuration.
//
// Everything here runs inside StartDevice, in the Plug and Play thread at PASSIVE_LEVEL, on a
// configuration set that ValidateConfigurationSet has accepted. The select-configuration
// requests come from USBD's builders, which allocate them from pool themselves; they are
// released with ExFreePool, never with KwFreePool. Only the first interface entry of a request
// matters: its copy becomes InterfaceInfo, the pipe information every transfer uses.

#include "kwdrv.h"

// Largest transfer the driver asks the USB stack to accept on every pipe.
constexpr ULONG KW_MAXIMUM_TRANSFER_SIZE = 0xFFFF;

// Finds interface 0, alternate setting 1, of any class, subclass and protocol, or NULL.
static PUSB_INTERFACE_DESCRIPTOR FindAlternateSetting(PUSB_CONFIGURATION_DESCRIPTOR Set)
{
    return USBD_ParseConfigurationDescriptorEx(Set, Set, 0, 1, -1, -1, -1);
}

// The first interface entry of a select-configuration request of UrbBytes. Returns it when its
// Length lies inside the request and covers NumberOfPipes pipe entries, else NULL, so that
// nothing below reads or writes past the request or, later, past the copy of the entry.
static PUSBD_INTERFACE_INFORMATION WholeInterfaceEntry(PURB Urb, ULONG UrbBytes)
{
    const ULONG EntryOffset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    const ULONG PipesOffset = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    if (UrbBytes < EntryOffset + PipesOffset) {
        return NULL;
    }
    PUSBD_INTERFACE_INFORMATION Entry = &Urb->UrbSelectConfiguration.Interface;
    if (Entry->Length < PipesOffset || Entry->Length > UrbBytes - EntryOffset ||
        Entry->NumberOfPipes > (Entry->Length - PipesOffset) / sizeof(USBD_PIPE_INFORMATION)) {
        return NULL;
    }
    return Entry;
}

// Sets MaximumTransferSize on every pipe of the request's interface and, when PipeFlags is not
// zero, replaces the pipes' flags with it. FALSE, with nothing written, when the entry is not
// whole.
static BOOLEAN SetPipeParameters(PURB Urb, ULONG UrbBytes, ULONG PipeFlags)
{
    PUSBD_INTERFACE_INFORMATION Entry = WholeInterfaceEntry(Urb, UrbBytes);
    if (Entry == NULL) {
        return FALSE;
    }
    for (ULONG Index = 0; Index < Entry->NumberOfPipes; ++Index) {
        PUSBD_PIPE_INFORMATION Pipe = Entry->Pipes + Index;
        Pipe->MaximumTransferSize = KW_MAXIMUM_TRANSFER_SIZE;
        if (PipeFlags != 0) {
            Pipe->PipeFlags = PipeFlags;
        }
    }
    return TRUE;
}

// Stores the result of a successful selection: the configuration handle, and a retained copy
// of the interface entry published as InterfaceInfo (the copy it replaces stays alive for
// handles whose PipeInfo still points into it). When the copy cannot be allocated nothing is
// stored and the start fails with STATUS_INSUFFICIENT_RESOURCES: a device without pipe
// information would start with no pipe that can be opened.
static NTSTATUS StoreSelection(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG UrbBytes)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    PUSBD_INTERFACE_INFORMATION Entry = WholeInterfaceEntry(Urb, UrbBytes);
    if (Entry == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    PVOID Copy = AllocateRetainedCopy(Entry->Length);
    if (Copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy, Entry, Entry->Length);
    Extension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
    PublishRetainedCopy(reinterpret_cast<PVOID volatile *>(&Extension->InterfaceInfo), Copy);
    return STATUS_SUCCESS;
}

// The common tail of both selections: store what a successful selection returned, release the
// builder's request whatever happened, and confirm the selection with the read-back.
static NTSTATUS FinishSelection(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG UrbBytes,
                                NTSTATUS SelectionStatus)
{
    NTSTATUS Status = SelectionStatus;
    if (NT_SUCCESS(Status)) {
        Status = StoreSelection(DeviceObject, Urb, UrbBytes);
    }
    ExFreePool(Urb);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return ReadBackConfiguration(DeviceObject, SelectionStatus);
}

// The configuration choice: alternate setting 1 of interface 0 when the set offers it, else
// the builder's default request. The status of the selection that ran is the result.
_Use_decl_annotations_
NTSTATUS ChooseConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    if (FindAlternateSetting(ConfigurationDescriptor) != NULL) {
        return SelectAlternateConfiguration(DeviceObject, ConfigurationDescriptor);
    }
    return SelectConfiguration(DeviceObject, ConfigurationDescriptor);
}

// Selects the configuration with interface 0 in alternate setting 1. The request goes out
// twice: first exactly as the builder made it, which makes the USB stack fill in the pipe
// entries (its status decides nothing once the stack filled them in); then with every pipe's MaximumTransferSize 65535 and
// PipeFlags USBD_PF_CHANGE_MAX_PACKET, whose status is the selection's. A set without that
// setting fails with STATUS_DEVICE_DATA_ERROR and sends nothing.
_Use_decl_annotations_
NTSTATUS SelectAlternateConfiguration(PDEVICE_OBJECT DeviceObject,
                                      PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    USBD_INTERFACE_LIST_ENTRY InterfaceList[2];

    InterfaceList[0].InterfaceDescriptor = FindAlternateSetting(ConfigurationDescriptor);
    InterfaceList[0].Interface = NULL;
    InterfaceList[1].InterfaceDescriptor = NULL;
    InterfaceList[1].Interface = NULL;
    if (InterfaceList[0].InterfaceDescriptor == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    PURB Urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, InterfaceList);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USHORT UrbBytes = Urb->UrbHeader.Length;

    // The second submission is built from what the first one filled in. When the first failed
    // without filling in the interface (it never reached the stack, for one), the second would
    // carry empty pipe entries: the start fails with the first one's status instead.
    NTSTATUS FirstStatus = CallUsbd(DeviceObject, Urb);
    NTSTATUS Status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(FirstStatus) && InterfaceList[0].Interface->InterfaceHandle == NULL) {
        Status = FirstStatus;
    } else if (SetPipeParameters(Urb, UrbBytes, USBD_PF_CHANGE_MAX_PACKET)) {
        UsbBuildSelectConfigurationRequest(Urb, UrbBytes, ConfigurationDescriptor);
        Status = CallUsbd(DeviceObject, Urb);
    }
    return FinishSelection(DeviceObject, Urb, UrbBytes, Status);
}

// Selects the configuration with the request USBD_CreateConfigurationRequest builds from the
// set, every pipe's MaximumTransferSize 65535 and the builder's PipeFlags, sent once.
_Use_decl_annotations_
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    USHORT UrbBytes = 0;
    PURB Urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &UrbBytes);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS Status = STATUS_DEVICE_DATA_ERROR;
    if (SetPipeParameters(Urb, UrbBytes, 0)) {
        UsbBuildSelectConfigurationRequest(Urb, UrbBytes, ConfigurationDescriptor);
        Status = CallUsbd(DeviceObject, Urb);
    }
    return FinishSelection(DeviceObject, Urb, UrbBytes, Status);
}

// Confirms a selection with GET_CONFIGURATION. One block holds the 80-byte request and, right
// behind it, its one-byte data buffer. The value read is not examined; the request's status
// is the result. When the block cannot be allocated the selection stands unconfirmed and
// SelectionStatus is returned.
_Use_decl_annotations_
NTSTATUS ReadBackConfiguration(PDEVICE_OBJECT DeviceObject, NTSTATUS SelectionStatus)
{
    const ULONG RequestBytes = sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    PURB Urb = AllocateUrb(RequestBytes + 1);
    if (Urb == NULL) {
        return SelectionStatus;
    }

    Urb->UrbHeader.Length = static_cast<USHORT>(RequestBytes);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
    Urb->UrbControlGetConfigurationRequest.TransferBufferLength = 1;
    Urb->UrbControlGetConfigurationRequest.TransferBuffer =
        reinterpret_cast<PUCHAR>(Urb) + RequestBytes;
    Urb->UrbControlGetConfigurationRequest.TransferBufferMDL = NULL;
    Urb->UrbControlGetConfigurationRequest.UrbLink = NULL;

    NTSTATUS Status = CallUsbd(DeviceObject, Urb);
    KwFreePool(Urb);
    return Status;
}
