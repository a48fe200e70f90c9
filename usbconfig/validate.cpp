// validate.cpp - structural check of a configuration descriptor set.
//
// The set comes from the device and is not trusted. USBD's parser and request builders walk it
// by each descriptor's bLength and take bNumEndpoints on faith, so a set is checked here before
// either sees it. The check reads only bytes inside both the delivered bytes and wTotalLength.

#include "kwdrv.h"

// Smallest descriptors whose fields the parser and builders read.
constexpr ULONG KW_MIN_DESCRIPTOR_BYTES = sizeof(USB_COMMON_DESCRIPTOR);
constexpr ULONG KW_MIN_CONFIGURATION_BYTES = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr ULONG KW_MIN_INTERFACE_BYTES = sizeof(USB_INTERFACE_DESCRIPTOR);
constexpr ULONG KW_MIN_ENDPOINT_BYTES = sizeof(USB_ENDPOINT_DESCRIPTOR);

C_ASSERT(KW_MIN_DESCRIPTOR_BYTES == 2);
C_ASSERT(KW_MIN_CONFIGURATION_BYTES == 9);
C_ASSERT(KW_MIN_INTERFACE_BYTES == 9);
C_ASSERT(KW_MIN_ENDPOINT_BYTES == 7);

// Checks the header: at least 9 bytes delivered, a configuration descriptor of at least 9
// bytes, and a wTotalLength of at least 9 that does not exceed what was delivered.
static BOOLEAN HeaderIsSound(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG BytesDelivered)
{
    return BytesDelivered >= KW_MIN_CONFIGURATION_BYTES &&
           Set->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           Set->bLength >= KW_MIN_CONFIGURATION_BYTES &&
           Set->wTotalLength >= KW_MIN_CONFIGURATION_BYTES &&
           Set->wTotalLength <= BytesDelivered;
}

// Returns STATUS_SUCCESS when the first BytesDelivered bytes of Set hold a well-formed set:
// - the header above;
// - walking by bLength from the start, every descriptor has bLength >= 2 and ends within
//   wTotalLength;
// - an interface descriptor is at least 9 bytes, and at least its bNumEndpoints endpoint
//   descriptors follow it before the next interface descriptor or the end of the set; other
//   descriptors (class-specific ones) may be interleaved; surplus endpoint descriptors are
//   tolerated, since the builders take only bNumEndpoints of them;
// - every endpoint descriptor is at least 7 bytes.
// Otherwise STATUS_DEVICE_DATA_ERROR. Reads nothing outside the set; any IRQL.
_Use_decl_annotations_
NTSTATUS ValidateConfigurationSet(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG BytesDelivered)
{
    if (!HeaderIsSound(Set, BytesDelivered)) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    const UCHAR *Bytes = reinterpret_cast<const UCHAR *>(Set);
    ULONG Total = Set->wTotalLength;
    ULONG EndpointsOwed = 0;
    for (ULONG Offset = 0; Offset < Total;) {
        if (Total - Offset < KW_MIN_DESCRIPTOR_BYTES) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        const USB_COMMON_DESCRIPTOR *Common =
            reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(Bytes + Offset);
        ULONG Length = Common->bLength;
        if (Length < KW_MIN_DESCRIPTOR_BYTES || Length > Total - Offset) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (Common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (EndpointsOwed != 0 || Length < KW_MIN_INTERFACE_BYTES) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            EndpointsOwed =
                reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(Common)->bNumEndpoints;
        } else if (Common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (Length < KW_MIN_ENDPOINT_BYTES) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            EndpointsOwed = (EndpointsOwed != 0) ? EndpointsOwed - 1 : 0;
        }
        Offset += Length;
    }
    return (EndpointsOwed == 0) ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}
