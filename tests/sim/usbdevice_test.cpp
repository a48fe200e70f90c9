// The device model (descriptors, default pipe, endpoints, JSON descriptions) and what the
// Windows USB stack does with each URB the model answers: fields filled, USBD status and
// NTSTATUS, handles, pipe maintenance, cancellation.
#include "app/address_space.h"
#include "usb_fixture.h"

#include <gmock/gmock.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

using namespace usbtest;
using ::testing::HasSubstr;

namespace {

const std::filesystem::path kDefaultFile =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "sim" / "devices" / "default.json";

// ---------------------------------------------------------------------------------------------
// JSON descriptions and descriptors
// ---------------------------------------------------------------------------------------------

TEST(UsbDeviceFile, HexTextIsPairsOfDigitsWithSpaceAnywhereBetween) {
    std::string e;
    EXPECT_EQ(B("12 01 00 02"), *ParseHex("1201\n0002", &e));
    EXPECT_EQ(Bytes{}, *ParseHex(" \n ", &e));
    for (const char* bad : {"1 201", "120", "12 0g"}) {
        EXPECT_FALSE(ParseHex(bad, &e)) << bad;
        EXPECT_FALSE(e.empty());
    }
    EXPECT_EQ("0a ff", ToHex(B("0AFF")));
}

TEST(UsbDeviceFile, StringDescriptorsAreUtf16) {
    EXPECT_EQ(B("0c 03 41 00 e9 00 ac 20 3d d8 00 de"), StringDescriptor("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_THROW(StringDescriptor(std::string(127, 'x')), DeviceFormatError);
    EXPECT_THROW(StringDescriptor("\xC3"), DeviceFormatError);
}

TEST(UsbDeviceFile, DefaultFirmwareIsTheTestDevice) {
    auto d = Device::Default();
    const Bytes& dd = d->Description().device;
    EXPECT_EQ(0x1209, ReadWord(&dd[8]));
    EXPECT_EQ(0x0001, ReadWord(&dd[10]));
    EXPECT_EQ(USB_DEVICE_CLASS_VENDOR_SPECIFIC, dd[4]);
    const ConfigLayout& c = d->Layout();
    ASSERT_EQ(2u, c.interfaces.size());
    const InterfaceInfo* alt1 = c.Find(0, 1);
    ASSERT_NE(nullptr, alt1);
    EXPECT_EQ(0xFF, alt1->cls);
    struct Want {
        UCHAR address, type;
        ULONG size;
        UCHAR interval;
    };
    const Want want[] = {{0x01, USB_ENDPOINT_TYPE_BULK, 64, 0},       {0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                         {0x82, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}, {0x03, USB_ENDPOINT_TYPE_ISOCHRONOUS, 256, 1},
                         {0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, 256, 1}};
    ASSERT_EQ(5u, alt1->endpoints.size());
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(want[i].address, alt1->endpoints[i].address);
        EXPECT_EQ(want[i].type, alt1->endpoints[i].Type());
        EXPECT_EQ(want[i].size, alt1->endpoints[i].PacketSize());
        EXPECT_EQ(want[i].interval, alt1->endpoints[i].interval);
    }
    EXPECT_EQ(2u, c.Find(0, 0)->endpoints.size());
    // The shipped file is the built-in firmware, word for word.
    std::ifstream file(kDefaultFile);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(Device::DefaultJson(), text.str());
    EXPECT_EQ(d->Description().configuration, Device::FromFile(kDefaultFile.string())->Description().configuration);
}

TEST(UsbDeviceFile, ShapesLoad) {
    struct Shape {
        const char* file;
        size_t setBytes;
        size_t interfaces;  // interface descriptors (alternate settings included)
        int alt1Endpoints;  // -1: no alternate setting 1 of interface 0
    };
    const Shape shapes[] = {
        {"alt0_only.json", 32, 1, -1},      {"vendor_interface.json", 48, 2, 3}, {"no_pipes.json", 18, 1, -1},
        {"endpoints14.json", 125, 2, 14},   {"endpoints15.json", 132, 2, 15},    {"long_set.json", 271, 4, 15},
        {"growing_total.json", 76, 2, 5},   {"short_and_stalls.json", 32, 1, -1},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.file);
        auto d = Load(s.file);
        EXPECT_EQ(s.setBytes, d->Description().configuration.size());
        EXPECT_EQ(s.interfaces, d->Layout().interfaces.size());
        const InterfaceInfo* alt1 = d->Layout().Find(0, 1);
        EXPECT_EQ(s.alt1Endpoints, alt1 == nullptr ? -1 : static_cast<int>(alt1->endpoints.size()));
    }
    auto v = Load("vendor_interface.json");
    EXPECT_EQ(0x5A, v->Layout().Find(0, 1)->subClass);
    EXPECT_EQ(0x02, v->Layout().Find(0, 1)->protocol);
}

TEST(UsbDeviceFile, BadDescriptionsGiveClearErrors) {
    const std::string dev = R"("device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01")";
    const std::string iface = "09 04 00 00 02 ff 00 00 00 ", out = "07 05 01 02 40 00 00 ", in = "07 05 81 02 40 00 00";
    const std::string good = "09 02 20 00 01 01 00 80 32 " + iface + out + in;
    const std::string cfg = R"("configuration": ")" + good + "\"";
    auto set = [&](const std::string& hex) { return "{" + dev + R"(, "configuration": ")" + hex + "\"}"; };
    auto with = [&](const std::string& extra) { return "{" + dev + "," + cfg + extra + "}"; };
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"{\"device\": ", "not valid JSON"},
        {"[1, 2]", "must be a JSON object"},
        {"{" + cfg + "}", "\"device\" (the device descriptor) is missing"},
        {"{" + dev + "}", "\"configuration\" (the configuration descriptor set) is missing"},
        {R"({"device": "12 01 0", "configuration": ""})", "device: an odd number of hex digits"},
        {R"({"device": 18, "configuration": ""})", "device: expected a hex string"},
        {R"({"device": "12 01 00 02", )" + cfg + "}", "device: a device descriptor is 18 bytes"},
        {R"({"device": "12 01 00 02 ff 00 00 07 09 12 01 00 00 01 01 02 03 01", )" + cfg + "}", "bMaxPacketSize0 7"},
        {set("09 02 0a 00 00 01 00 80 32 00"), "configuration: descriptor at byte 9"},
        {set("09 02 22 00 01 01 00 80 32 " + iface + out + in), "wTotalLength 34 does not match the 32 bytes"},
        {set("09 02 19 00 01 01 00 80 32 " + iface + out), "bNumEndpoints 2 but 1 endpoint descriptors follow"},
        {set("09 02 19 00 01 01 00 80 32 09 04 00 00 01 ff 00 00 00 07 05 81 02 00 02 00"), "wMaxPacketSize 512"},
        {set("09 02 12 00 01 01 00 80 32 09 04 00 01 00 ff 00 00 00"), "interface 0 has no alternate setting 0"},
        {with(R"(, "colour": 1)"), "unknown key \"colour\""},
        {with(R"(, "endpoints": {"0x81": {"behaviour": "echo"}})"),
         "endpoints.0x81.behaviour: unknown behaviour \"echo\""},
        {with(R"(, "endpoints": {"0x81": {"behaviour": "sink"}})"), "behaviour \"sink\" needs an OUT endpoint"},
        {with(R"(, "endpoints": {"0x01": {"behaviour": "source"}})"), "behaviour \"source\" needs an IN endpoint"},
        {with(R"(, "endpoints": {"0x85": {"behaviour": "source"}})"), "endpoints.0x85: no endpoint with this address"},
        {with(R"(, "endpoints": {"0x01": {"behaviour": "loopback", "to": "0x82"}})"), "loopback target 0x82"},
        {with(R"(, "endpoints": {"0x81": {}})"), "endpoints.0x81: \"behaviour\" is missing"},
        {with(R"(, "vendorRequests": {"0x01": {"in": "maybe"}})"), "vendorRequests.0x01.in: expected \"echo\""},
        {with(R"(, "vendorRequests": {"0x100": {"out": "accept"}})"), "vendorRequests.0x100: 256 is larger than 255"},
        {with(R"(, "strings": {"1": ")" + std::string(130, 'x') + "\"}"), "strings.1: string"},
        {with(R"(, "quirks": {"stallRequests": ["getStatus"]})"), "unknown request \"getStatus\""},
        {with(R"(, "quirks": {"shortDescriptors": [{"type": "device"}]})"), "\"bytes\" is missing"},
        {with(R"(, "port": {"connected": "yes"})"), "port.connected: expected true or false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            Device::FromJson(c.text, "case.json");
            ADD_FAILURE() << "loaded";
        } catch (const DeviceFormatError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.message));
            EXPECT_THAT(e.what(), HasSubstr("case.json: "));
        }
    }
    try {
        Device::FromFile((kDevices / "no_such_file.json").string());
        ADD_FAILURE() << "loaded";
    } catch (const DeviceFormatError& e) {
        EXPECT_THAT(e.what(), HasSubstr("no_such_file.json: cannot be read"));
    }
    // The same broken set loads when declared malformed, and is served byte for byte.
    std::string broken = set("09 02 19 00 01 01 00 80 32 " + iface + out);
    auto d = Device::FromJson(broken.insert(broken.size() - 1, R"(, "quirks": {"malformedConfiguration": true})"));
    ControlResult r = d->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255));
    EXPECT_EQ(d->Description().configuration, r.data);
}

