// The USBD library's descriptor parsers, as the USB stack's client drivers see them.
//
// A configuration descriptor set is walked from its first byte, one descriptor at a time by
// bLength, never beyond the length the caller gives (wTotalLength for the configuration
// parsers). Windows trusts the bytes; the model does not, so that a malformed set shows up as
// "not found" in the driver under test rather than as a crash inside the model:
//  - a bLength of 0 or 1 cannot move the walk past the two common bytes (0 would loop
//    forever), so it ends the walk;
//  - a descriptor whose bLength runs past the end is never returned and ends the walk, since
//    nothing after it can be located;
//  - only the bytes of descriptors that lie wholly inside the set are read, apart from the
//    configuration descriptor's first four bytes, which hold wTotalLength itself.
// The walk always starts at the buffer, not at StartPosition, so a StartPosition inside a
// descriptor yields the next real descriptor rather than bytes that merely look like one.
#include <usbdlib.h>

#include <cstdint>

namespace {

// A criterion of -1 is ignored; any other value must equal the descriptor's field.
bool Matches(LONG criterion, UCHAR value) { return criterion == -1 || criterion == value; }

bool MatchesAll(const USB_INTERFACE_DESCRIPTOR* d, LONG number, LONG alternate, LONG interfaceClass,
                LONG subClass, LONG protocol) {
    return Matches(number, d->bInterfaceNumber) && Matches(alternate, d->bAlternateSetting) &&
           Matches(interfaceClass, d->bInterfaceClass) && Matches(subClass, d->bInterfaceSubClass) &&
           Matches(protocol, d->bInterfaceProtocol);
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                  PVOID StartPosition, LONG DescriptorType) {
    if (DescriptorBuffer == nullptr) return nullptr;
    auto base = static_cast<PUCHAR>(DescriptorBuffer);
    // Addresses are compared as integers: StartPosition may lie outside the buffer.
    const uintptr_t start = reinterpret_cast<uintptr_t>(StartPosition);
    ULONG offset = 0;  // invariant: offset <= TotalLength
    while (TotalLength - offset >= sizeof(USB_COMMON_DESCRIPTOR)) {
        auto d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(base + offset);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > TotalLength - offset) return nullptr;
        if (d->bDescriptorType == DescriptorType && reinterpret_cast<uintptr_t>(d) >= start) return d;
        offset += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID from = StartPosition;
    for (;;) {
        auto d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, from, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (d == nullptr) return nullptr;
        // An interface descriptor shorter than the record cannot hold the fields matched on
        // (reading them would leave it, perhaps the set), so it never matches.
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            MatchesAll(d, InterfaceNumber, AlternateSetting, InterfaceClass, InterfaceSubClass,
                       InterfaceProtocol)) {
            return d;
        }
        from = reinterpret_cast<PUCHAR>(d) + d->bLength;  // bLength >= 2: the search advances
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

}  // extern "C"
