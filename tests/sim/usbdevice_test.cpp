// The device model and its JSON descriptions, and what the USB stack does with descriptor,
// configuration and pipe requests: fields filled, both statuses, handles, cancellation.
#include "app/address_space.h"
#include "usb_fixture.h"

#include <gmock/gmock.h>

#include <fstream>
#include <sstream>

using namespace usbtest;
using ::testing::AllOf;
using ::testing::HasSubstr;

namespace {

TEST(UsbDeviceFile, DefaultFirmwareIsTheShippedFile) {
    std::ifstream file(kDevices.parent_path().parent_path().parent_path() / "sim" / "devices" / "default.json");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(Device::DefaultJson(), text.str());
    EXPECT_EQ(B("0c 03 41 00 e9 00 ac 20 3d d8 00 de"), StringDescriptor("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_THROW(StringDescriptor("\xC3"), DeviceFormatError);
}

TEST(UsbDeviceFile, BadDescriptionsGiveClearErrors) {
    const std::string dev = R"("device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01")";
    const std::string iface = "09 04 00 00 02 ff 00 00 00 ", out = "07 05 01 02 40 00 00 ", in = "07 05 81 02 40 00 00";
    const std::string cfg = R"("configuration": "09 02 20 00 01 01 00 80 32 )" + iface + out + in + "\"";
    auto set = [&](const std::string& hex) { return "{" + dev + R"(, "configuration": ")" + hex + "\"}"; };
    auto with = [&](const std::string& extra) { return "{" + dev + "," + cfg + extra + "}"; };
    const std::pair<std::string, const char*> cases[] = {
        {"{\"device\": ", "not valid JSON"},
        {"{" + cfg + "}", "\"device\" (the device descriptor) is missing"},
        {"{" + dev + "}", "\"configuration\" (the configuration descriptor set) is missing"},
        {R"({"device": "12 0g", "configuration": ""})", "device: 'g' at position 4 is not a hex digit"},
        {R"({"device": "12 01 00 02", )" + cfg + "}", "device: a device descriptor is 18 bytes"},
        {R"({"device": "12 01 00 02 ff 00 00 07 09 12 01 00 00 01 01 02 03 01", )" + cfg + "}", "bMaxPacketSize0 7"},
        {set("09 02 0a 00 00 01 00 80 32 00"), "configuration: descriptor at byte 9"},
        {set("09 02 22 00 01 01 00 80 32 " + iface + out + in), "wTotalLength 34 does not match the 32 bytes"},
        {set("09 02 19 00 01 01 00 80 32 " + iface + out), "bNumEndpoints 2 but 1 endpoint descriptors follow"},
        {set("09 02 19 00 01 01 00 80 32 09 04 00 00 01 ff 00 00 00 07 05 81 02 00 02 00"), "wMaxPacketSize 512"},
        {set("09 02 12 00 01 01 00 80 32 09 04 00 01 00 ff 00 00 00"), "interface 0 has no alternate setting 0"},
        {with(R"(, "colour": 1)"), "unknown key \"colour\""},
        {with(R"(, "endpoints": {"0x81": {"behaviour": "echo"}})"), "endpoints.0x81.behaviour: unknown behaviour"},
        {with(R"(, "endpoints": {"0x81": {"behaviour": "sink"}})"), "behaviour \"sink\" needs an OUT endpoint"},
        {with(R"(, "endpoints": {"0x85": {"behaviour": "source"}})"), "endpoints.0x85: no endpoint with this address"},
        {with(R"(, "vendorRequests": {"0x01": {"in": "maybe"}})"), "vendorRequests.0x01.in: expected \"echo\""},
        {with(R"(, "strings": {"1": ")" + std::string(130, 'x') + "\"}"), "strings.1: string"},
        {with(R"(, "port": {"connected": "yes"})"), "port.connected: expected true or false"},
    };
    auto error = [](const std::function<void()>& load) -> std::string {
        try {
            load();
        } catch (const DeviceFormatError& e) {
            return e.what();
        }
        return "loaded";
    };
    for (const auto& [text, message] : cases) {
        EXPECT_THAT(error([&] { Device::FromJson(text, "case.json"); }),
                    AllOf(HasSubstr("case.json: "), HasSubstr(message)));
    }
    EXPECT_THAT(error([] { Load("no_such_file.json"); }), HasSubstr("no_such_file.json: cannot be read"));
    // The same broken set loads when declared malformed, and is served byte for byte.
    std::string broken = set("09 02 19 00 01 01 00 80 32 " + iface + out);
    auto d = Device::FromJson(broken.insert(broken.size() - 1, R"(, "quirks": {"malformedConfiguration": true})"));
    EXPECT_EQ(d->Description().configuration, d->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255)).data);
}