// ---------------------------------------------------------------------------------------------
// The device on the wire
// ---------------------------------------------------------------------------------------------

TEST(UsbDeviceWire, StandardRequests) {
    auto d = Device::Default();
    struct Case {
        SetupPacket setup;
        bool stall;
        const char* data;  // expected data stage (device to host)
    };
    const Case before[] = {
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 64), false,
         "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01"},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 4), false, "09 02 4c 00"},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0201, 0, 9), true, ""},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255), false, "04 03 09 04"},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0303, 0x409, 255), false, "0a 03 30 00 30 00 30 00 31 00"},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0304, 0x409, 255), true, ""},
        {Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0600, 0, 10), true, ""},  // full speed only: no qualifier
        {Req(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1), false, "00"},
        {Req(0x81, USB_REQUEST_GET_INTERFACE, 0, 0, 1), true, ""},
        {Req(0x01, USB_REQUEST_SET_INTERFACE, 1, 0), true, ""},
        {Req(0x00, USB_REQUEST_SET_CONFIGURATION, 2), true, ""},
        {Req(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2), false, "00 00"},
        {Req(0x20, 0x01), true, ""},  // class requests are not supported
    };
    for (const Case& c : before) {
        SCOPED_TRACE(ToHex(reinterpret_cast<const UCHAR*>(&c.setup), 8));
        ControlResult r = d->Control(c.setup);
        EXPECT_EQ(c.stall, r.stall);
        EXPECT_EQ(B(c.data), r.data);
    }
    EXPECT_EQ(std::size(before), d->ControlLog().size());
    EXPECT_EQ(1u, d->DescriptorReads(USB_STRING_DESCRIPTOR_TYPE, 3));

    EXPECT_FALSE(d->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1)).stall);
    EXPECT_EQ(1, d->Configuration());
    EXPECT_EQ(0, d->AlternateSetting(0));
    EXPECT_FALSE(d->EndpointActive(0x82));
    EXPECT_FALSE(d->Control(Req(0x01, USB_REQUEST_SET_INTERFACE, 1, 0)).stall);
    EXPECT_EQ(1, d->AlternateSetting(0));
    EXPECT_TRUE(d->EndpointActive(0x82));
    EXPECT_EQ(B("01"), d->Control(Req(0x81, USB_REQUEST_GET_INTERFACE, 0, 0, 1)).data);
    EXPECT_TRUE(d->Control(Req(0x01, USB_REQUEST_SET_INTERFACE, 2, 0)).stall);
    EXPECT_EQ(B("01"), d->Control(Req(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1)).data);
    EXPECT_FALSE(d->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 0)).stall);
    EXPECT_EQ(0, d->Configuration());
    EXPECT_FALSE(d->AlternateSetting(0).has_value());
}

