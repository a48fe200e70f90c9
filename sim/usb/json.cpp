// Device descriptions in JSON (format in sim/README.md) and the built-in test firmware.
#include "usb/device.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace sim::usb {

namespace {
using nlohmann::json;

// The project's test firmware. sim/devices/default.json holds the same text for kwsim users;
// a test keeps the two equal.
//
// Descriptors: VID 0x1209 PID 0x0001, bcdDevice 1.00, vendor-specific class, one configuration
// (value 1, bus powered, 100 mA) with interface 0:
//   alternate setting 0: bulk OUT 0x01, bulk IN 0x81 (64 bytes each);
//   alternate setting 1: bulk OUT 0x01, bulk IN 0x81 (64), interrupt IN 0x82 (8 bytes, every
//   10 frames), isochronous OUT 0x03 and IN 0x83 (256 bytes, every frame).
// Behaviour: bulk and isochronous OUT data comes back on the IN endpoint of the same number;
// the interrupt endpoint reports "4b 57 00 01 00 00 00 00" every 10 frames.
// Vendor requests: 0x00 a command (host-to-device, any data accepted and dropped); 0x01 reads
// the firmware version word 0x0100; 0x02 stores up to 64 bytes that a device-to-host 0x02
// echoes; 0x0C reads and writes the status block (up to 64 bytes; byte 0, the status byte,
// reads 00 = ready until the host writes it). Every other request stalls.
constexpr const char kDefaultJson[] = R"json({
  "name": "kwdrv test firmware",
  "device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01",
  "configuration": [
    "09 02 4c 00 01 01 00 80 32",
    "09 04 00 00 02 ff 00 00 00",
    "07 05 01 02 40 00 00",
    "07 05 81 02 40 00 00",
    "09 04 00 01 05 ff 00 00 00",
    "07 05 01 02 40 00 00",
    "07 05 81 02 40 00 00",
    "07 05 82 03 08 00 0a",
    "07 05 03 01 00 01 01",
    "07 05 83 01 00 01 01"
  ],
  "strings": { "1": "KW Test", "2": "KW Loopback", "3": "0001" },
  "port": { "connected": true, "enabled": true },
  "endpoints": {
    "0x01": { "behaviour": "loopback", "to": "0x81" },
    "0x81": { "behaviour": "loopback" },
    "0x82": { "behaviour": "interrupt", "pattern": "4b 57 00 01 00 00 00 00", "everyFrames": 10 },
    "0x03": { "behaviour": "loopback", "to": "0x83" },
    "0x83": { "behaviour": "loopback" }
  },
  "vendorRequests": {
    "0x00": { "out": "accept" },
    "0x01": { "in": { "data": "00 01" } },
    "0x02": { "out": "store", "in": "echo", "maxLength": 64 },
    "0x0C": { "out": "store", "in": "echo", "initial": "00", "maxLength": 64 }
  }
}
)json";

class Reader {
public:
    explicit Reader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void Fail(const std::string& path, const std::string& message) const {
        throw DeviceFormatError(source_ + ": " + (path.empty() ? "" : path + ": ") + message);
    }

    void Keys(const json& j, const std::string& path, std::initializer_list<const char*> known) const {
        if (!j.is_object()) Fail(path, "expected an object, found " + std::string(j.type_name()));
        for (const auto& item : j.items()) {
            bool ok = false;
            for (const char* k : known) ok = ok || item.key() == k;
            if (ok) continue;
            std::string list;
            for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
            Fail(path, "unknown key \"" + item.key() + "\" (known: " + list + ")");
        }
    }