TEST(UsbDeviceWire, DescriptorAndRequestQuirks) {
    auto rough = Load("short_and_stalls.json");
    const SetupPacket device = Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18);
    EXPECT_EQ(8u, rough->Control(device).data.size());  // only the first read is short
    EXPECT_EQ(18u, rough->Control(device).data.size());
    EXPECT_TRUE(rough->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0303, 0x409, 255)).stall);
    EXPECT_FALSE(rough->Control(Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x409, 255)).stall);
    EXPECT_FALSE(rough->Control(Req(0x00, USB_REQUEST_SET_CONFIGURATION, 1)).stall);
    EXPECT_TRUE(rough->Control(Req(0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x81)).stall);
    EXPECT_TRUE(rough->Halted(0x81));  // from the start
    auto growing = Load("growing_total.json");
    const SetupPacket config = Req(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255);
    EXPECT_EQ(32, ReadWord(&growing->Control(config).data[2]));
    EXPECT_EQ(growing->Description().configuration, growing->Control(config).data);
    EXPECT_EQ(76u, growing->Control(config).data.size());  // the last entry repeats
}

TEST_F(UsbStackTest, GetDescriptorDeliversWhatTheDeviceSends) {
    struct Case {
        UCHAR type, index;
        ULONG asked;
        USBD_STATUS usbd;
        ULONG delivered;
        const char* prefix;
    };
    const Case cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, USBD_STATUS_SUCCESS, 18, "12 01 00 02"},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, USBD_STATUS_SUCCESS, 18, "12 01"},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, USBD_STATUS_SUCCESS, 8, "12 01 00 02 ff 00 00 40"},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, USBD_STATUS_SUCCESS, 9, "09 02 4c 00"},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1024, USBD_STATUS_SUCCESS, 76, "09 02 4c 00"},
        {USB_STRING_DESCRIPTOR_TYPE, 0, 255, USBD_STATUS_SUCCESS, 4, "04 03 09 04"},
        {USB_STRING_DESCRIPTOR_TYPE, 2, 255, USBD_STATUS_SUCCESS, 24, "18 03 4b 00 57 00"},
        {USB_STRING_DESCRIPTOR_TYPE, 9, 255, USBD_STATUS_STALL_PID, 0, ""},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 9, USBD_STATUS_STALL_PID, 0, ""},
        {USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 10, USBD_STATUS_STALL_PID, 0, ""},  // full speed only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.index) + " asked " + std::to_string(c.asked));
        std::vector<UCHAR> buffer(1024, 0xEE);
        URB urb = DescriptorUrb(c.type, c.index, buffer.data(), c.asked, nullptr, 0x0409);
        sim::RequestResult r = Submit(&urb);
        EXPECT_EQ(c.usbd, urb.UrbHeader.Status);
        EXPECT_EQ(c.usbd == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, r.status);
        EXPECT_EQ(0u, r.information);
        EXPECT_EQ(c.delivered, urb.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_EQ(ToHex(B(c.prefix)), ToHex(buffer.data(), B(c.prefix).size()));
        EXPECT_EQ(0xEE, buffer[c.delivered]);  // nothing beyond what was delivered
    }
    UCHAR buffer[18];
    URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18);
    Async a(bus_->Pdo(), &urb);
    a.Wait();
    EXPECT_EQ(STATUS_PENDING, a.Returned());  // completed from the DPC thread
    EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
}