TEST(UsbDeviceWire, VendorRequestsOfTheTestFirmware) {
    auto d = Device::Default();
    struct Case {
        SetupPacket setup;
        const char* out;
        bool stall;
        const char* in;
    };
    const Case cases[] = {
        {Req(0x40, 0x00), "", false, ""},                         // command without data
        {Req(0x40, 0x00, 0, 0, 4), "de ad be ef", false, ""},     // data accepted and dropped
        {Req(0xC0, 0x00, 0, 0, 4), "", true, ""},                 // no device-to-host form
        {Req(0xC0, 0x01, 0, 0, 64), "", false, "00 01"},          // version word, short
        {Req(0xC0, 0x01, 0, 0, 1), "", false, "00"},              // cut to wLength
        {Req(0x40, 0x01, 0, 0, 2), "00 00", true, ""},
        {Req(0xC0, 0x0C, 0, 0, 1), "", false, "00"},              // status byte: ready
        {Req(0x40, 0x0C, 0x12, 5, 3), "07 08 09", false, ""},     // the host writes the block
        {Req(0xC0, 0x0C, 0, 0, 8), "", false, "07 08 09"},
        {Req(0x40, 0x02, 0, 0, 8), "01 02 03 04 05 06 07 08", false, ""},
        {Req(0xC0, 0x02, 0, 0, 8), "", false, "01 02 03 04 05 06 07 08"},  // echo
        {Req(0xC0, 0x05, 0, 0, 8), "", true, ""},                 // unknown request
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(reinterpret_cast<const UCHAR*>(&c.setup), 8));
        ControlResult r = d->Control(c.setup, B(c.out));
        EXPECT_EQ(c.stall, r.stall);
        EXPECT_EQ(B(c.in), r.data);
    }
    EXPECT_TRUE(d->Control(Req(0x40, 0x02, 0, 0, 65), Bytes(65, 1)).stall);  // beyond the 64-byte store
    std::vector<ControlRecord> log = d->ControlLog();
    ASSERT_EQ(std::size(cases) + 1, log.size());
    EXPECT_EQ(0x12, log[7].setup.wValue);
    EXPECT_EQ(5, log[7].setup.wIndex);
    EXPECT_EQ(B("07 08 09"), log[7].out);
    EXPECT_EQ(2u, log[3].inLength);
}

TEST(UsbDeviceWire, LoopbackTogglesAndFlowControl) {
    auto d = Device::Default();
    EXPECT_EQ(Handshake::NoResponse, d->Out(0x01, B("01"), 0).handshake);  // not configured
    d->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    EXPECT_EQ(Handshake::Nak, d->In(0x81, 64).handshake);
    OutResult o = d->Out(0x01, Bytes(64, 0xAA), 0);
    EXPECT_EQ(Handshake::Ack, o.handshake);
    EXPECT_TRUE(o.accepted);
    o = d->Out(0x01, Bytes(64, 0xAA), 0);  // the same packet again: ACKed, not taken twice
    EXPECT_EQ(Handshake::Ack, o.handshake);
    EXPECT_FALSE(o.accepted);
    EXPECT_TRUE(d->Out(0x01, B("01 02 03"), 1).accepted);
    EXPECT_EQ(67u, d->FifoBytes(0x81));
    InPacket p = d->In(0x81, 64);
    EXPECT_EQ(Bytes(64, 0xAA), p.data);
    EXPECT_EQ(0, p.toggle);
    p = d->In(0x81, 64);
    EXPECT_EQ(B("01 02 03"), p.data);  // a short packet
    EXPECT_EQ(1, p.toggle);
    EXPECT_EQ(0, d->Toggle(0x81));
    EXPECT_EQ(Handshake::NoResponse, d->In(0x82, 8).handshake);  // only in alternate setting 1
    EXPECT_EQ(Handshake::Stall, d->Out(0x01, Bytes(65, 0), 0).handshake);  // babble halts the endpoint
    EXPECT_TRUE(d->Halted(0x01));

    // A loopback FIFO that is full NAKs further OUT packets.
    std::string text = Device::DefaultJson();
    text.replace(text.find("\"to\": \"0x81\""), 12, "\"to\": \"0x81\", \"fifoLimit\": 100");
    auto small = Device::FromJson(text);
    small->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    EXPECT_TRUE(small->Out(0x01, Bytes(64, 1), 0).accepted);
    EXPECT_EQ(Handshake::Nak, small->Out(0x01, Bytes(64, 1), 1).handshake);
    EXPECT_EQ(64u, small->FifoBytes(0x81));
}

TEST(UsbDeviceWire, IsochronousAndInterruptEndpoints) {
    auto d = Device::Default();
    d->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    d->Control(Req(0x01, USB_REQUEST_SET_INTERFACE, 1, 0));
    // Isochronous: every token answered, a zero-length packet when there is nothing to send.
    InPacket p = d->In(0x83, 256);
    EXPECT_EQ(Handshake::Ack, p.handshake);
    EXPECT_TRUE(p.data.empty());
    EXPECT_TRUE(d->Out(0x03, Bytes(200, 7), 0).accepted);
    EXPECT_TRUE(d->Out(0x03, Bytes(200, 8), 0).accepted);  // no toggles on isochronous pipes
    EXPECT_EQ(256u, d->In(0x83, 256).data.size());
    EXPECT_EQ(144u, d->In(0x83, 256).data.size());
    EXPECT_TRUE(d->Control(Req(0x02, USB_REQUEST_SET_FEATURE, 0, 0x83)).stall);  // no halt for isochronous
    // Interrupt: a report every 10 frames, NAK in between.
    EXPECT_EQ(Handshake::Nak, d->In(0x82, 8).handshake);
    d->AdvanceFrames(25);
    EXPECT_EQ(25u, d->Frame());
    EXPECT_EQ(B("4b 57 00 01 00 00 00 00"), d->In(0x82, 8).data);
    EXPECT_EQ(Handshake::Ack, d->In(0x82, 8).handshake);
    EXPECT_EQ(Handshake::Nak, d->In(0x82, 8).handshake);
    d->QueueReport(0x82, B("01"));
    EXPECT_EQ(B("01"), d->In(0x82, 8).data);
    EXPECT_THROW(d->QueueReport(0x81, B("01")), std::logic_error);

    // A source with a pattern, a sink, queued reports (vendor_interface.json).
    auto v = Load("vendor_interface.json");
    v->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    v->Control(Req(0x01, USB_REQUEST_SET_INTERFACE, 1, 0));
    EXPECT_EQ(B("a5 5a a5"), v->In(0x86, 3).data);
    EXPECT_EQ(B("5a a5"), v->In(0x86, 2).data);
    EXPECT_EQ(32u, v->In(0x86, 512).data.size());  // never more than the packet size
    EXPECT_TRUE(v->Out(0x02, Bytes(32, 0), 0).accepted);
    EXPECT_EQ(32u, v->SinkBytes(0x02));
    EXPECT_EQ(B("01 02"), v->In(0x87, 16).data);
    EXPECT_EQ(Handshake::Nak, v->In(0x87, 16).handshake);
}

