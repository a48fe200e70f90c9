#include "usb/descriptors.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace sim::usb {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }

std::string At(size_t offset) { return "at byte " + std::to_string(offset); }

std::string HexByte(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFFu);
    return b;
}
}  // namespace

std::optional<Bytes> ParseHex(std::string_view text, std::string* error) {
    Bytes out;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (IsSpace(c)) {
            if (high >= 0) {
                *error = "a lone hex digit before position " + std::to_string(i) + " (digits come in pairs)";
                return std::nullopt;
            }
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) {
            *error = std::string("'") + c + "' at position " + std::to_string(i) + " is not a hex digit";
            return std::nullopt;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<UCHAR>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        *error = "an odd number of hex digits (digits come in pairs)";
        return std::nullopt;
    }
    return out;
}

std::string ToHex(const UCHAR* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < size; ++i) {
        if (i != 0) s += ' ';
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    return s;
}

const InterfaceInfo* ConfigLayout::Find(UCHAR number, UCHAR alternate) const {
    for (const InterfaceInfo& i : interfaces) {
        if (i.number == number && i.alternate == alternate) return &i;
    }
    return nullptr;
}

std::vector<UCHAR> ConfigLayout::InterfaceNumbers() const {
    std::vector<UCHAR> numbers;
    for (const InterfaceInfo& i : interfaces) {
        if (std::find(numbers.begin(), numbers.end(), i.number) == numbers.end()) numbers.push_back(i.number);
    }
    return numbers;
}

const EndpointInfo* ConfigLayout::FindEndpoint(UCHAR address) const {
    for (const InterfaceInfo& i : interfaces) {
        for (const EndpointInfo& e : i.endpoints) {
            if (e.address == address) return &e;
        }
    }
    return nullptr;
}

namespace {
std::optional<ConfigLayout> Walk(const UCHAR* data, size_t size, std::string* error, ConfigLayout& c) {
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        *error = "a configuration descriptor needs 9 bytes, " + std::to_string(size) + " given";
        return std::nullopt;
    }
    if (data[0] != sizeof(USB_CONFIGURATION_DESCRIPTOR) || data[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        *error = "the set must start with a configuration descriptor (bLength 9, bDescriptorType 2), found "
                 "bLength " + std::to_string(data[0]) + ", bDescriptorType " + std::to_string(data[1]);
        return std::nullopt;
    }
    c.totalLength = ReadWord(data + 2);
    c.numInterfaces = data[4];
    c.configurationValue = data[5];
    c.attributes = data[7];
    c.maxPower = data[8];
    if (c.totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        *error = "wTotalLength " + std::to_string(c.totalLength) + " is shorter than the configuration descriptor";
        return std::nullopt;
    }
    const size_t end = std::min<size_t>(c.totalLength, size);
    for (size_t off = data[0]; off < end;) {
        const UCHAR len = data[off];
        if (len < 2 || off + 2 > end) {
            *error = "descriptor " + At(off) + " has bLength " + std::to_string(len) + " (at least 2 needed)";
            return std::nullopt;
        }
        if (off + len > end) {
            *error = "descriptor " + At(off) + " (bLength " + std::to_string(len) + ") runs past the end of the set (" +
                     std::to_string(end) + " bytes)";
            return std::nullopt;
        }
        const UCHAR type = data[off + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (len < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                *error = "interface descriptor " + At(off) + " has bLength " + std::to_string(len) + " (9 needed)";
                return std::nullopt;
            }
            InterfaceInfo i;
            i.number = data[off + 2];
            i.alternate = data[off + 3];
            i.declaredEndpoints = data[off + 4];
            i.cls = data[off + 5];
            i.subClass = data[off + 6];
            i.protocol = data[off + 7];
            i.offset = off;
            c.interfaces.push_back(i);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (len < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                *error = "endpoint descriptor " + At(off) + " has bLength " + std::to_string(len) + " (7 needed)";
                return std::nullopt;
            }
            if (c.interfaces.empty()) {
                *error = "endpoint descriptor " + At(off) + " comes before any interface descriptor";
                return std::nullopt;
            }
            EndpointInfo e;
            e.address = data[off + 2];
            e.attributes = data[off + 3];
            e.wMaxPacketSize = ReadWord(data + off + 4);
            e.interval = data[off + 6];
            e.offset = off;
            c.interfaces.back().endpoints.push_back(e);
        }
        off += len;
    }
    return c;
}
}  // namespace

std::optional<ConfigLayout> WalkConfiguration(const UCHAR* data, size_t size, std::string* error,
                                              ConfigLayout* partial) {
    ConfigLayout c;
    std::optional<ConfigLayout> r = Walk(data, size, error, c);
    if (!r && partial != nullptr) *partial = c;
    return r;
}