TEST_F(UsbStackTest, SelectConfigurationFillsHandlesAndSwitchesTheAlternateSetting) {
    auto r = Select(1);
    USBD_INTERFACE_INFORMATION& i = r->Interface();
    EXPECT_EQ(bus_->ConfigurationHandle(), r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    for (PVOID h : {bus_->ConfigurationHandle(), i.InterfaceHandle}) EXPECT_NE(SelectRequest::kUnset, h);
    EXPECT_NE(nullptr, i.InterfaceHandle);
    EXPECT_EQ(0xFF, i.Class);
    ASSERT_EQ(5u, i.NumberOfPipes);
    const std::tuple<UCHAR, USBD_PIPE_TYPE, USHORT, UCHAR> want[] = {  // address, type, packet size, interval
        {0x01, UsbdPipeTypeBulk, 64, 0},      {0x81, UsbdPipeTypeBulk, 64, 0},
        {0x82, UsbdPipeTypeInterrupt, 8, 10}, {0x03, UsbdPipeTypeIsochronous, 256, 1},
        {0x83, UsbdPipeTypeIsochronous, 256, 1}};
    for (size_t k = 0; k < 5; ++k) {
        const USBD_PIPE_INFORMATION& p = i.Pipes[k];
        EXPECT_EQ(want[k], std::make_tuple(p.EndpointAddress, p.PipeType, p.MaximumPacketSize, p.Interval)) << k;
        EXPECT_EQ(0x10000u, p.MaximumTransferSize);  // not written by the stack
        ASSERT_TRUE(bus_->Pipe(p.PipeHandle)) << k;
        EXPECT_TRUE(bus_->Pipe(p.PipeHandle)->live);
        EXPECT_EQ(p.EndpointAddress, bus_->Pipe(p.PipeHandle)->endpointAddress);
    }
    EXPECT_EQ(1, device_->Configuration());
    EXPECT_EQ(1, device_->AlternateSetting(0));
    EXPECT_EQ(2u, device_->ControlLog().size());  // SET_CONFIGURATION, SET_INTERFACE
    // USBD_PF_CHANGE_MAX_PACKET: the stack takes the driver's packet size.
    SelectRequest changed(device_->Description().configuration, {{0, 1}});
    changed.Interface().Pipes[1].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
    changed.Interface().Pipes[1].MaximumPacketSize = 32;
    ASSERT_EQ(STATUS_SUCCESS, Submit(changed.Urb()).status);
    EXPECT_EQ(32, changed.Interface().Pipes[1].MaximumPacketSize);
    EXPECT_EQ(32, bus_->Pipe(changed.Pipe(1))->maximumPacketSize);
    EXPECT_EQ(64, bus_->Pipe(changed.Pipe(0))->maximumPacketSize);
}

TEST_F(UsbStackTest, DeviceFilesLoadAndConfigure) {
    struct Shape {
        const char* file;
        size_t setBytes, interfaces;  // interface descriptors, alternate settings included
        std::vector<std::pair<UCHAR, UCHAR>> settings;
        ULONG pipes;
        UCHAR subClass, protocol;
    };
    const Shape shapes[] = {
        {"alt0_only.json", 32, 1, {{0, 0}}, 2, 0, 0},
        {"vendor_interface.json", 48, 2, {{0, 1}}, 3, 0x5A, 0x02},
        {"no_pipes.json", 18, 1, {{0, 0}}, 0, 0, 0},
        {"endpoints14.json", 125, 2, {{0, 1}}, 14, 0, 0},
        {"endpoints15.json", 132, 2, {{0, 1}}, 15, 0, 0},
        {"long_set.json", 271, 4, {{0, 2}, {1, 0}}, 14, 0, 0},
        {"long_one_interface.json", 279, 3, {{0, 2}}, 14, 0, 0},
        {"growing_total.json", 76, 2, {{0, 1}}, 5, 0, 0},
        {"short_and_stalls.json", 32, 1, {{0, 0}}, 2, 0, 0},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.file);
        auto d = Load(s.file);
        EXPECT_EQ(s.setBytes, d->Description().configuration.size());
        EXPECT_EQ(s.interfaces, d->Layout().interfaces.size());
        bus_->PlugIn(d);
        SelectRequest r(d->Description().configuration, s.settings);
        EXPECT_EQ(STATUS_SUCCESS, Submit(r.Urb()).status);
        EXPECT_EQ(s.pipes, r.Interface().NumberOfPipes);
        EXPECT_EQ(0xFF, r.Interface().Class);
        EXPECT_EQ(s.subClass, r.Interface().SubClass);
        EXPECT_EQ(s.protocol, r.Interface().Protocol);
        for (ULONG k = 0; k < s.pipes; ++k) EXPECT_TRUE(bus_->Pipe(r.Pipe(k))->live);
        EXPECT_EQ(s.settings[0].second, d->AlternateSetting(0));
    }
}

