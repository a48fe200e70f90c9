// The high-speed port: the packet sizes a description may declare at each speed, the
// per-interval payload the stack reports for a pipe, the longest control transfer on the
// default pipe at each speed, the USBDI bus interface that tells a driver the speed, and the
// direction of an isochronous transfer.
#include "usb_fixture.h"

#include <initguid.h>
#include <usbbusif.h>

using namespace usbtest;

namespace {

class UsbSpeedTest : public UsbStackTest {
protected:
    // A description whose interface 0 has the one endpoint `ep` (7 bytes of hex).
    static std::string OneEndpoint(bool high, const char* ep) {
        return std::string(R"({"speed": ")") + (high ? "high" : "full") +
               R"(", "device": "12 01 00 02 ff 00 00 40 09 12 02 00 00 01 00 00 00 01",
                  "configuration": ["09 02 19 00 01 01 00 80 32", "09 04 00 00 01 ff 00 00 00", ")" + ep + R"("]})";
    }
    // An isochronous URB of `packets` packets of `size` bytes over `buffer` (or over `mdl`).
    static std::vector<uint64_t> IsoUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG packets, ULONG size,
                                        PVOID buffer, PMDL mdl = nullptr) {
        std::vector<uint64_t> storage(GET_ISO_URB_SIZE(packets) / sizeof(uint64_t) + 1, 0);
        auto& r = reinterpret_cast<PURB>(storage.data())->UrbIsochronousTransfer;
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
        r.PipeHandle = pipe;
        r.TransferFlags = flags | USBD_START_ISO_TRANSFER_ASAP;
        r.TransferBuffer = mdl == nullptr ? buffer : nullptr;
        r.TransferBufferMDL = mdl;
        r.TransferBufferLength = packets * size;
        r.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) r.IsoPacket[i].Offset = i * size;
        return storage;
    }
    sim::RequestResult QueryInterface(const GUID* type, USHORT version, USB_BUS_INTERFACE_USBDI_V1* bus,
                                      USHORT size = sizeof(USB_BUS_INTERFACE_USBDI_V1)) {
        return sim::SendToStack(bus_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [=](PIO_STACK_LOCATION s) {
            s->Parameters.QueryInterface.InterfaceType = type;
            s->Parameters.QueryInterface.Size = size;
            s->Parameters.QueryInterface.Version = version;
            s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
        });
    }
};

// wMaxPacketSize as each speed allows it, and the packet size the stack then reports for the pipe
// (at high speed the whole payload of a bus interval, additional transactions included).
TEST_F(UsbSpeedTest, PacketSizesPerSpeed) {
    struct Case { bool high; const char* ep; USHORT reported; } cases[] = {
        {false, "07 05 81 02 40 00 00", 64},     {false, "07 05 81 02 00 02 00", 0},   // bulk 512
        {false, "07 05 81 01 ff 03 01", 1023},   {false, "07 05 81 01 00 04 01", 0},   // iso 1024
        {false, "07 05 81 03 00 08 01", 0},                                            // a multiplier
        {true, "07 05 81 02 00 02 00", 512},     {true, "07 05 81 02 40 00 00", 0},    // bulk 64
        {true, "07 05 81 01 00 14 01", 3072},    {true, "07 05 81 01 00 0c 01", 2048}, // high bandwidth
        {true, "07 05 81 01 00 1c 01", 0},       {true, "07 05 81 01 01 04 01", 0},    // 3 extra; 1025
        {true, "07 05 81 03 00 0c 04", 2048},    {true, "07 05 81 03 08 00 11", 0},    // bInterval 17
        {true, "07 05 81 02 00 0a 00", 0},       {true, "07 05 81 01 00 24 01", 0},    // bulk extra; bit 13
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.high ? "high speed: " : "full speed: ") + c.ep);
        std::shared_ptr<Device> d;
        try {
            d = Device::FromJson(OneEndpoint(c.high, c.ep));
        } catch (const DeviceFormatError&) {
            EXPECT_EQ(0, c.reported);
            continue;
        }
        ASSERT_NE(0, c.reported);
        bus_->PlugIn(d);
        device_ = d;
        EXPECT_EQ(c.high, bus_->HighSpeed());
        auto r = Select(0);
        EXPECT_EQ(c.reported, r->Urb()->UrbSelectConfiguration.Interface.Pipes[0].MaximumPacketSize);
    }
    EXPECT_THROW(Device::FromJson(R"({"speed": "high", "device": "12 01 00 02 ff 00 00 08 09 12 02 00 00 01 00 00 00 01",
        "configuration": "09 02 09 00 00 01 00 80 32"})"), DeviceFormatError);  // bMaxPacketSize0 8
}