TEST(UsbDeviceWire, HaltAndClearFeature) {
    auto d = Device::Default();
    d->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    EXPECT_TRUE(d->Control(Req(0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x82)).stall);  // not in alternate setting 0
    d->Out(0x01, B("01"), 0);
    EXPECT_EQ(1, d->Toggle(0x01));
    EXPECT_FALSE(d->Control(Req(0x02, USB_REQUEST_SET_FEATURE, 0, 0x01)).stall);
    EXPECT_TRUE(d->Halted(0x01));
    EXPECT_EQ(Handshake::Stall, d->Out(0x01, B("01"), 1).handshake);
    EXPECT_EQ(B("01 00"), d->Control(Req(0x82, USB_REQUEST_GET_STATUS, 0, 0x01, 2)).data);
    // Clearing the halt also returns the toggle to DATA0.
    EXPECT_FALSE(d->Control(Req(0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x01)).stall);
    EXPECT_FALSE(d->Halted(0x01));
    EXPECT_EQ(0, d->Toggle(0x01));

    auto rough = Load("short_and_stalls.json");
    rough->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1));
    EXPECT_TRUE(rough->Halted(0x81));
    EXPECT_TRUE(rough->Control(Req(0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x81)).stall);
    EXPECT_TRUE(rough->Halted(0x81));
    EXPECT_EQ(B("01 00"), rough->Control(Req(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2)).data);  // self-powered
}

TEST(UsbDeviceWire, DescriptorQuirks) {
    auto rough = Load("short_and_stalls.json");
    const SetupPacket device = Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18);
    EXPECT_EQ(8u, rough->Control(device).data.size());
    EXPECT_EQ(18u, rough->Control(device).data.size());
    EXPECT_TRUE(rough->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0303, 0x409, 255)).stall);
    EXPECT_FALSE(rough->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x409, 255)).stall);

    auto growing = Load("growing_total.json");
    const SetupPacket config = Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255);
    Bytes first = growing->Control(config).data;
    EXPECT_EQ(32u, first.size());
    EXPECT_EQ(32, ReadWord(&first[2]));
    Bytes second = growing->Control(config).data;
    EXPECT_EQ(growing->Description().configuration, second);
    EXPECT_EQ(76u, growing->Control(config).data.size());  // the last entry repeats

    auto swapped = Device::FromJson(R"({"device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01",
        "configuration": "09 02 12 00 01 01 00 80 32 09 04 00 00 00 ff 00 00 00",
        "quirks": {"configurationSequence": ["09 02 12 00 01 07 00 80 32",
                                             "09 02 12 00 01 01 00 80 32 09 04 00 00 00 ff 00 00 00"]}})");
    EXPECT_EQ(B("09 02 12 00 01 07 00 80 32"), swapped->Control(config).data);
    EXPECT_EQ(swapped->Description().configuration, swapped->Control(config).data);
    EXPECT_TRUE(swapped->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 7)).stall);  // the device's own value is 1
}

// ---------------------------------------------------------------------------------------------
// The USB stack: URBs through the hub's PDO
// ---------------------------------------------------------------------------------------------


TEST_F(UsbStackTest, GetDescriptorDeliversWhatTheDeviceSends) {
    struct Case {
        UCHAR type, index;
        ULONG asked;
        USBD_STATUS usbd;
        NTSTATUS status;
        ULONG delivered;
        const char* prefix;
    };
    const Case cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 18, "12 01 00 02"},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 18, "12 01"},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 8, "12 01 00 02 ff 00 00 40"},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 9, "09 02 4c 00"},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1024, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 76, "09 02 4c 00"},
        {USB_STRING_DESCRIPTOR_TYPE, 2, 255, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 24, "18 03 4b 00 57 00"},
        {USB_STRING_DESCRIPTOR_TYPE, 9, 255, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0, ""},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 9, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0, ""},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.index) + " asked " + std::to_string(c.asked));
        std::vector<UCHAR> buffer(1024, 0xEE);
        URB urb = DescriptorUrb(c.type, c.index, c.asked ? buffer.data() : nullptr, c.asked, nullptr, 0x0409);
        sim::RequestResult r = Submit(&urb);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.usbd, urb.UrbHeader.Status);
        EXPECT_EQ(0u, r.information);
        EXPECT_EQ(c.delivered, urb.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_EQ(ToHex(B(c.prefix)), ToHex(buffer.data(), B(c.prefix).size()));
        EXPECT_EQ(0xEE, buffer[c.delivered]);  // nothing beyond what was delivered
    }
    // A descriptor request pends and completes from the DPC thread; inline when so configured.
    std::vector<UCHAR> buffer(18);
    URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer.data(), 18);
    {
        Async a(bus_->Pdo(), &urb);
        a.Wait();
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    }
    bus_->SetControlMode(AnswerMode::Inline);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).dispatchReturned);
}

TEST_F(UsbStackTest, GetDescriptorIntoAnMdl) {
    std::vector<UCHAR> target(64, 0);
    PMDL mdl = IoAllocateMdl(target.data(), 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    std::vector<UCHAR> ignored(64, 0);
    URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, ignored.data(), 64, mdl);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(18u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(device_->Description().device, Bytes(target.begin(), target.begin() + 18));
    EXPECT_EQ(Bytes(64, 0), ignored);
    // When the stack cannot map the MDL, the request fails for want of resources.
    sim::faults::FailKind(sim::FaultKind::MapMdl);
    PMDL unmapped = IoAllocateMdl(target.data(), 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(unmapped, KernelMode, IoWriteAccess);
    urb.UrbControlDescriptorRequest.TransferBufferMDL = unmapped;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Submit(&urb).status);
    EXPECT_EQ(USBD_STATUS_INSUFFICIENT_RESOURCES, urb.UrbHeader.Status);
    sim::faults::Clear();
    MmUnlockPages(unmapped);
    IoFreeMdl(unmapped);
    IoFreeMdl(mdl);
}

TEST_F(UsbStackTest, MalformedControlRequestsFailWithoutReachingTheDevice) {
    std::vector<UCHAR> buffer(8192);
    URB urb = ZeroUrb();
    const std::function<void(URB&)> breaks[] = {
        [](URB& u) { u.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 1; },
        [](URB& u) { u.UrbControlDescriptorRequest.TransferBufferLength = 4097; },
        [](URB& u) { u.UrbControlDescriptorRequest.TransferBuffer = nullptr; },
        [](URB& u) {
            u.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
            u.UrbControlGetConfigurationRequest.TransferBufferLength = 2;
        },
        [](URB& u) {
            u.UrbHeader.Length = sizeof(struct _URB_HEADER);
            u.UrbHeader.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
        },
    };
    for (const auto& breakIt : breaks) {
        urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer.data(), 18);
        breakIt(urb);
        sim::RequestResult r = Submit(&urb);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r.dispatchReturned);
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, urb.UrbHeader.Status);
    }
    EXPECT_TRUE(device_->ControlLog().empty());
}