TEST_F(UsbStackTest, SelectConfigurationValidation) {
    struct Case {
        const char* what;
        std::function<void(SelectRequest&)> breakIt;
        USBD_STATUS usbd;
        NTSTATUS status;
    };
    using R = SelectRequest&;
    constexpr USHORT kPipe = sizeof(USBD_PIPE_INFORMATION);
    const USBD_STATUS badSet = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, badField = USBD_STATUS_INVALID_PARAMETER;
    const NTSTATUS invalid = STATUS_INVALID_PARAMETER, failed = STATUS_UNSUCCESSFUL;
    const Case cases[] = {
        {"header only", [](R r) { r.Urb()->UrbHeader.Length = sizeof(struct _URB_HEADER); }, badField, invalid},
        {"descriptor bLength 8", [](R r) { r.Set()[0] = 8; }, badSet, invalid},
        {"endpoint missing behind bNumEndpoints", [](R r) { r.Set()[36] = 6; }, badSet, failed},
        {"bNumInterfaces 2 for one record", [](R r) { r.Set()[4] = 2; }, badSet, failed},
        {"Hdr.Length cuts the record", [](R r) { r.Urb()->UrbHeader.Length -= 4; }, badField, invalid},
        {"NumberOfPipes differs from bNumEndpoints", [](R r) { r.Interface().NumberOfPipes = 4; }, badField, invalid},
        {"record short of a pipe", [](R r) { r.Interface().Length -= kPipe, r.Urb()->UrbHeader.Length -= kPipe; },
         USBD_STATUS_BUFFER_TOO_SMALL, failed},
        {"no setting 2", [](R r) { r.Interface().AlternateSetting = 2; }, USBD_STATUS_INTERFACE_NOT_FOUND, failed},
        {"flag 0x100", [](R r) { r.Interface().Pipes[2].PipeFlags = 256; }, USBD_STATUS_INAVLID_PIPE_FLAGS, failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SelectRequest r(device_->Description().configuration, {{0, 1}});
        c.breakIt(r);
        EXPECT_EQ(c.status, Submit(r.Urb()).status);
        EXPECT_EQ(c.usbd, r.Urb()->UrbHeader.Status);
        EXPECT_EQ(SelectRequest::kUnset, r.Urb()->UrbSelectConfiguration.ConfigurationHandle);
        EXPECT_EQ(SelectRequest::kUnset, r.Interface().InterfaceHandle);
    }
    EXPECT_TRUE(device_->ControlLog().empty());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    // A device that stalls SET_INTERFACE: the selection fails and the previous one is gone too.
    std::string text = Device::DefaultJson();
    bus_->PlugIn(Device::FromJson(text.insert(text.rfind('}'), R"(, "quirks": {"stallRequests": ["setInterface"]})")));
    device_ = bus_->PluggedDevice();
    auto zero = Select(0);  // needs no SET_INTERFACE
    SelectRequest r(device_->Description().configuration, {{0, 1}});
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Submit(r.Urb()).status);
    EXPECT_EQ(USBD_STATUS_SET_CONFIG_FAILED, r.Urb()->UrbHeader.Status);
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    EXPECT_FALSE(bus_->Pipe(zero->Pipe(0))->live);
}