    // A JSON integer, or a string in decimal or 0x-hex.
    ULONG Number(const json& j, const std::string& path, ULONG max) const {
        unsigned long long v = 0;
        if (j.is_number_unsigned()) {
            v = j.get<unsigned long long>();
        } else if (j.is_string()) {
            const std::string s = j.get<std::string>();
            size_t used = 0;
            try {
                v = std::stoull(s, &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != s.size() || s[0] == '-') Fail(path, "\"" + s + "\" is not a number");
        } else {
            Fail(path, "expected a non-negative number, found " + std::string(j.type_name()) +
                           (j.is_number() ? " " + j.dump() : ""));
        }
        if (v > max) Fail(path, std::to_string(v) + " is larger than " + std::to_string(max));
        return static_cast<ULONG>(v);
    }

    UCHAR Byte(const std::string& text, const std::string& path) const {
        return static_cast<UCHAR>(Number(json(text), path, 0xFF));
    }

    // A hex string, or an array of hex strings read as one.
    Bytes Hex(const json& j, const std::string& path) const {
        std::string text;
        if (j.is_string()) {
            text = j.get<std::string>();
        } else if (j.is_array()) {
            for (size_t i = 0; i < j.size(); ++i) {
                if (!j[i].is_string()) Fail(path + "[" + std::to_string(i) + "]", "expected a hex string");
                text += j[i].get<std::string>() + "\n";
            }
        } else {
            Fail(path, "expected a hex string (or an array of them), found " + std::string(j.type_name()));
        }
        std::string error;
        std::optional<Bytes> b = ParseHex(text, &error);
        if (!b) Fail(path, error);
        return *b;
    }

    bool Bool(const json& j, const std::string& path) const {
        if (!j.is_boolean()) Fail(path, "expected true or false, found " + std::string(j.type_name()));
        return j.get<bool>();
    }

    std::string Text(const json& j, const std::string& path) const {
        if (!j.is_string()) Fail(path, "expected a string, found " + std::string(j.type_name()));
        return j.get<std::string>();
    }

private:
    std::string source_;
};

Behaviour ParseBehaviour(const Reader& r, const json& j, const std::string& path) {
    const std::string s = r.Text(j, path);
    for (Behaviour b :
         {Behaviour::Idle, Behaviour::Source, Behaviour::Sink, Behaviour::Loopback, Behaviour::Interrupt}) {
        if (s == BehaviourName(b)) return b;
    }
    r.Fail(path, "unknown behaviour \"" + s + "\" (known: idle, source, sink, loopback, interrupt)");
}

EndpointDescription ParseEndpoint(const Reader& r, const json& j, const std::string& path) {
    r.Keys(j, path, {"behaviour", "pattern", "packetBytes", "to", "fifoLimit", "everyFrames", "reports", "halted"});
    if (!j.contains("behaviour")) r.Fail(path, "\"behaviour\" is missing");
    EndpointDescription e;
    e.behaviour = ParseBehaviour(r, j["behaviour"], path + ".behaviour");
    if (j.contains("pattern")) e.pattern = r.Hex(j["pattern"], path + ".pattern");
    if (j.contains("packetBytes")) e.packetBytes = r.Number(j["packetBytes"], path + ".packetBytes", 3072);
    if (j.contains("to")) e.peer = static_cast<UCHAR>(r.Number(j["to"], path + ".to", 0xFF));
    if (j.contains("fifoLimit")) e.fifoLimit = r.Number(j["fifoLimit"], path + ".fifoLimit", 1u << 24);
    if (j.contains("everyFrames")) e.everyFrames = r.Number(j["everyFrames"], path + ".everyFrames", 1u << 20);
    if (j.contains("reports")) {
        const json& reports = j["reports"];
        if (!reports.is_array()) r.Fail(path + ".reports", "expected an array of hex strings");
        for (size_t i = 0; i < reports.size(); ++i) {
            e.reports.push_back(r.Hex(reports[i], path + ".reports[" + std::to_string(i) + "]"));
        }
    }
    if (j.contains("halted")) e.halted = r.Bool(j["halted"], path + ".halted");
    const bool needsPattern = e.behaviour == Behaviour::Interrupt && e.everyFrames != 0;
    if (needsPattern && e.pattern.empty()) r.Fail(path, "a periodic interrupt report needs a \"pattern\"");
    if (e.peer != 0 && e.behaviour != Behaviour::Loopback) {
        r.Fail(path + ".to", "only a loopback endpoint has a target");
    }
    return e;
}

VendorBehaviour ParseVendor(const Reader& r, const json& j, const std::string& path) {
    r.Keys(j, path, {"in", "out", "initial", "maxLength"});
    VendorBehaviour v;
    if (j.contains("in")) {
        const json& in = j["in"];
        const std::string p = path + ".in";
        if (in.is_object()) {
            r.Keys(in, p, {"data"});
            if (!in.contains("data")) r.Fail(p, "\"data\" is missing");
            v.in = VendorIn::Constant;
            v.data = r.Hex(in["data"], p + ".data");
        } else {
            const std::string s = r.Text(in, p);
            if (s == "echo") {
                v.in = VendorIn::Echo;
            } else if (s == "stall") {
                v.in = VendorIn::Stall;
            } else {
                r.Fail(p, "expected \"echo\", \"stall\" or {\"data\": \"hex\"}, found \"" + s + "\"");
            }
        }
    }
    if (j.contains("out")) {
        const std::string s = r.Text(j["out"], path + ".out");
        if (s == "accept") {
            v.out = VendorOut::Accept;
        } else if (s == "store") {
            v.out = VendorOut::Store;
        } else if (s == "stall") {
            v.out = VendorOut::Stall;
        } else {
            r.Fail(path + ".out", "expected \"accept\", \"store\" or \"stall\", found \"" + s + "\"");
        }
    }
    if (j.contains("initial")) v.initial = r.Hex(j["initial"], path + ".initial");
    if (j.contains("maxLength")) v.maxLength = r.Number(j["maxLength"], path + ".maxLength", 0xFFFF);
    return v;
}

UCHAR DescriptorType(const Reader& r, const json& j, const std::string& path) {
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        if (s == "device") return USB_DEVICE_DESCRIPTOR_TYPE;
        if (s == "configuration") return USB_CONFIGURATION_DESCRIPTOR_TYPE;
        if (s == "string") return USB_STRING_DESCRIPTOR_TYPE;
    }
    return static_cast<UCHAR>(r.Number(j, path, 0xFF));
}