TEST_F(UsbStackTest, DescriptorReadsFollowTheDeviceQuirks) {
    bus_->PlugIn(Load("growing_total.json"));
    std::vector<UCHAR> buffer(255, 0);
    URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer.data(), 9);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(32, ReadWord(&buffer[2]));
    urb.UrbControlDescriptorRequest.TransferBufferLength = 32;
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(32u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(76, ReadWord(&buffer[2]));  // more than the 32 bytes the caller now holds
}

TEST_F(UsbStackTest, PortStateDecidesWhetherTheDeviceAnswers) {
    struct Case {
        std::shared_ptr<Device> device;
        bool connected, enabled;
        ULONG portBits;
        USBD_STATUS usbd;
        NTSTATUS status;
    };
    const Case cases[] = {
        {Device::Default(), true, true, USBD_PORT_CONNECTED | USBD_PORT_ENABLED, USBD_STATUS_SUCCESS, STATUS_SUCCESS},
        {Device::Default(), true, false, USBD_PORT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL},
        {Device::Default(), false, true, 0, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
        {nullptr, false, false, 0, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const Case& c : cases) {
        if (c.device) c.device->SetPort(c.connected, c.enabled);
        bus_->PlugIn(c.device);
        ULONG bits = 0xFFFF;
        auto fill = [&bits](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
            s->Parameters.Others.Argument1 = &bits;
        };
        sim::RequestResult port = sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, fill);
        EXPECT_EQ(STATUS_SUCCESS, port.status);
        EXPECT_EQ(c.portBits, bits);
        std::vector<UCHAR> buffer(18);
        URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer.data(), 18);
        EXPECT_EQ(c.status, Submit(&urb).status);
        EXPECT_EQ(c.usbd, urb.UrbHeader.Status);
    }
}

