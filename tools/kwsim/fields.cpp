// The descriptors and the pipe table as typed fields for --json: numbers as numbers, tables as
// arrays of objects.
#include "decode.h"

#include "kernel/model.h"

namespace kwsim {

nlohmann::ordered_json DeviceDescriptorFields(const USB_DEVICE_DESCRIPTOR& d) {
    return {{"bcdUSB", d.bcdUSB},
            {"deviceClass", d.bDeviceClass},
            {"deviceSubClass", d.bDeviceSubClass},
            {"deviceProtocol", d.bDeviceProtocol},
            {"maxPacketSize0", d.bMaxPacketSize0},
            {"idVendor", d.idVendor},
            {"idProduct", d.idProduct},
            {"bcdDevice", d.bcdDevice},
            {"iManufacturer", d.iManufacturer},
            {"iProduct", d.iProduct},
            {"iSerialNumber", d.iSerialNumber},
            {"numConfigurations", d.bNumConfigurations}};
}

nlohmann::ordered_json ConfigurationSetFields(const UCHAR* set, size_t length) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return out;
    auto c = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set);
    size_t total = c->wTotalLength < length ? c->wTotalLength : length;
    for (size_t at = 0; at + 2 <= total;) {
        const UCHAR len = set[at];
        if (len < 2 || at + len > total) break;
        const UCHAR* p = set + at;
        nlohmann::ordered_json d = {{"offset", at}, {"length", len}, {"type", p[1]}};
        if (p[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE && len >= 9) {
            d["totalLength"] = p[2] | p[3] << 8;
            d["numInterfaces"] = p[4];
            d["configurationValue"] = p[5];
            d["attributes"] = p[7];
            d["maxPowerMilliamps"] = p[8] * 2;
        } else if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && len >= 9) {
            d["interfaceNumber"] = p[2];
            d["alternateSetting"] = p[3];
            d["numEndpoints"] = p[4];
            d["interfaceClass"] = p[5];
            d["interfaceSubClass"] = p[6];
            d["interfaceProtocol"] = p[7];
        } else if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7) {
            d["endpointAddress"] = p[2];
            d["attributes"] = p[3];
            d["maxPacketSize"] = (p[4] | p[5] << 8) & 0x7FF;
            d["interval"] = p[6];
        } else {
            d["bytes"] = Bytes(p, len, len);
        }
        out.push_back(d);
        at += len;
    }
    return out;
}

nlohmann::ordered_json PipeTableFields(const DEVICE_EXTENSION& ext) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const PIPE_CONTEXT& p : ext.PipeTable) {
        if (p.PipeInfo == nullptr) continue;
        const USBD_PIPE_INFORMATION& i = *p.PipeInfo;
        out.push_back({{"name", sim::Narrow(std::u16string(p.Name))},
                       {"type", static_cast<int>(i.PipeType)},
                       {"typeName", PipeTypeName(i.PipeType)},
                       {"endpointAddress", i.EndpointAddress},
                       {"maxPacketSize", i.MaximumPacketSize},
                       {"interval", i.Interval},
                       {"open", p.Opened != FALSE}});
    }
    return out;
}

}  // namespace kwsim