std::vector<DescriptorQuirk> ParseDescriptorQuirks(const Reader& r, const json& j, const std::string& path,
                                                   bool withBytes) {
    if (!j.is_array()) r.Fail(path, "expected an array");
    std::vector<DescriptorQuirk> list;
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string p = path + "[" + std::to_string(i) + "]";
        if (withBytes) {
            r.Keys(j[i], p, {"type", "index", "bytes", "times"});
        } else {
            r.Keys(j[i], p, {"type", "index", "times"});
        }
        if (!j[i].contains("type")) r.Fail(p, "\"type\" is missing");
        DescriptorQuirk q;
        q.type = DescriptorType(r, j[i]["type"], p + ".type");
        if (j[i].contains("index")) q.index = static_cast<UCHAR>(r.Number(j[i]["index"], p + ".index", 0xFF));
        if (withBytes) {
            if (!j[i].contains("bytes")) r.Fail(p, "\"bytes\" is missing");
            q.bytes = r.Number(j[i]["bytes"], p + ".bytes", 0xFFFF);
        }
        if (j[i].contains("times")) q.times = r.Number(j[i]["times"], p + ".times", 1u << 30);
        list.push_back(q);
    }
    return list;
}

Quirks ParseQuirks(const Reader& r, const json& j, const std::string& path) {
    r.Keys(j, path, {"totalLengthSequence", "configurationSequence", "shortDescriptors", "stallDescriptors",
                     "stallRequests", "malformedConfiguration"});
    Quirks q;
    if (j.contains("totalLengthSequence")) {
        const json& a = j["totalLengthSequence"];
        const std::string p = path + ".totalLengthSequence";
        if (!a.is_array() || a.empty()) r.Fail(p, "expected a non-empty array of lengths");
        for (size_t i = 0; i < a.size(); ++i) {
            const ULONG n = r.Number(a[i], p + "[" + std::to_string(i) + "]", 0xFFFF);
            q.totalLengthSequence.push_back(static_cast<USHORT>(n));
        }
    }
    if (j.contains("configurationSequence")) {
        const json& a = j["configurationSequence"];
        const std::string p = path + ".configurationSequence";
        if (!a.is_array() || a.empty()) r.Fail(p, "expected a non-empty array of hex blobs");
        for (size_t i = 0; i < a.size(); ++i) {
            q.configurationSequence.push_back(r.Hex(a[i], p + "[" + std::to_string(i) + "]"));
        }
    }
    if (j.contains("shortDescriptors")) {
        q.shortDescriptors = ParseDescriptorQuirks(r, j["shortDescriptors"], path + ".shortDescriptors", true);
    }
    if (j.contains("stallDescriptors")) {
        q.stallDescriptors = ParseDescriptorQuirks(r, j["stallDescriptors"], path + ".stallDescriptors", false);
    }
    if (j.contains("stallRequests")) {
        const json& a = j["stallRequests"];
        const std::string p = path + ".stallRequests";
        if (!a.is_array()) r.Fail(p, "expected an array");
        for (size_t i = 0; i < a.size(); ++i) {
            const std::string s = r.Text(a[i], p + "[" + std::to_string(i) + "]");
            if (s == "setConfiguration") {
                q.stallSetConfiguration = true;
            } else if (s == "setInterface") {
                q.stallSetInterface = true;
            } else if (s == "clearFeature") {
                q.stallClearFeature = true;
            } else {
                r.Fail(p + "[" + std::to_string(i) + "]",
                       "unknown request \"" + s + "\" (known: setConfiguration, setInterface, clearFeature)");
            }
        }
    }
    if (j.contains("malformedConfiguration")) {
        q.malformedConfiguration = r.Bool(j["malformedConfiguration"], path + ".malformedConfiguration");
    }
    return q;
}

}  // namespace