TEST_F(UsbStackTest, SelectConfigurationFillsHandlesAndSwitchesTheAlternateSetting) {
    auto r = Select(1);
    USBD_INTERFACE_INFORMATION& i = r->Interface();
    EXPECT_NE(nullptr, r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_NE(SelectRequest::kUnset, r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_EQ(bus_->ConfigurationHandle(), r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_NE(SelectRequest::kUnset, i.InterfaceHandle);
    EXPECT_NE(nullptr, i.InterfaceHandle);
    EXPECT_EQ(0xFF, i.Class);
    EXPECT_EQ(5u, i.NumberOfPipes);
    struct Want {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT size;
        UCHAR interval;
    };
    const Want want[] = {{0x01, UsbdPipeTypeBulk, 64, 0},
                         {0x81, UsbdPipeTypeBulk, 64, 0},
                         {0x82, UsbdPipeTypeInterrupt, 8, 10},
                         {0x03, UsbdPipeTypeIsochronous, 256, 1},
                         {0x83, UsbdPipeTypeIsochronous, 256, 1}};
    std::set<USBD_PIPE_HANDLE> handles;
    for (size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        const USBD_PIPE_INFORMATION& p = i.Pipes[k];
        EXPECT_EQ(want[k].address, p.EndpointAddress);
        EXPECT_EQ(want[k].type, p.PipeType);
        EXPECT_EQ(want[k].size, p.MaximumPacketSize);
        EXPECT_EQ(want[k].interval, p.Interval);
        EXPECT_EQ(0x10000u, p.MaximumTransferSize);  // not written by the stack
        handles.insert(p.PipeHandle);
        std::optional<PipeState> st = bus_->Pipe(p.PipeHandle);
        ASSERT_TRUE(st);
        EXPECT_TRUE(st->live);
        EXPECT_EQ(want[k].address, st->endpointAddress);
    }
    EXPECT_EQ(5u, handles.size());
    EXPECT_EQ(0u, handles.count(nullptr));
    EXPECT_EQ(1, device_->Configuration());
    EXPECT_EQ(1, device_->AlternateSetting(0));
    std::vector<ControlRecord> log = device_->ControlLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(USB_REQUEST_SET_CONFIGURATION, log[0].setup.bRequest);
    EXPECT_EQ(1, log[0].setup.wValue);
    EXPECT_EQ(USB_REQUEST_SET_INTERFACE, log[1].setup.bRequest);
    EXPECT_EQ(1, log[1].setup.wValue);

    // Alternate setting 0 needs no SET_INTERFACE; the earlier handles are void.
    device_->ClearControlLog();
    auto again = Select(0);
    EXPECT_EQ(1u, device_->ControlLog().size());
    EXPECT_EQ(0, device_->AlternateSetting(0));
    EXPECT_FALSE(bus_->Pipe(r->Pipe(0))->live);
    EXPECT_NE(r->Pipe(0), again->Pipe(0));
}

TEST_F(UsbStackTest, SelectConfigurationOfOtherShapes) {
    struct Shape {
        const char* file;
        std::vector<std::pair<UCHAR, UCHAR>> settings;
        ULONG pipes;
        UCHAR cls, subClass, protocol;
    };
    const Shape shapes[] = {
        {"no_pipes.json", {{0, 0}}, 0, 0xFF, 0, 0},
        {"endpoints14.json", {{0, 1}}, 14, 0xFF, 0, 0},
        {"endpoints15.json", {{0, 1}}, 15, 0xFF, 0, 0},
        {"long_set.json", {{0, 2}, {1, 0}}, 14, 0xFF, 0, 0},
        {"vendor_interface.json", {{0, 1}}, 3, 0xFF, 0x5A, 0x02},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.file);
        auto d = Load(s.file);
        bus_->PlugIn(d);
        SelectRequest r(d->Description().configuration, s.settings);
        EXPECT_EQ(STATUS_SUCCESS, Submit(r.Urb()).status);
        EXPECT_EQ(s.pipes, r.Interface().NumberOfPipes);
        EXPECT_EQ(s.cls, r.Interface().Class);
        EXPECT_EQ(s.subClass, r.Interface().SubClass);
        EXPECT_EQ(s.protocol, r.Interface().Protocol);
        for (ULONG k = 0; k < s.pipes; ++k) EXPECT_TRUE(bus_->Pipe(r.Pipe(k))->live);
        EXPECT_EQ(s.settings[0].second, d->AlternateSetting(0));
    }
}

TEST_F(UsbStackTest, SelectConfigurationHonoursChangeMaxPacket) {
    SelectRequest r(device_->Description().configuration, {{0, 1}});
    r.Interface().Pipes[1].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
    r.Interface().Pipes[1].MaximumPacketSize = 32;
    r.Interface().Pipes[3].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
    r.Interface().Pipes[3].MaximumPacketSize = 1023;
    ASSERT_EQ(STATUS_SUCCESS, Submit(r.Urb()).status);
    EXPECT_EQ(32, r.Interface().Pipes[1].MaximumPacketSize);
    EXPECT_EQ(32, bus_->Pipe(r.Pipe(1))->maximumPacketSize);
    EXPECT_EQ(1023, bus_->Pipe(r.Pipe(3))->maximumPacketSize);
    EXPECT_EQ(64, r.Interface().Pipes[0].MaximumPacketSize);
}

TEST_F(UsbStackTest, SelectConfigurationValidation) {
    struct Case {
        const char* what;
        std::function<void(SelectRequest&)> breakIt;
        USBD_STATUS usbd;
        NTSTATUS status;
    };
    const size_t fixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const Case cases[] = {
        {"header only", [&](SelectRequest& r) { r.Urb()->UrbHeader.Length = static_cast<USHORT>(fixed - 1); },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"descriptor bLength 8", [](SelectRequest& r) { r.Set()[0] = 8; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER},
        {"not a configuration descriptor", [](SelectRequest& r) { r.Set()[1] = USB_INTERFACE_DESCRIPTOR_TYPE; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER},
        {"descriptor with bLength 0 in the set", [](SelectRequest& r) { r.Set()[18] = 0; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL},
        {"endpoint missing behind bNumEndpoints", [](SelectRequest& r) { r.Set()[4 + 9 + 23] = 6; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL},
        {"Hdr.Length cuts the record", [](SelectRequest& r) { r.Urb()->UrbHeader.Length -= 4; },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"record shorter than its header", [](SelectRequest& r) { r.Interface().Length = 8; },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"record too small for the endpoints",
         [](SelectRequest& r) {
             r.Interface().Length = GET_USBD_INTERFACE_SIZE(4);
             r.Urb()->UrbHeader.Length -= sizeof(USBD_PIPE_INFORMATION);
         },
         USBD_STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL},
        {"NumberOfPipes differs from bNumEndpoints", [](SelectRequest& r) { r.Interface().NumberOfPipes = 4; },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"no alternate setting 2", [](SelectRequest& r) { r.Interface().AlternateSetting = 2; },
         USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_UNSUCCESSFUL},
        {"no interface 1", [](SelectRequest& r) { r.Interface().InterfaceNumber = 1; },
         USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_UNSUCCESSFUL},
        {"more records than bNumInterfaces",
         [](SelectRequest& r) {
             auto* extra = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(r.Urb()) +
                                                                         r.Urb()->UrbHeader.Length);
             extra->Length = GET_USBD_INTERFACE_SIZE(0);
             r.Urb()->UrbHeader.Length += GET_USBD_INTERFACE_SIZE(0);
         },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL},
        {"bNumInterfaces 2 for one record", [](SelectRequest& r) { r.Set()[4] = 2; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL},
        {"unknown pipe flag", [](SelectRequest& r) { r.Interface().Pipes[2].PipeFlags = 0x100; },
         USBD_STATUS_INAVLID_PIPE_FLAGS, STATUS_UNSUCCESSFUL},
        {"changed packet size 0",
         [](SelectRequest& r) { r.Interface().Pipes[0].PipeFlags = USBD_PF_CHANGE_MAX_PACKET; },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"changed packet size beyond full speed",
         [](SelectRequest& r) {
             r.Interface().Pipes[0].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
             r.Interface().Pipes[0].MaximumPacketSize = 65;
         },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SelectRequest r(device_->Description().configuration, {{0, 1}});
        c.breakIt(r);
        sim::RequestResult res = Submit(r.Urb());
        EXPECT_EQ(c.status, res.status);
        EXPECT_EQ(c.usbd, r.Urb()->UrbHeader.Status);
        EXPECT_EQ(SelectRequest::kUnset, r.Urb()->UrbSelectConfiguration.ConfigurationHandle);
        EXPECT_EQ(SelectRequest::kUnset, r.Interface().InterfaceHandle);
    }
    EXPECT_TRUE(device_->ControlLog().empty());
    EXPECT_EQ(0, device_->Configuration());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
}

TEST_F(UsbStackTest, DeviceThatRefusesTheConfiguration) {
    std::string text = Device::DefaultJson();
    text.insert(text.rfind('}'), R"(, "quirks": {"stallRequests": ["setInterface"]})");
    bus_->PlugIn(Device::FromJson(text));
    device_ = bus_->PluggedDevice();
    auto zero = Select(0);  // needs no SET_INTERFACE
    SelectRequest r(device_->Description().configuration, {{0, 1}});
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Submit(r.Urb()).status);
    EXPECT_EQ(USBD_STATUS_SET_CONFIG_FAILED, r.Urb()->UrbHeader.Status);
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    EXPECT_FALSE(bus_->Pipe(zero->Pipe(0))->live);  // the previous configuration is gone too
}

TEST_F(UsbStackTest, NullConfigurationUnconfiguresCancelsAndVoidsHandles) {
    auto r = Select(1);
    HoldTransfers();
    std::vector<UCHAR> buffer(64);
    URB bulk = BulkUrb(r->Pipe(1), buffer.data(), 64);
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const char* what) {
        return [&, what] {
            std::lock_guard<std::mutex> g(m);
            order.push_back(what);
        };
    };
    {
        Async transfer(bus_->Pdo(), &bulk, note("transfer"));
        EXPECT_EQ(1u, bus_->Pipe(r->Pipe(1))->pending);
        URB none = ZeroUrb();
        UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
        Async select(bus_->Pdo(), &none, note("select"));
        select.Wait();
        transfer.Wait();
        EXPECT_EQ(STATUS_SUCCESS, select.Status());
        EXPECT_EQ(USBD_STATUS_SUCCESS, none.UrbHeader.Status);
        EXPECT_EQ(STATUS_CANCELLED, transfer.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, transfer.Usbd());
    }
    EXPECT_EQ((std::vector<std::string>{"transfer", "select"}), order);
    EXPECT_EQ(0, device_->Configuration());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    for (size_t k = 0; k < 5; ++k) EXPECT_FALSE(bus_->Pipe(r->Pipe(k))->live);
    bus_->SetScript({});
    URB urb;
    for (USHORT f : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
        sim::RequestResult res = PipeRequest(f, r->Pipe(0), &urb);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, res.status);
        EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
    }
    EXPECT_EQ(0u, bus_->HeldCount());
}

TEST_F(UsbStackTest, GetConfigurationBeforeAndAfterSelection) {
    auto current = [&] {
        UCHAR value = 0xEE;
        URB urb = ZeroUrb();
        urb.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
        urb.UrbControlGetConfigurationRequest.TransferBuffer = &value;
        urb.UrbControlGetConfigurationRequest.TransferBufferLength = 1;
        EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
        EXPECT_EQ(1u, urb.UrbControlGetConfigurationRequest.TransferBufferLength);
        return value;
    };
    EXPECT_EQ(0, current());
    auto r = Select(1);
    EXPECT_EQ(1, current());
    URB none = ZeroUrb();
    UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&none).status);
    EXPECT_EQ(0, current());
}

TEST_F(UsbStackTest, ResetPipeIsRefusedWhileTransfersArePending) {
    auto r = Select(1);
    HoldTransfers();
    std::vector<UCHAR> buffer(64);
    URB bulk = BulkUrb(r->Pipe(1), buffer.data(), 64);
    bus_->SetPipeState(r->Pipe(1), true, 1);
    device_->Halt(0x81);
    URB reset;
    {
        Async transfer(bus_->Pdo(), &bulk);
        sim::RequestResult res = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(1), &reset);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, res.status);
        EXPECT_EQ(USBD_STATUS_ERROR_BUSY, reset.UrbHeader.Status);
        EXPECT_TRUE(bus_->Pipe(r->Pipe(1))->halted);
        EXPECT_TRUE(device_->Halted(0x81));
        URB abort;
        EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, r->Pipe(1), &abort).status);
        transfer.Wait();
        EXPECT_EQ(STATUS_CANCELLED, transfer.Status());
    }
    // Idle now: the reset clears the host's halt and toggle and the device's halt.
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(1), &reset).status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, reset.UrbHeader.Status);
    EXPECT_FALSE(bus_->Pipe(r->Pipe(1))->halted);
    EXPECT_EQ(0, bus_->Pipe(r->Pipe(1))->toggle);
    EXPECT_FALSE(device_->Halted(0x81));
    const ControlRecord last = device_->ControlLog().back();
    EXPECT_EQ(USB_REQUEST_CLEAR_FEATURE, last.setup.bRequest);
    EXPECT_EQ(0x02, last.setup.bmRequestType);
    EXPECT_EQ(0x81, last.setup.wIndex);
}

