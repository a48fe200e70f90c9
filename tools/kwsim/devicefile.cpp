// Device descriptions from the files users have: the JSON description, the binary `descriptors`
// file Linux shows for each USB device in sysfs (the device descriptor followed by each
// configuration set), or a hex dump of that file.
#include "session.h"

#include "decode.h"

#include "usb/device.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kwsim {
namespace {

using sim::usb::Behaviour;
using sim::usb::DeviceFormatError;

// The bytes of a hex dump: whitespace-separated or run-together byte pairs, optional "0x"
// prefixes and commas, an offset ending in ':' at the start of a line (xxd), '#' comments.
// False when the text is not such a dump.
bool ParseHexDump(const std::string& text, std::vector<UCHAR>* bytes) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        bool first = true;
        for (std::string w; words >> w; first = false) {
            if (first && w.back() == ':') continue;
            if (w.back() == ',') w.pop_back();
            if (w.rfind("0x", 0) == 0 || w.rfind("0X", 0) == 0) w.erase(0, 2);
            if (w.empty() || w.size() % 2 != 0) return false;
            for (size_t i = 0; i < w.size(); i += 2) {
                if (!std::isxdigit(static_cast<unsigned char>(w[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(w[i + 1]))) {
                    return false;
                }
                bytes->push_back(static_cast<UCHAR>(std::stoul(w.substr(i, 2), nullptr, 16)));
            }
        }
    }
    return !bytes->empty();
}

// What the endpoints of a device known only by its descriptors do: OUT endpoints take data,
// bulk and isochronous IN endpoints send a counter, interrupt IN endpoints send a report of
// zeroes every bInterval frames. The first setting that names an address decides it.
void DefaultBehaviours(sim::usb::DeviceDescription* d) {
    const std::vector<UCHAR>& set = d->configuration;
    for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2; at += set[at]) {
        if (set[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || set[at] < 7 || at + 7 > set.size()) continue;
        const UCHAR address = set[at + 2];
        const UCHAR type = set[at + 3] & 3;
        const ULONG packet = (set[at + 4] | set[at + 5] << 8) & 0x7FF;
        if (d->endpoints.count(address) != 0 || type == 0) continue;
        sim::usb::EndpointDescription e;
        if (!(address & 0x80)) {
            e.behaviour = Behaviour::Sink;
        } else if (type != 3) {
            e.behaviour = Behaviour::Source;
        } else if (packet != 0) {
            e.behaviour = Behaviour::Interrupt;
            e.pattern.assign(packet < 8 ? packet : 8, 0);
            e.everyFrames = set[at + 6] != 0 ? set[at + 6] : 1;
        }
        d->endpoints[address] = e;
    }
}

// The device descriptor and the first configuration set of a sysfs `descriptors` file.
sim::usb::DeviceDescription FromDescriptors(const std::vector<UCHAR>& b, const std::string& path) {
    if (b.size() < 18 || b[0] != 18 || b[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        throw DeviceFormatError(path + ": does not start with an 18-byte device descriptor");
    }
    if (b.size() < 18 + 9 || b[19] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        throw DeviceFormatError(path + ": no configuration descriptor follows the device descriptor");
    }
    const size_t total = b[20] | b[21] << 8;
    if (total < 9 || 18 + total > b.size()) {
        throw DeviceFormatError(path + ": the configuration set's wTotalLength " + std::to_string(total) +
                                " does not fit the " + std::to_string(b.size() - 18) + " bytes after the device descriptor");
    }
    sim::usb::DeviceDescription d;
    d.name = path + " (VID " + Hex(b[8] | b[9] << 8, 4) + " PID " + Hex(b[10] | b[11] << 8, 4) + ")";
    d.device.assign(b.begin(), b.begin() + 18);
    d.configuration.assign(b.begin() + 18, b.begin() + 18 + static_cast<std::ptrdiff_t>(total));
    DefaultBehaviours(&d);
    return d;
}

}  // namespace

std::shared_ptr<sim::usb::Device> LoadDevice(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DeviceFormatError(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    std::vector<UCHAR> bytes;
    if (s.size() >= 2 && static_cast<UCHAR>(s[0]) == 18 && static_cast<UCHAR>(s[1]) == USB_DEVICE_DESCRIPTOR_TYPE) {
        bytes.assign(s.begin(), s.end());
    } else if (!ParseHexDump(s, &bytes)) {
        return sim::usb::Device::FromJson(s, path);
    }
    return std::make_shared<sim::usb::Device>(FromDescriptors(bytes, path));
}

std::string InstanceIdOf(const sim::usb::Device& device) {
    const std::vector<UCHAR>& d = device.Description().device;
    const unsigned vid = d.size() >= 12 ? d[8] | d[9] << 8 : 0;
    const unsigned pid = d.size() >= 12 ? d[10] | d[11] << 8 : 0;
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\5&2f1a0c3&0&1", vid, pid);
    return id;
}

}  // namespace kwsim