DeviceDescription Device::ParseJson(const std::string& text, const std::string& source) {
    const Reader r(source);
    json j;
    try {
        j = json::parse(text, nullptr, true, /*ignore_comments=*/true);
    } catch (const json::parse_error& e) {
        r.Fail("", std::string("not valid JSON (") + e.what() + ")");
    }
    if (!j.is_object()) r.Fail("", "the description must be a JSON object");
    try {
        DeviceDescription d;
        r.Keys(j, "", {"name", "device", "configuration", "speed", "strings", "languages", "port", "endpoints",
                       "vendorRequests", "quirks"});
        if (j.contains("name")) d.name = r.Text(j["name"], "name");
        if (!j.contains("device")) r.Fail("", "\"device\" (the device descriptor) is missing");
        if (!j.contains("configuration")) r.Fail("", "\"configuration\" (the configuration descriptor set) is missing");
        d.device = r.Hex(j["device"], "device");
        d.configuration = r.Hex(j["configuration"], "configuration");
        if (j.contains("strings")) {
            const json& s = j["strings"];
            if (!s.is_object()) r.Fail("strings", "expected an object of index: text");
            for (const auto& item : s.items()) {
                const std::string p = "strings." + item.key();
                const UCHAR index = r.Byte(item.key(), p);
                if (item.value().is_object()) {
                    r.Keys(item.value(), p, {"raw"});
                    if (!item.value().contains("raw")) r.Fail(p, "\"raw\" is missing");
                    d.strings[index] = r.Hex(item.value()["raw"], p + ".raw");
                } else {
                    try {
                        d.strings[index] = StringDescriptor(r.Text(item.value(), p));
                    } catch (const DeviceFormatError& e) {
                        r.Fail(p, e.what());
                    }
                }
            }
        }
        if (j.contains("languages")) {
            const json& a = j["languages"];
            if (!a.is_array()) r.Fail("languages", "expected an array of LANGIDs");
            for (size_t i = 0; i < a.size(); ++i) {
                const ULONG id = r.Number(a[i], "languages[" + std::to_string(i) + "]", 0xFFFF);
                d.languages.push_back(static_cast<USHORT>(id));
            }
        }
        if (j.contains("speed")) {
            const std::string speed = r.Text(j["speed"], "speed");
            if (speed != "full" && speed != "high") r.Fail("speed", "expected \"full\" or \"high\", found \"" + speed + "\"");
            d.highSpeed = speed == "high";
        }
        if (j.contains("port")) {
            r.Keys(j["port"], "port", {"connected", "enabled"});
            if (j["port"].contains("connected")) d.connected = r.Bool(j["port"]["connected"], "port.connected");
            if (j["port"].contains("enabled")) d.enabled = r.Bool(j["port"]["enabled"], "port.enabled");
        }
        if (j.contains("endpoints")) {
            const json& e = j["endpoints"];
            if (!e.is_object()) r.Fail("endpoints", "expected an object of address: behaviour");
            for (const auto& item : e.items()) {
                const std::string p = "endpoints." + item.key();
                d.endpoints[r.Byte(item.key(), p)] = ParseEndpoint(r, item.value(), p);
            }
        }
        if (j.contains("vendorRequests")) {
            const json& v = j["vendorRequests"];
            if (!v.is_object()) r.Fail("vendorRequests", "expected an object of bRequest: behaviour");
            for (const auto& item : v.items()) {
                const std::string p = "vendorRequests." + item.key();
                d.vendor[r.Byte(item.key(), p)] = ParseVendor(r, item.value(), p);
            }
        }
        if (j.contains("quirks")) d.quirks = ParseQuirks(r, j["quirks"], "quirks");
        return d;
    } catch (const json::exception& e) {
        r.Fail("", std::string("unexpected JSON content (") + e.what() + ")");
    }
}

std::shared_ptr<Device> Device::FromJson(const std::string& text, const std::string& source) {
    DeviceDescription desc = ParseJson(text, source);
    try {
        return std::make_shared<Device>(std::move(desc));
    } catch (const DeviceFormatError& e) {
        throw DeviceFormatError(source + ": " + e.what());
    }
}

std::shared_ptr<Device> Device::FromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DeviceFormatError(path + ": cannot be read (" + std::strerror(errno) + ")");
    std::ostringstream text;
    text << in.rdbuf();
    return FromJson(text.str(), path);
}

const char* Device::DefaultJson() { return kDefaultJson; }

std::shared_ptr<Device> Device::Default() { return FromJson(kDefaultJson, "built-in test firmware"); }

}  // namespace sim::usb