TEST_F(UsbStackTest, ResetPipeVariants) {
    struct Case {
        USHORT function;
        size_t pipe;
        bool hostReset;
        bool deviceCleared;
    };
    const Case cases[] = {
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0, true, true},
        {URB_FUNCTION_SYNC_RESET_PIPE, 0, true, false},
        {URB_FUNCTION_SYNC_CLEAR_STALL, 0, false, true},
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 4, true, false},  // isochronous: no device request
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(UrbFunctionName(c.function) + " on pipe " + std::to_string(c.pipe));
        auto r = Select(1);
        const UCHAR address = r->Interface().Pipes[c.pipe].EndpointAddress;
        bus_->SetPipeState(r->Pipe(c.pipe), true, 1);
        if (c.pipe != 4) device_->Halt(address);
        device_->ClearControlLog();
        URB urb;
        EXPECT_EQ(STATUS_SUCCESS, PipeRequest(c.function, r->Pipe(c.pipe), &urb).dispatchReturned);
        EXPECT_EQ(!c.hostReset, bus_->Pipe(r->Pipe(c.pipe))->halted);
        EXPECT_EQ(c.hostReset ? 0 : 1, bus_->Pipe(r->Pipe(c.pipe))->toggle);
        EXPECT_EQ(c.deviceCleared ? 1u : 0u, device_->ControlLog().size());
        if (c.pipe != 4) {
            EXPECT_EQ(!c.deviceCleared, device_->Halted(address));
        }
    }
}

TEST_F(UsbStackTest, ResetPipeAbovePassiveLevelIsABugCheck) {
    auto r = Select(1);
    EXPECT_DEATH(sim::RunAtIrql(DISPATCH_LEVEL,
                                [&] {
                                    URB urb;
                                    PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(0), &urb);
                                }),
                 "BUGCHECK .* UrbIrql");
}

TEST_F(UsbStackTest, CancellingAHeldTransfer) {
    auto r = Select(1);
    std::vector<UCHAR> buffer(64);
    URB bulk = BulkUrb(r->Pipe(1), buffer.data(), 64);
    HoldTransfers(true);
    {
        Async t(bus_->Pdo(), &bulk);
        EXPECT_TRUE(IoCancelIrp(t.Irp()));
        t.Wait();
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
        EXPECT_EQ(0u, bus_->HeldCount());
    }
    HoldTransfers(false);  // a request the test keeps, whatever the driver does
    Async t(bus_->Pdo(), &bulk);
    EXPECT_FALSE(IoCancelIrp(t.Irp()));
    EXPECT_EQ(1u, bus_->HeldCount());
    Answer done;
    done.status = STATUS_SUCCESS;
    bus_->CompleteHeld(done);
    t.Wait();
    EXPECT_EQ(STATUS_SUCCESS, t.Status());
}

TEST_F(UsbStackTest, ClearFeatureToEndpointLeavesTheHostSideAlone) {
    auto r = Select(1);
    bus_->SetPipeState(r->Pipe(1), true, 1);
    device_->Out(0x01, B("01"), 0);
    device_->In(0x81, 64);  // one packet: the device's toggle for 0x81 is now DATA1
    EXPECT_EQ(1, device_->Toggle(0x81));
    device_->Halt(0x81);
    URB urb = ZeroUrb();
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);
    EXPECT_FALSE(device_->Halted(0x81));
    EXPECT_EQ(0, device_->Toggle(0x81));
    std::optional<PipeState> host = bus_->Pipe(r->Pipe(1));
    EXPECT_TRUE(host->halted);  // still needs RESET_PIPE
    EXPECT_EQ(1, host->toggle);  // the toggles now disagree
    // An endpoint the current setting does not have: the device stalls the request.
    auto zero = Select(0);
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x82, nullptr);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Submit(&urb).status);
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_TRUE(device_->Halted(0x81));
}

