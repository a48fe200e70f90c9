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

// The interface descriptor of InterfaceNumber at AlternateSetting (-1: any), or NULL.
static PUSB_INTERFACE_DESCRIPTOR FindSetting(PUSB_CONFIGURATION_DESCRIPTOR Set, LONG InterfaceNumber,
                                             LONG AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(Set, Set, InterfaceNumber, AlternateSetting, -1, -1,
                                               -1);
}

// The setting selected for an interface: alternate setting 1 for interface 0 when the set has
// one, else alternate setting 0, else (a set without the default setting) its first setting.
static PUSB_INTERFACE_DESCRIPTOR ChooseSetting(PUSB_CONFIGURATION_DESCRIPTOR Set, UCHAR Number)
{
    PUSB_INTERFACE_DESCRIPTOR Setting = (Number == 0) ? FindSetting(Set, 0, 1) : NULL;
    if (Setting == NULL) {
        Setting = FindSetting(Set, Number, 0);
    }
    return (Setting != NULL) ? Setting : FindSetting(Set, Number, -1);
}

// Sets the bit of every interface number of the set in Seen (256 bits) and returns how many
// different numbers there are.
static ULONG MarkInterfaceNumbers(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG Seen[256 / 32])
{
    ULONG Count = 0;
    PVOID Start = Set;
    for (;;) {
        PUSB_INTERFACE_DESCRIPTOR Interface =
            USBD_ParseConfigurationDescriptorEx(Set, Start, -1, -1, -1, -1, -1);
        if (Interface == NULL) {
            return Count;
        }
        UCHAR Number = Interface->bInterfaceNumber;
        if ((Seen[Number / 32] & (1u << (Number % 32))) == 0) {
            Seen[Number / 32] |= 1u << (Number % 32);
            ++Count;
        }
        Start = reinterpret_cast<PUCHAR>(Interface) + Interface->bLength;
    }
}

// Builds the list of interfaces to select: every interface of the set once, in its chosen
// setting (ChooseSetting), in the order of their numbers, so interface 0 comes first when the
// set has it; a terminating entry without a descriptor ends the list. *Count receives the
// number of interfaces. NULL when pool is exhausted; the caller frees the list with KwFreePool.
static PUSBD_INTERFACE_LIST_ENTRY BuildInterfaceList(PUSB_CONFIGURATION_DESCRIPTOR Set,
                                                     PULONG Count)
{
    ULONG Seen[256 / 32] = {0};
    *Count = MarkInterfaceNumbers(Set, Seen);
    SIZE_T Bytes = (*Count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY List = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(KwAllocatePool(Bytes));
    if (List == NULL) {
        return NULL;
    }
    RtlZeroMemory(List, Bytes);
    ULONG Index = 0;
    for (ULONG Number = 0; Number < 256; ++Number) {
        if ((Seen[Number / 32] & (1u << (Number % 32))) != 0) {
            List[Index++].InterfaceDescriptor = ChooseSetting(Set, static_cast<UCHAR>(Number));
        }
    }
    return List;
}

// TRUE when the list's first entry is interface 0 in alternate setting 1.
static BOOLEAN SelectsAlternateSetting(const USBD_INTERFACE_LIST_ENTRY *List)
{
    PUSB_INTERFACE_DESCRIPTOR First = List[0].InterfaceDescriptor;
    return First != NULL && First->bInterfaceNumber == 0 && First->bAlternateSetting == 1;
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

// The configuration choice. Every interface of the configuration is selected (the USB stack
// refuses a selection that leaves one out): interface 0 in alternate setting 1 when the set
// offers it, the others in alternate setting 0. Only interface 0 matters to the driver; its
// entry comes first in the request and becomes InterfaceInfo. A configuration with one
// interface is selected exactly as before several were handled: with the builder's default
// request, or with alternate setting 1 named alone. The status of the selection that ran is
// the result.
_Use_decl_annotations_
NTSTATUS ChooseConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    ULONG Count = 0;
    PUSBD_INTERFACE_LIST_ENTRY List = BuildInterfaceList(ConfigurationDescriptor, &Count);
    if (List == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status = SelectsAlternateSetting(List)
        ? SelectAlternateConfiguration(DeviceObject, ConfigurationDescriptor, List)
        : SelectConfiguration(DeviceObject, ConfigurationDescriptor, List, Count);
    KwFreePool(List);
    return Status;
}

// Selects the configuration with the interfaces of InterfaceList, interface 0 in alternate
// setting 1 first. The request goes out twice: first exactly as the builder made it, which
// makes the USB stack fill in the pipe entries (its status decides nothing once the stack
// filled them in); then with every pipe of interface 0 at MaximumTransferSize 65535 and
// PipeFlags USBD_PF_CHANGE_MAX_PACKET, whose status is the selection's.
_Use_decl_annotations_
NTSTATUS SelectAlternateConfiguration(PDEVICE_OBJECT DeviceObject,
                                      PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                      PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
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

// Selects the configuration once, every pipe of the first interface at MaximumTransferSize
// 65535 with the builder's PipeFlags. One interface: the request USBD_CreateConfigurationRequest
// builds from the set. Several: USBD_CreateConfigurationRequestEx naming every interface of
// InterfaceList, since the older builder is only defined for one.
_Use_decl_annotations_
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList, ULONG InterfaceCount)
{
    USHORT UrbBytes = 0;
    PURB Urb = NULL;
    if (InterfaceCount == 1) {
        Urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &UrbBytes);
    } else {
        Urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, InterfaceList);
        UrbBytes = (Urb != NULL) ? Urb->UrbHeader.Length : 0;
    }
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