// The NULL configuration cancels what is queued, completes after it, and voids every handle.
TEST_F(UsbStackTest, NullConfigurationCancelsAndUnconfigures) {
    bus_->SetAbortOrder(AbortOrder::TransfersFirst);  // the run's random order is not this test's subject
    auto r = Select(1);
    Bytes buffer(64);
    URB bulk = BulkUrb(r->Pipe(1), buffer.data(), 64), none = NullConfigurationUrb();
    bool transferFirst = false;
    {
        Async transfer(bus_->Pdo(), &bulk);  // nothing to read: it waits
        Async select(bus_->Pdo(), &none, [&] { transferFirst = transfer.Done(); });
        select.Wait();
        transfer.Wait();
        EXPECT_EQ(STATUS_SUCCESS, select.Status());
        EXPECT_EQ(USBD_STATUS_SUCCESS, select.Usbd());
        EXPECT_EQ(STATUS_CANCELLED, transfer.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, transfer.Usbd());
    }
    EXPECT_TRUE(transferFirst);
    EXPECT_EQ(0, device_->Configuration());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    for (size_t k = 0; k < 5; ++k) EXPECT_FALSE(bus_->Pipe(r->Pipe(k))->live);
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
        return value;
    };
    EXPECT_EQ(0, current());
    auto r = Select(1);
    EXPECT_EQ(1, current());
    EXPECT_EQ(STATUS_SUCCESS, Submit(NullConfigurationUrb()).status);
    EXPECT_EQ(0, current());
}

TEST_F(UsbStackTest, ResetPipeIsRefusedWhileTransfersArePending) {
    auto r = Select(1);
    Bytes buffer(64);
    URB bulk = BulkUrb(r->Pipe(1), buffer.data(), 64);
    Async transfer(bus_->Pdo(), &bulk);  // nothing to read: it waits
    bus_->SetPipeState(r->Pipe(1), false, 1);
    URB reset;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, r->Pipe(1), &reset).status);
    EXPECT_EQ(USBD_STATUS_ERROR_BUSY, reset.UrbHeader.Status);
    EXPECT_EQ(1, bus_->Pipe(r->Pipe(1))->toggle);
    EXPECT_FALSE(transfer.Done());
    EXPECT_TRUE(IoCancelIrp(transfer.Irp()));
    transfer.Wait();
    EXPECT_EQ(STATUS_SUCCESS, ResetPipe(r->Pipe(1)));
    EXPECT_EQ(0, bus_->Pipe(r->Pipe(1))->toggle);
}

TEST_F(UsbStackTest, ResetPipeVariants) {
    const std::tuple<USHORT, size_t, bool, bool> cases[] = {  // function, pipe, host reset, device cleared
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 1, true, true},
        {URB_FUNCTION_SYNC_RESET_PIPE, 1, true, false},
        {URB_FUNCTION_SYNC_CLEAR_STALL, 1, false, true},
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 4, true, false},  // isochronous: no device request
    };
    for (const auto& [function, pipe, hostReset, deviceCleared] : cases) {
        SCOPED_TRACE(UrbFunctionName(function) + " on pipe " + std::to_string(pipe));
        auto r = Select(1);
        const UCHAR address = r->Interface().Pipes[pipe].EndpointAddress;
        bus_->SetPipeState(r->Pipe(pipe), true, 1);
        if (pipe != 4) device_->Halt(address);
        device_->ClearControlLog();
        EXPECT_EQ(STATUS_SUCCESS, Submit(PipeUrb(function, r->Pipe(pipe))).dispatchReturned);
        EXPECT_EQ(!hostReset, bus_->Pipe(r->Pipe(pipe))->halted);
        EXPECT_EQ(hostReset ? 0 : 1, bus_->Pipe(r->Pipe(pipe))->toggle);
        EXPECT_EQ(deviceCleared ? 1u : 0u, device_->ControlLog().size());
        EXPECT_EQ(pipe != 4 && !deviceCleared, device_->Halted(address));
    }
}