ULONG PacketLimit(UCHAR type, bool highSpeed) {
    if (!highSpeed) return type == USB_ENDPOINT_TYPE_ISOCHRONOUS ? 1023u : 64u;
    switch (type) {
        case USB_ENDPOINT_TYPE_CONTROL: return 64u;
        case USB_ENDPOINT_TYPE_BULK: return 512u;
        default: return 3u * 1024u;
    }
}

namespace {
// Why the endpoint's wMaxPacketSize (or bInterval) cannot be declared at this speed; empty when
// it can.
std::string PacketSizeError(const EndpointInfo& e, bool highSpeed) {
    const ULONG size = e.wMaxPacketSize & 0x7FFu;
    const ULONG extra = (e.wMaxPacketSize >> 11) & 3u;
    const bool periodic = e.Type() == USB_ENDPOINT_TYPE_INTERRUPT || e.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    if ((e.wMaxPacketSize >> 13) != 0) return "sets the reserved bits 13-15 of wMaxPacketSize";
    if (!highSpeed) {
        if (extra != 0) return "declares additional transactions (bits 11-12), which only a high-speed endpoint has";
        const bool fixed = !periodic;
        const bool ok = fixed ? (size == 8 || size == 16 || size == 32 || size == 64)
                              : size <= PacketLimit(e.Type(), false);
        return ok ? "" : "declares wMaxPacketSize " + std::to_string(size) +
                             ", which a full-speed endpoint of its type cannot have";
    }
    if (!periodic) {
        if (extra != 0) return "declares additional transactions, which only interrupt and isochronous endpoints have";
        return size == PacketLimit(e.Type(), true)
                   ? ""
                   : "declares wMaxPacketSize " + std::to_string(size) + "; a high-speed " +
                         (e.Type() == USB_ENDPOINT_TYPE_BULK ? "bulk endpoint has 512" : "control endpoint has 64");
    }
    if (extra == 3) return "declares 3 additional transactions (bits 11-12 = 3 is reserved)";
    if (size > 1024) return "declares wMaxPacketSize " + std::to_string(size) + " (at most 1024 at high speed)";
    if (e.interval < 1 || e.interval > 16) {
        return "declares bInterval " + std::to_string(e.interval) + " (1-16 at high speed: 2^(bInterval-1) microframes)";
    }
    return "";
}
}  // namespace

std::string CheckWellFormed(const ConfigLayout& c, size_t size, bool highSpeed) {
    if (c.totalLength != size) {
        return "wTotalLength " + std::to_string(c.totalLength) + " does not match the " + std::to_string(size) +
               " bytes of the set";
    }
    std::set<std::pair<UCHAR, UCHAR>> seen;
    for (const InterfaceInfo& i : c.interfaces) {
        const std::string name = "interface " + std::to_string(i.number) + " alternate setting " +
                                 std::to_string(i.alternate) + " (" + At(i.offset) + ")";
        if (!seen.insert({i.number, i.alternate}).second) return name + " is listed twice";
        if (i.endpoints.size() != i.declaredEndpoints) {
            return name + " declares bNumEndpoints " + std::to_string(i.declaredEndpoints) + " but " +
                   std::to_string(i.endpoints.size()) + " endpoint descriptors follow it";
        }
        std::set<UCHAR> addresses;
        for (const EndpointInfo& e : i.endpoints) {
            const std::string ep = "endpoint " + HexByte(e.address) + " of " + name;
            if ((e.address & USB_ENDPOINT_ADDRESS_MASK) == 0 || (e.address & 0x70) != 0) {
                return ep + " has an address outside 0x01-0x0F / 0x81-0x8F";
            }
            if (!addresses.insert(e.address).second) return ep + " appears twice in the alternate setting";
            // Interrupt and isochronous endpoints may declare 0 (a setting without bandwidth).
            const std::string bad = PacketSizeError(e, highSpeed);
            if (!bad.empty()) return ep + " " + bad;
        }
    }
    const std::vector<UCHAR> numbers = c.InterfaceNumbers();
    if (numbers.size() != c.numInterfaces) {
        return "bNumInterfaces is " + std::to_string(c.numInterfaces) + " but the set describes " +
               std::to_string(numbers.size()) + " interfaces";
    }
    for (UCHAR n : numbers) {
        if (c.Find(n, 0) == nullptr) return "interface " + std::to_string(n) + " has no alternate setting 0";
    }
    return {};
}

}  // namespace sim::usb