TEST_F(UsbStackTest, VoidAndForeignPipeHandles) {
    auto old = Select(1);
    auto r = Select(1);
    int local = 0;
    const std::pair<const char*, USBD_PIPE_HANDLE> handles[] = {
        {"NULL", nullptr},
        {"a driver's own pointer", &local},
        {"a handle of an earlier selection", old->Pipe(1)},
        {"the configuration handle", r->Urb()->UrbSelectConfiguration.ConfigurationHandle},
        {"an interface handle", r->Interface().InterfaceHandle},
    };
    std::vector<UCHAR> buffer(64);
    for (const auto& [what, handle] : handles) {
        SCOPED_TRACE(what);
        URB urb;
        for (USHORT f :
             {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, URB_FUNCTION_SYNC_CLEAR_STALL}) {
            EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeRequest(f, handle, &urb).status);
            EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
        }
        urb = BulkUrb(handle, buffer.data(), 64);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&urb).status);
        EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
    }
    // A transfer of the wrong kind for the pipe.
    URB iso = BulkUrb(r->Pipe(3), buffer.data(), 64);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&iso).status);
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, iso.UrbHeader.Status);
}

TEST_F(UsbStackTest, UnknownAndRetiredUrbFunctions) {
    const std::pair<USHORT, USBD_STATUS> cases[] = {
        {0x0016, USBD_STATUS_INVALID_URB_FUNCTION}, {0x001D, USBD_STATUS_INVALID_URB_FUNCTION},
        {0x002B, USBD_STATUS_INVALID_URB_FUNCTION}, {0x0032, USBD_STATUS_INVALID_URB_FUNCTION},
        {0xFFFF, USBD_STATUS_INVALID_URB_FUNCTION}, {URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL, USBD_STATUS_NOT_SUPPORTED},
        {URB_FUNCTION_SET_FRAME_LENGTH, USBD_STATUS_NOT_SUPPORTED},
    };
    for (const auto& [function, usbd] : cases) {
        SCOPED_TRACE(UrbFunctionName(function));
        URB urb = ZeroUrb();
        urb.UrbHeader.Function = function;
        urb.UrbHeader.Length = sizeof urb;
        sim::RequestResult r = Submit(&urb);
        EXPECT_EQ(usbd, urb.UrbHeader.Status);
        EXPECT_EQ(NtStatusFromUsbd(usbd), r.status);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, NtStatusFromUsbd(USBD_STATUS_INVALID_URB_FUNCTION));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, NtStatusFromUsbd(USBD_STATUS_NOT_SUPPORTED));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, NtStatusFromUsbd(USBD_STATUS_DEVICE_GONE));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, NtStatusFromUsbd(USBD_STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, NtStatusFromUsbd(USBD_STATUS_BAD_START_FRAME));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, NtStatusFromUsbd(USBD_STATUS_ENDPOINT_HALTED));
    EXPECT_EQ("USBD_STATUS_STALL_PID (0xC0000004)", UsbdStatusName(USBD_STATUS_STALL_PID));
    EXPECT_EQ("URB_FUNCTION_ABORT_PIPE (0x0002)", UrbFunctionName(URB_FUNCTION_ABORT_PIPE));
}

TEST_F(UsbStackTest, ScriptsOverrideAndTheTraceRecordsOutcomes) {
    bus_->SetScript([](PIRP, PIO_STACK_LOCATION s) -> std::optional<Answer> {
        auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        if (urb->UrbControlDescriptorRequest.DescriptorType != USB_STRING_DESCRIPTOR_TYPE) return std::nullopt;
        Answer a;
        a.status = STATUS_UNSUCCESSFUL;
        a.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
        return a;
    });
    std::vector<UCHAR> buffer(255);
    URB urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 1, buffer.data(), 255, nullptr, 0x409);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Submit(&urb).status);
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, urb.UrbHeader.Status);
    EXPECT_TRUE(device_->ControlLog().empty());  // the script answered; the device saw nothing
    urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);  // falls through to the device
    EXPECT_EQ(1u, device_->ControlLog().size());
    std::vector<TraceEntry> t = bus_->Trace();
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, t[0].urbFunction);
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, t[0].usbdStatus);
    EXPECT_EQ(STATUS_SUCCESS, t[1].status);
}

// Rule breaks a driver can commit against the stack, and requests the model cannot answer yet.
TEST_F(UsbStackTest, BufferAbuseAndModelGapsAreBugChecks) {
    auto r = Select(1);
    struct Case {
        const char* rule;
        std::function<void()> breakIt;
    };
    const Case cases[] = {
        {"UrbBufferOverrun",
         [&] {
             PVOID small = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554);
             URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, small, 18);
             Submit(&urb);
         }},
        {"UrbBufferOverrun",
         [&] {
             auto* copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 32, 0x74736554));
             std::memcpy(copy, device_->Description().configuration.data(), 32);  // wTotalLength says 76
             SelectRequest s(device_->Description().configuration, {{0, 0}});
             auto& select = s.Urb()->UrbSelectConfiguration;
             select.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy);
             Submit(s.Urb());
         }},
        {"MapUnpreparedMdl",
         [&] {
             UCHAR target[18];
             PMDL mdl = IoAllocateMdl(target, sizeof target, FALSE, FALSE, nullptr);  // never locked
             URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, nullptr, 18, mdl);
             Submit(&urb);
         }},
        {"UrbUserBuffer",
         [&] {
             sim::app::AddressSpace process;
             const uintptr_t user = process.Allocate(18);
             URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, reinterpret_cast<PVOID>(user), 18);
             Submit(&urb);
         }},
        {"UsbModelGap",
         [&] {
             URB urb = ZeroUrb();
             urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
             urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
             Submit(&urb);
         }},
        {"UsbModelGap",
         [&] {
             URB urb = ZeroUrb();
             urb.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
             urb.UrbHeader.Length = sizeof(struct _URB_SELECT_INTERFACE);
             Submit(&urb);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.breakIt(), std::string("BUGCHECK .* ") + c.rule);
    }
}

}  // namespace
