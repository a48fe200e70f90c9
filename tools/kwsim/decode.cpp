#include "decode.h"

#include "kernel/model.h"

#include <cstdio>

namespace kwsim {

std::string Hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

std::string Bytes(const UCHAR* p, size_t n, size_t maxShown) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n && i < maxShown; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i != 0) s += ' ';
        s += buf;
    }
    if (n > maxShown) s += " … (" + std::to_string(n) + " bytes)";
    return s;
}

std::string PipeTypeName(USBD_PIPE_TYPE t) {
    switch (t) {
        case UsbdPipeTypeControl: return "control";
        case UsbdPipeTypeIsochronous: return "isochronous";
        case UsbdPipeTypeBulk: return "bulk";
        case UsbdPipeTypeInterrupt: return "interrupt";
    }
    return "?";
}

Lines DecodeDeviceDescriptor(const USB_DEVICE_DESCRIPTOR& d) {
    return {
        {"device", "USB " + Hex(d.bcdUSB, 4) + ", class " + Hex(d.bDeviceClass, 2) + "/" + Hex(d.bDeviceSubClass, 2) +
                       "/" + Hex(d.bDeviceProtocol, 2) + ", EP0 packet " + std::to_string(d.bMaxPacketSize0)},
        {"ids", "VID " + Hex(d.idVendor, 4) + " PID " + Hex(d.idProduct, 4) + " release " + Hex(d.bcdDevice, 4)},
        {"strings", "manufacturer " + std::to_string(d.iManufacturer) + ", product " + std::to_string(d.iProduct) +
                        ", serial " + std::to_string(d.iSerialNumber)},
        {"configurations", std::to_string(d.bNumConfigurations)},
    };
}

namespace {
std::string EndpointLine(const UCHAR* p) {
    auto e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
    static const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    std::string dir = (e->bEndpointAddress & 0x80) ? "IN" : "OUT";
    return Hex(e->bEndpointAddress, 2) + " " + dir + " " + kTypes[e->bmAttributes & 3] + ", packet " +
           std::to_string(e->wMaxPacketSize & 0x7FF) + ", interval " + std::to_string(e->bInterval);
}
}  // namespace

Lines DecodeConfigurationSet(const UCHAR* set, size_t length) {
    Lines out;
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return {{"configuration", "too short to decode"}};
    auto c = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set);
    size_t total = c->wTotalLength < length ? c->wTotalLength : length;
    out.push_back({"configuration", "value " + std::to_string(c->bConfigurationValue) + ", " +
                                        std::to_string(c->bNumInterfaces) + " interface(s), wTotalLength " +
                                        std::to_string(c->wTotalLength) + ", attributes " + Hex(c->bmAttributes, 2) +
                                        ", " + std::to_string(c->MaxPower * 2) + " mA"});
    for (size_t at = c->bLength; at + 2 <= total;) {
        const UCHAR len = set[at];
        if (len < 2 || at + len > total) {
            out.push_back({"!", "malformed descriptor at offset " + std::to_string(at)});
            break;
        }
        const UCHAR type = set[at + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= 9) {
            auto i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(set + at);
            out.push_back({"  interface", std::to_string(i->bInterfaceNumber) + " alternate setting " +
                                              std::to_string(i->bAlternateSetting) + ", class " +
                                              Hex(i->bInterfaceClass, 2) + ", " +
                                              std::to_string(i->bNumEndpoints) + " endpoint(s)"});
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7) {
            out.push_back({"    endpoint", EndpointLine(set + at)});
        } else {
            out.push_back({"  descriptor", "type " + Hex(type, 2) + ": " + Bytes(set + at, len)});
        }
        at += len;
    }
    return out;
}

Lines DecodePipeTable(const DEVICE_EXTENSION& ext) {
    Lines out;
    for (const PIPE_CONTEXT& p : ext.PipeTable) {
        std::string name = sim::Narrow(std::u16string(p.Name));
        if (p.PipeInfo == nullptr) {
            out.push_back({name, "(no pipe)"});
            continue;
        }
        const USBD_PIPE_INFORMATION& i = *p.PipeInfo;
        out.push_back({name, PipeTypeName(i.PipeType) + " " + Hex(i.EndpointAddress, 2) +
                                 ((i.EndpointAddress & 0x80) ? " IN" : " OUT") + ", packet " +
                                 std::to_string(i.MaximumPacketSize) + ", interval " + std::to_string(i.Interval) +
                                 (p.Opened ? ", open" : "")});
    }
    return out;
}

}  // namespace kwsim