// The default pipe carries 4 KiB at full speed and 64 KiB at high speed: a 41 KiB configuration
// set comes whole in one request on a high-speed port, and a request above the limit is refused
// before the device sees it.
TEST_F(UsbSpeedTest, ControlTransferLengthPerSpeed) {
    struct Case { bool high; ULONG length; NTSTATUS status; } cases[] = {
        {false, 4096, STATUS_SUCCESS}, {false, 4097, STATUS_INVALID_PARAMETER},
        {true, 0xFFFF, STATUS_SUCCESS}, {true, 0x10000, STATUS_INVALID_PARAMETER},
    };
    const std::shared_ptr<Device> large = Load("large_set.json");
    const Bytes& set = large->Description().configuration;
    ASSERT_GT(set.size(), 40u * 1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.high ? " at high speed" : " at full speed"));
        bus_->PlugIn(large);
        bus_->SetHighSpeed(c.high);
        large->ClearControlLog();
        Bytes got(c.length, 0xEE);
        URB u = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, got.data(), c.length);
        EXPECT_EQ(c.status, Submit(&u).status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, u.UrbHeader.Status);
            EXPECT_TRUE(large->ControlLog().empty());
            continue;
        }
        const size_t expected = std::min<size_t>(c.length, set.size());
        ASSERT_EQ(expected, u.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_TRUE(std::equal(set.begin(), set.begin() + expected, got.begin()));
    }
}

// IRP_MN_QUERY_INTERFACE for the USBDI bus interface: version 1 says the device's speed and goes
// out referenced; other interfaces are left alone; later versions and short records
// are refused; a dereference too many is a bug check.
TEST_F(UsbSpeedTest, BusInterfaceTellsTheSpeed) {
    static const GUID kOther = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    for (const char* file : {"hs_mass_storage.json", "mass_storage.json"}) {
        SCOPED_TRACE(file);
        bus_->PlugIn(Load(file));
        USB_BUS_INTERFACE_USBDI_V1 bus{};
        ASSERT_EQ(STATUS_SUCCESS, QueryInterface(&USB_BUS_INTERFACE_USBDI_GUID, USB_BUSIF_USBDI_VERSION_1, &bus).status);
        EXPECT_EQ(1, bus_->InterfaceReferences());
        ASSERT_NE(nullptr, bus.IsDeviceHighSpeed);
        EXPECT_EQ(std::string(file) == "hs_mass_storage.json", bus.IsDeviceHighSpeed(bus.BusContext) != FALSE);
        bus.InterfaceDereference(bus.BusContext);
        EXPECT_EQ(0, bus_->InterfaceReferences());
    }
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    QueryInterface(&kOther, 1, &bus);  // not this bus driver's: the record stays as it was
    EXPECT_EQ(nullptr, bus.BusContext);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryInterface(&USB_BUS_INTERFACE_USBDI_GUID, 2, &bus).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              QueryInterface(&USB_BUS_INTERFACE_USBDI_GUID, 1, &bus, sizeof(USB_BUS_INTERFACE_USBDI_V0)).status);
    EXPECT_EQ(0, bus_->InterfaceReferences());
    EXPECT_DEATH(
        {
            QueryInterface(&USB_BUS_INTERFACE_USBDI_GUID, 1, &bus);
            bus.InterfaceDereference(bus.BusContext);
            bus.InterfaceDereference(bus.BusContext);
        },
        "BUGCHECK .* BusInterfaceOverRelease");
}

// An isochronous transfer moves data the endpoint's way whatever USBD_TRANSFER_DIRECTION_IN says;
// an IN transfer into pages locked for read access only is a bug check.
TEST_F(UsbSpeedTest, IsochronousDirectionComesFromTheEndpoint) {
    auto r = Select(1);  // isochronous OUT 0x03 and IN 0x83 of 256 bytes, looped back
    Bytes sent = Counting(512, 9), got(512, 0xEE);
    auto out = IsoUrb(r->Pipe(3), kIn, 2, 256, sent.data());  // an OUT pipe with the IN flag
    {
        Async a(bus_->Pdo(), reinterpret_cast<PURB>(out.data()));
        bus_->AdvanceFrames(3);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    EXPECT_EQ(512u, device_->FifoBytes(0x83));
    auto in = IsoUrb(r->Pipe(4), kOut, 2, 256, got.data());  // an IN pipe with the OUT flag
    {
        Async a(bus_->Pdo(), reinterpret_cast<PURB>(in.data()));
        bus_->AdvanceFrames(3);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    EXPECT_EQ(sent, got);
    EXPECT_DEATH(
        {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, 512, 0x74736554);
            PMDL mdl = IoAllocateMdl(buffer, 512, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
            auto u = IsoUrb(r->Pipe(4), kOut, 2, 256, nullptr, mdl);
            Submit(reinterpret_cast<PURB>(u.data()));
        },
        "BUGCHECK .* InTransferIntoReadOnlyMdl");
}

}  // namespace
