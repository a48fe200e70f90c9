// The USBD library's select-configuration request builders.
//
// The URB holds the header, the configuration descriptor pointer and handle, then one
// USBD_INTERFACE_INFORMATION record per list entry, back to back, each
// GET_USBD_INTERFACE_SIZE(bNumEndpoints) bytes long (an interface without endpoints gets the
// bare 16-byte record on 32-bit Windows). It comes from non-paged pool, zeroed, tracked like
// driver pool: the caller frees it with ExFreePool, and a test can fail the allocation
// (FaultKind::Usbd, by ordinal, kind or the caller's call site).
//
// What the builders guarantee whatever the bytes:
//  - they accept only interface descriptors that USBD_ParseDescriptors reaches in the set and
//    that are whole (bLength >= 9); anything else, an empty list, or a size beyond the 16-bit
//    Hdr.Length makes the request unusable: NULL, nothing allocated;
//  - a record's pipe count is the descriptor's bNumEndpoints; endpoint descriptors are not
//    read (the USB stack fills the pipes from them when it selects the configuration);
//  - they write only inside the block they allocate, and touch the caller's list only on
//    success.
#include <usbdlib.h>

#include "kernel/internal.h"

#include <cstddef>

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // reads "USBD" in a pool dump

// Bytes before the first interface record.
constexpr size_t kHeadSize = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
constexpr size_t kMaxUrbSize = 0xFFFF;  // Hdr.Length is a USHORT

// True for an interface descriptor that the parser reaches in this set and that is whole.
bool IsUsableInterface(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR d) {
    PUSB_COMMON_DESCRIPTOR found =
        USBD_ParseDescriptors(config, config->wTotalLength, d, USB_INTERFACE_DESCRIPTOR_TYPE);
    return found == reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(d) && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR);
}

// Size of the URB for the entries before the terminator, or 0 when the request is unusable.
// Every entry adds at least one record header, so the size check also bounds the walk of a
// list that lacks its terminator.
size_t RequestSize(PUSB_CONFIGURATION_DESCRIPTOR config, const USBD_INTERFACE_LIST_ENTRY* list) {
    size_t size = kHeadSize;
    for (auto e = list; e->InterfaceDescriptor != nullptr; ++e) {
        if (!IsUsableInterface(config, e->InterfaceDescriptor)) return 0;
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        if (size > kMaxUrbSize) return 0;
    }
    return size == kHeadSize ? 0 : size;
}

// Formats one record from its descriptor in zeroed memory and returns the next record.
// Pipe fields stay zero except MaximumTransferSize, which carries the platform default (the
// stack ignores it from XP on). PipeFlags stay 0: no flag is requested on the caller's behalf.
PUSBD_INTERFACE_INFORMATION FillInterface(PUSBD_INTERFACE_INFORMATION iface, const USB_INTERFACE_DESCRIPTOR* d) {
    iface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    iface->InterfaceNumber = d->bInterfaceNumber;
    iface->AlternateSetting = d->bAlternateSetting;
    iface->Class = d->bInterfaceClass;
    iface->SubClass = d->bInterfaceSubClass;
    iface->Protocol = d->bInterfaceProtocol;
    iface->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = iface->Pipes;
    for (ULONG i = 0; i < iface->NumberOfPipes; ++i) pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(iface) + iface->Length);
}

// Both public builders come here with their caller's return address, so fault injection by
// call site names the driver's call, not one inside this library.
PURB BuildSelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY list,
                              const void* site) {
    if (config == nullptr || list == nullptr) return nullptr;
    const size_t size = RequestSize(config, list);
    if (size == 0) return nullptr;
    auto urb = static_cast<PURB>(
        sim::detail::AllocateTracked(NonPagedPool, size, kUsbdTag, site, sim::FaultKind::Usbd));
    if (urb == nullptr) return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    PUSBD_INTERFACE_INFORMATION iface = &urb->UrbSelectConfiguration.Interface;
    for (auto e = list; e->InterfaceDescriptor != nullptr; ++e) {
        e->Interface = iface;
        iface = FillInterface(iface, e->InterfaceDescriptor);
    }
    return urb;
}

}  // namespace

extern "C" {

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    return BuildSelectConfiguration(ConfigurationDescriptor, InterfaceList, __builtin_return_address(0));
}

// The deprecated builder configures one interface: the first interface descriptor of the set
// (interface 0, alternate setting 0 in practice). *Siz receives Hdr.Length, or 0 on failure.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    PURB urb = list[0].InterfaceDescriptor == nullptr
                   ? nullptr
                   : BuildSelectConfiguration(ConfigurationDescriptor, list, __builtin_return_address(0));
    if (Siz != nullptr) *Siz = urb == nullptr ? 0 : urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
