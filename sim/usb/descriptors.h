// Descriptor bytes as the device model and the USB stack model read them: hex text, the walk of
// a configuration descriptor set, and the full-speed rules a well-formed set obeys.
#pragma once

#include <usbspec.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

using Bytes = std::vector<UCHAR>;

// "12 01 00 02", "12010002" or the same spread over lines: pairs of hex digits, white space
// anywhere between pairs. An odd number of digits or any other character is an error whose
// message names the offending position.
std::optional<Bytes> ParseHex(std::string_view text, std::string* error);
// "12 01 00 02": lower-case pairs separated by single spaces.
std::string ToHex(const UCHAR* data, size_t size);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// The little-endian 16-bit field at p (callers check the bounds).
inline USHORT ReadWord(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

struct EndpointInfo {
    UCHAR address = 0;
    UCHAR attributes = 0;
    USHORT wMaxPacketSize = 0;  // as in the descriptor, multiplier bits included
    UCHAR interval = 0;
    size_t offset = 0;  // of the endpoint descriptor within the set

    UCHAR Type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
    bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    // Bytes per packet: bits 0-10 times (1 + the high-bandwidth multiplier in bits 11-12).
    ULONG PacketSize() const { return (wMaxPacketSize & 0x7FFu) * (1u + ((wMaxPacketSize >> 11) & 3u)); }
};

// One interface descriptor (one alternate setting) and the endpoint descriptors after it.
struct InterfaceInfo {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR declaredEndpoints = 0;  // bNumEndpoints
    UCHAR cls = 0;
    UCHAR subClass = 0;
    UCHAR protocol = 0;
    size_t offset = 0;
    std::vector<EndpointInfo> endpoints;  // in descriptor order
};

struct ConfigLayout {
    USHORT totalLength = 0;
    UCHAR numInterfaces = 0;  // bNumInterfaces
    UCHAR configurationValue = 0;
    UCHAR attributes = 0;
    UCHAR maxPower = 0;
    std::vector<InterfaceInfo> interfaces;  // every alternate setting, in descriptor order

    const InterfaceInfo* Find(UCHAR number, UCHAR alternate) const;
    // Distinct bInterfaceNumber values, in order of first appearance.
    std::vector<UCHAR> InterfaceNumbers() const;
    // Every endpoint of every alternate setting with this address (nullptr when none).
    const EndpointInfo* FindEndpoint(UCHAR address) const;
};

// Walks a configuration descriptor set the way the USB stack does: descriptors chained by
// bLength from the configuration descriptor up to min(wTotalLength, size). Fails (message
// with the byte offset) when the first descriptor is not a 9-byte configuration descriptor,
// when a descriptor has bLength < 2 or runs past the end, when an interface or endpoint
// descriptor is shorter than its record, or an endpoint descriptor precedes every interface.
// Descriptors of other types (class-specific, association) are stepped over. On failure,
// `partial` (when given) receives what the walk found before the fault.
std::optional<ConfigLayout> WalkConfiguration(const UCHAR* data, size_t size, std::string* error,
                                              ConfigLayout* partial = nullptr);

// The rules a well-formed set obeys beyond the walk: wTotalLength equals the bytes given, each
// interface has exactly bNumEndpoints endpoint descriptors, bNumInterfaces distinct interface
// numbers each with alternate setting 0, no alternate setting listed twice, endpoint addresses
// 1-15 in either direction and unique within an alternate setting, and packet sizes a device of
// that speed may declare. Full speed: control/bulk 8, 16, 32 or 64; interrupt 0-64; isochronous
// 0-1023; no high-bandwidth multiplier. High speed: control 64; bulk 512; interrupt and
// isochronous 0-1024 per transaction with at most 2 additional transactions (bits 11-12) and
// bInterval 1-16; only those two types may declare additional transactions. Returns an empty
// string when it obeys.
std::string CheckWellFormed(const ConfigLayout& layout, size_t size, bool highSpeed = false);

// Largest payload per bus interval an endpoint of this type may declare at this speed (the
// high-bandwidth multiplier included at high speed).
ULONG PacketLimit(UCHAR type, bool highSpeed);

}  // namespace sim::usb