// CLEAR_FEATURE(ENDPOINT_HALT) returns the device's toggle to DATA0 but not the host's: the
// next packet, DATA0, is taken by the host for a repeat and lost.
TEST_F(UsbStackTest, ClearFeatureToEndpointLeavesTheHostSideAlone) {
    auto r = Select(1);
    Write(r->Pipe(0), Counting(64, 0));
    Read(r->Pipe(1), 64);
    device_->Halt(0x81);
    URB urb = FeatureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0x81);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&urb).status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb.UrbHeader.Status);
    EXPECT_FALSE(device_->Halted(0x81));
    EXPECT_EQ(0, device_->Toggle(0x81));
    EXPECT_EQ(1, bus_->Pipe(r->Pipe(1))->toggle);
    Write(r->Pipe(0), Bytes(64, 1));
    Write(r->Pipe(0), Bytes(64, 2));
    EXPECT_EQ(Bytes(64, 2), Read(r->Pipe(1), 64).data);
    EXPECT_EQ(STATUS_SUCCESS, Submit(FeatureUrb(URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0x81)).status);
    EXPECT_TRUE(device_->Halted(0x81));
}

TEST_F(UsbStackTest, VoidAndForeignPipeHandles) {
    auto unconfigured = Select(1);
    EXPECT_EQ(STATUS_SUCCESS, Submit(NullConfigurationUrb()).status);
    auto old = Select(1);
    auto r = Select(1);
    int local = 0;
    const std::pair<const char*, USBD_PIPE_HANDLE> handles[] = {
        {"NULL", nullptr},
        {"a driver's own pointer", &local},
        {"a handle voided by the NULL configuration", unconfigured->Pipe(1)},
        {"a handle of an earlier selection", old->Pipe(1)},
        {"the configuration handle", r->Urb()->UrbSelectConfiguration.ConfigurationHandle},
        {"an interface handle", r->Interface().InterfaceHandle},
    };
    Bytes buffer(64);
    for (const auto& [what, handle] : handles) {
        SCOPED_TRACE(what);
        URB urb;
        for (USHORT f : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE, URB_FUNCTION_SYNC_CLEAR_STALL}) {
            EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeRequest(f, handle, &urb).status);
            EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
        }
        urb = BulkUrb(handle, buffer.data(), 64);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&urb).status);
        EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);
    }
}

// Rule breaks a driver can commit against the stack, and requests the model cannot answer yet.
TEST_F(UsbStackTest, RuleBreaksAndModelGapsAreBugChecks) {
    auto r = Select(1);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"UrbBufferOverrun",
         [&] {
             PVOID small = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554);
             Submit(DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, small, 18));
         }},
        {"MapUnpreparedMdl",
         [&] {
             UCHAR target[18];
             PMDL mdl = IoAllocateMdl(target, sizeof target, FALSE, FALSE, nullptr);  // never locked
             Submit(DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, nullptr, 18, mdl));
         }},
        {"UrbUserBuffer",
         [&] {
             sim::app::AddressSpace process;
             Submit(DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, reinterpret_cast<PVOID>(process.Allocate(18)), 18));
         }},
        {"UrbIrql", [&] { sim::RunAtIrql(DISPATCH_LEVEL, [&] { ResetPipe(r->Pipe(0)); }); }},
        {"UsbIoctlIrql", [&] { sim::RunAtIrql(DISPATCH_LEVEL, [&] { ResetPort(); }); }},
        {"ResetPortWithTransfersPending",
         [&] {
             Bytes b(64);
             URB rd = BulkUrb(r->Pipe(1), b.data(), 64);
             Async waiting(bus_->Pdo(), &rd);
             ResetPort();
         }},
        {"UsbModelGap", [&] { Submit(PipeUrb(URB_FUNCTION_SELECT_INTERFACE, nullptr)); }},
    };
    for (const auto& [rule, breakIt] : cases) {
        SCOPED_TRACE(rule);
        EXPECT_DEATH(breakIt(), std::string("BUGCHECK .* ") + rule);
    }
}

}  // namespace
