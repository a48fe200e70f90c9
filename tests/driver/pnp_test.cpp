// Plug and Play through the PnP manager's own sequences, on the built-in test firmware: start,
// a start the bus failed, rebalance, orderly removal, and a fault sweep over start and removal.
#include "driver_fixture.h"

#include "sim/test_stack.h"

using namespace drivertest;

namespace {

class PnpTest : public DriverTest {
protected:
    std::u16string PipeName(int i) const { return std::u16string(ext()->PipeTable[i].Name); }
    void ExpectConfigured(int pipes) {
        ASSERT_NE(nullptr, ext()->InterfaceInfo);
        EXPECT_NE(nullptr, ext()->ConfigurationHandle);
        ASSERT_NE(nullptr, ext()->DeviceDescriptor);
        EXPECT_EQ(18, ext()->DeviceDescriptor->bLength);
        for (int i = 0; i < 14; ++i) {
            SCOPED_TRACE(i);
            std::u16string expected = i < pipes ? u"\\KWDrv" + std::u16string(1, static_cast<char16_t>(u'0' + i))
                                                : u"\\KWDrvX";
            EXPECT_EQ(expected, PipeName(i));
            EXPECT_EQ(i < pipes, ext()->PipeTable[i].PipeInfo != nullptr);
        }
    }
    size_t UrbsSent() {
        size_t n = 0;
        for (const auto& t : bus().Trace()) n += t.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB;
        return n;
    }
};

TEST_F(PnpTest, StartConfiguresAlternateSettingOne) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    sim::pnp::StartResult r = sim::pnp::Start(bus().Pdo());
    EXPECT_EQ(STATUS_SUCCESS, r.start.status);
    EXPECT_FALSE(r.removed);
    ExpectConfigured(5);
    EXPECT_EQ(1, ext()->InterfaceInfo->AlternateSetting);
    EXPECT_EQ(1, ext()->OutstandingIo);
}

// A start the lower stack failed completes with that failure and configures nothing; the PnP
// manager then removes the device. The failure may come back inline or pended.
TEST_F(PnpTest, StartFailedBelowConfiguresNothing) {
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend);
        simtest::Layer filter("lowerfilter");
        ASSERT_EQ(bus().Pdo(), IoAttachDeviceToDeviceStack(filter.device(), bus().Pdo()));
        filter.device()->Flags &= ~DO_DEVICE_INITIALIZING;
        PDEVICE_OBJECT busPdo = bus().Pdo();
        filter.handler = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            // The major function too: the driver's own URBs have minor function 0 as well.
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            if (s->MajorFunction != IRP_MJ_PNP || s->MinorFunction != IRP_MN_START_DEVICE) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(busPdo, irp);
            }
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            if (!pend) {
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            IoMarkIrpPending(irp);
            sim::QueueDpc([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
            return STATUS_PENDING;
        };
        ASSERT_EQ(STATUS_SUCCESS, Add());
        bus().ClearTrace();
        PDEVICE_OBJECT fdoBefore = fdo();
        sim::pnp::StartResult r = sim::pnp::Start(bus().Pdo());
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.start.status);
        EXPECT_TRUE(r.removed);
        EXPECT_EQ(STATUS_SUCCESS, r.remove.status);
        EXPECT_EQ(0u, UrbsSent());
        EXPECT_FALSE(sim::DeviceExists(fdoBefore));
        sim::FlushDpcs();
        IoDetachDevice(bus().Pdo());
    }
}

// Rebalance: stop deconfigures (the null configuration goes down) and a new start reads and
// selects everything again; the cycle leaves nothing behind after removal.
TEST_F(PnpTest, RebalanceCyclesReconfigure) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        PUSB_DEVICE_DESCRIPTOR before = ext()->DeviceDescriptor;
        bus().ClearTrace();
        sim::pnp::RebalanceResult r = sim::pnp::Rebalance(bus().Pdo());
        EXPECT_EQ(STATUS_SUCCESS, r.queryStop.status);
        ASSERT_TRUE(r.stopped);
        EXPECT_EQ(STATUS_SUCCESS, r.stop.status);
        EXPECT_EQ(STATUS_SUCCESS, r.restart.start.status);
        EXPECT_NE(before, ext()->DeviceDescriptor);
        ExpectConfigured(5);
        size_t selects = 0;
        for (const auto& t : bus().Trace()) {
            selects += t.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && t.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION;
        }
        EXPECT_EQ(3u, selects) << "null configuration at stop, then alternate setting 0 and 1 at start";
    }
}

TEST_F(PnpTest, OrderlyRemovalOfAStartedDevice) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    std::u16string link = ext()->InterfaceLinkName;
    PDEVICE_OBJECT device = fdo();
    sim::pnp::OrderlyRemovalResult r = sim::pnp::OrderlyRemove(bus().Pdo());
    EXPECT_EQ(STATUS_SUCCESS, r.queryRemove.status);
    ASSERT_TRUE(r.removed);
    EXPECT_FALSE(sim::DeviceExists(device));
    EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(link));
}

// A malformed configuration set fails the start with a clear status; the device is removed
// and nothing leaks.
TEST_F(PnpTest, MalformedConfigurationFailsTheStart) {
    auto firmware = sim::usb::Device::Default()->Description();
    firmware.configuration[9 + 9 + 7 + 7 + 4] = 6;  // alternate setting 1 claims one endpoint too many
    firmware.quirks.malformedConfiguration = true;
    bus().PlugIn(std::make_shared<sim::usb::Device>(firmware));
    ASSERT_EQ(STATUS_SUCCESS, Add());
    sim::pnp::StartResult r = sim::pnp::Start(bus().Pdo());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, r.start.status);
    EXPECT_TRUE(r.removed);
}

// Each injectable call of the start failed in turn: the start reports a failure (and the PnP
// manager removes the device) or does without what failed, and the verifier finds nothing left
// behind either way.
TEST_F(PnpTest, StartAndRemovalFaultSweep) {
    sim::faults::Clear();
    ASSERT_EQ(STATUS_SUCCESS, Add());
    uint64_t addCalls = sim::faults::CallCount();
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    uint64_t total = sim::faults::CallCount();
    Remove();
    ASSERT_GT(total, addCalls);
    for (uint64_t n = addCalls + 1; n <= total; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(STATUS_SUCCESS, Add());
        sim::faults::Clear();
        sim::faults::FailOrdinal(n - addCalls);
        sim::pnp::StartResult r = sim::pnp::Start(bus().Pdo());
        // A start either fails (and the device is removed) or, when what failed was only the
        // read-back it can do without, leaves the device completely configured.
        ASSERT_EQ(1u, sim::faults::InjectedCount());
        if (NT_SUCCESS(r.start.status)) {
            ExpectConfigured(5);
            Remove();
        }
        sim::faults::Clear();
        sim::FlushDpcs();
        EXPECT_EQ(0u, sim::LivePoolCount());
        EXPECT_EQ(0u, sim::LiveIrpCount());
    }
}

}  // namespace

namespace {

// The start sequence on every device description the model's tests use: which setting is
// chosen, how many pipes get names (never more than 14), and a clean removal.
TEST_F(PnpTest, StartOnEachTestDevice) {
    const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../sim/devices/";
    struct Case {
        const char* file;
        NTSTATUS status;
        int alternateSetting;
        int namedPipes;
    };
    const Case cases[] = {
        {"alt0_only.json", STATUS_SUCCESS, 0, 2},
        {"endpoints14.json", STATUS_SUCCESS, 1, 14},
        {"endpoints15.json", STATUS_SUCCESS, 1, 14},
        // The first read says 32 bytes, so the set the driver holds has only alternate setting 0.
        {"growing_total.json", STATUS_SUCCESS, 0, 2},
        {"long_one_interface.json", STATUS_SUCCESS, 1, 14},
        // Two interfaces: the driver selects interface 0 only, which the USB stack refuses.
        {"long_set.json", STATUS_UNSUCCESSFUL, 0, 0},
        {"no_pipes.json", STATUS_SUCCESS, 0, 0},
        {"short_and_stalls.json", STATUS_SUCCESS, 0, 2},
        {"vendor_interface.json", STATUS_SUCCESS, 1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        bus().PlugIn(sim::usb::Device::FromFile(dir + c.file));
        ASSERT_EQ(STATUS_SUCCESS, Add());
        sim::pnp::StartResult r = sim::pnp::Start(bus().Pdo());
        EXPECT_EQ(c.status, r.start.status);
        if (NT_SUCCESS(r.start.status)) {
            EXPECT_EQ(c.alternateSetting, ext()->InterfaceInfo->AlternateSetting);
            ExpectConfigured(c.namedPipes);
            if (std::string(c.file) == "short_and_stalls.json") {
                // Only 8 bytes came: the rest of the copy is zero, not uninitialised pool.
                EXPECT_EQ(0, reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)[17]);
            }
            Remove();
        }
        EXPECT_EQ(0u, sim::LivePoolCount());
    }
}

}  // namespace
