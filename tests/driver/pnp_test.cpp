// Plug and Play through the PnP manager's own sequences, on the built-in test firmware: start,
// a start the bus failed, rebalance, orderly removal, and a fault sweep over start and removal.
#include "driver_fixture.h"

#include "sim/test_stack.h"

#include "app/app.h"

using namespace drivertest;

namespace {

class PnpTest : public DriverTest {
protected:
    void ExpectConfigured(int pipes) {
        ASSERT_NE(nullptr, ext()->InterfaceInfo);
        EXPECT_NE(nullptr, ext()->ConfigurationHandle);
        ASSERT_NE(nullptr, ext()->DeviceDescriptor);
        EXPECT_EQ(18, ext()->DeviceDescriptor->bLength);
        for (int i = 0; i < 14; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(i < pipes ? PipeName(i) : u"\\KWDrvX", std::u16string(ext()->PipeTable[i].Name));
            EXPECT_EQ(i < pipes, ext()->PipeTable[i].PipeInfo != nullptr);
        }
    }
    size_t UrbsSent() {
        size_t n = 0;
        for (const auto& t : bus().Trace()) n += t.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB;
        return n;
    }
};

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

// A start selects alternate setting 1 and names five pipes. Rebalance: stop deconfigures (the
// null configuration goes down) and a new start reads and selects everything again; an orderly
// removal then deletes the device and disables its interface.
TEST_F(PnpTest, StartRebalanceCyclesAndOrderlyRemoval) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    sim::pnp::StartResult started = sim::pnp::Start(bus().Pdo());
    EXPECT_EQ(STATUS_SUCCESS, started.start.status);
    EXPECT_FALSE(started.removed);
    ExpectConfigured(5);
    EXPECT_EQ(1, ext()->InterfaceInfo->AlternateSetting);
    EXPECT_EQ(1, ext()->OutstandingIo);
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
    std::u16string link = ext()->InterfaceLinkName;
    PDEVICE_OBJECT device = fdo();
    sim::pnp::OrderlyRemovalResult r = sim::pnp::OrderlyRemove(bus().Pdo());
    EXPECT_EQ(STATUS_SUCCESS, r.queryRemove.status);
    ASSERT_TRUE(r.removed);
    EXPECT_FALSE(sim::DeviceExists(device));
    EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(link));
}

// A stop cannot fail: what it needs is reserved at QUERY_STOP. A query that cannot reserve fails
// (the PnP manager cancels the stop and the device carries on); once a query has succeeded, the
// stop goes down and deconfigures the device even with every allocation failing.
TEST_F(PnpTest, StopCannotFailForWantOfPool) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    for (sim::FaultKind kind : {sim::FaultKind::Pool, sim::FaultKind::AllocateIrp}) {
        SCOPED_TRACE(sim::FaultKindName(kind));
        sim::faults::FailKind(kind);
        sim::pnp::RebalanceResult r = sim::pnp::Rebalance(bus().Pdo());
        sim::faults::Clear();
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.queryStop.status);
        EXPECT_FALSE(r.stopped);
        EXPECT_EQ(STATUS_SUCCESS, r.cancelStop.status);
        ExpectConfigured(5);
    }
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), IRP_MN_QUERY_STOP_DEVICE).status);
    bus().ClearTrace();
    for (sim::FaultKind kind : {sim::FaultKind::Pool, sim::FaultKind::AllocateIrp, sim::FaultKind::BuildIoctl})
        sim::faults::FailKind(kind);
    sim::RequestResult stop = sim::pnp::Send(bus().Pdo(), IRP_MN_STOP_DEVICE);
    sim::faults::Clear();
    EXPECT_EQ(STATUS_SUCCESS, stop.status);
    size_t stopsBelow = 0, nullConfigurations = 0;
    for (const auto& t : bus().Trace()) {
        stopsBelow += t.major == IRP_MJ_PNP && t.minor == IRP_MN_STOP_DEVICE;
        nullConfigurations += t.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION && t.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB;
    }
    EXPECT_EQ(1u, stopsBelow);
    EXPECT_EQ(1u, nullConfigurations);
    EXPECT_EQ(0, bus().PluggedDevice()->Configuration());
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    ExpectConfigured(5);
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
    const std::tuple<const char*, int, int> cases[] = {  // file, alternate setting, named pipes
        {"alt0_only.json", 0, 2},
        {"endpoints14.json", 1, 14},
        {"endpoints15.json", 1, 14},
        // The first read says 32 bytes, so the set the driver holds has only alternate setting 0.
        {"growing_total.json", 0, 2},
        {"long_one_interface.json", 1, 14},
        // Two interfaces: both are selected, interface 0 in alternate setting 1 (15 pipes).
        {"long_set.json", 1, 14},
        {"no_pipes.json", 0, 0},
        {"short_and_stalls.json", 0, 2},
        {"vendor_interface.json", 1, 3},
    };
    for (const auto& [file, alternate, named] : cases) {
        SCOPED_TRACE(file);
        bus().PlugIn(sim::usb::Device::FromFile(dir + file));
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        EXPECT_EQ(alternate, ext()->InterfaceInfo->AlternateSetting);
        ExpectConfigured(named);
        // bNumConfigurations is 1 everywhere, but only 8 bytes of short_and_stalls.json's device
        // descriptor came: the rest of that copy is zero, not uninitialised pool.
        EXPECT_EQ(std::string(file) == "short_and_stalls.json" ? 0 : 1, reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)[17]);
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
    }
}

}  // namespace

namespace {

// Descriptor sets of the usual shapes of real devices: every one starts with every interface
// selected (interface 0 in alternate setting 1 when it has one), names interface 0's pipes, and
// moves data: a loopback through bulk pipes, a report read from an interrupt pipe, or a read
// refused at once where the pipe cannot carry data.
TEST_F(PnpTest, RealDevicesStartOpenAndMoveData) {
    const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../sim/devices/";
    using Bytes = std::vector<UCHAR>;
    struct Case { const char* file; int alternate, pipes; size_t interfaces; int out, in; Bytes report; NTSTATUS read; };
    const Case cases[] = {
        {"cdc_acm.json", 0, 1, 2, -1, 0, {0xa1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0}, STATUS_SUCCESS},
        {"hid_mouse.json", 0, 1, 1, -1, 0, {0x00, 0x05, 0xfb, 0x00}, STATUS_SUCCESS},
        {"mass_storage.json", 0, 2, 1, 1, 0, {}, STATUS_SUCCESS},
        {"audio_streaming.json", 0, 1, 2, -1, 0, {}, STATUS_INVALID_DEVICE_STATE},  // packet size 0
        {"dfu_runtime.json", 0, 0, 1, -1, -1, {}, STATUS_SUCCESS},
        {"bluetooth.json", 0, 3, 2, 2, 1, {}, STATUS_SUCCESS},
        {"composite_vendor_hid.json", 1, 2, 2, 0, 1, {}, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        bus().PlugIn(sim::usb::Device::FromFile(dir + c.file));
        std::vector<size_t> selected;  // interface entries of each select-configuration request
        bus().SetScript([&](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            auto u = static_cast<PURB>(s->Parameters.Others.Argument1);
            if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
                u->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION || !u->UrbSelectConfiguration.ConfigurationDescriptor)
                return std::nullopt;
            size_t n = 0;
            for (auto p = reinterpret_cast<PUCHAR>(&u->UrbSelectConfiguration.Interface);
                 p < reinterpret_cast<PUCHAR>(u) + u->UrbHeader.Length; p += reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p)->Length)
                ++n;
            selected.push_back(n);
            return std::nullopt;
        });
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        ExpectConfigured(c.pipes);
        EXPECT_EQ(c.alternate, ext()->InterfaceInfo->AlternateSetting);
        EXPECT_EQ(0, ext()->InterfaceInfo->InterfaceNumber);
        EXPECT_EQ(std::vector<size_t>(c.alternate == 1 ? 2 : 1, c.interfaces), selected);
        {
            sim::app::Process app;
            const std::u16string path = sim::app::UserPath(ext()->InterfaceLinkName);
            std::vector<sim::app::Handle> h;
            for (int i = 0; i < c.pipes; ++i) {
                sim::app::OpenResult o = app.Open(path + PipeName(i), sim::app::OpenOptions{true});
                ASSERT_EQ(STATUS_SUCCESS, o.status) << i;
                h.push_back(o.handle);
            }
            sim::app::OpenResult none = app.Open(path);
            EXPECT_EQ(STATUS_SUCCESS, none.status);
            PVOID buffer = app.Alloc(64);
            Bytes data(64);
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0x30 + i);
            if (c.out >= 0) {
                app.Store(buffer, data.data(), data.size());
                sim::app::Overlapped w;
                EXPECT_EQ(STATUS_PENDING, app.Write(h[c.out], buffer, 64, 0, &w).status);
                w.Wait();
                EXPECT_EQ(STATUS_SUCCESS, w.Internal());
                app.Store(buffer, Bytes(64).data(), 64);
            }
            if (c.in >= 0) {
                ULONG length = c.report.empty() ? 64 : static_cast<ULONG>(c.report.size());
                sim::app::Overlapped r;
                sim::app::IoResult started = app.Read(h[c.in], buffer, length, 0, &r);
                bus().AdvanceFrames(300);  // every periodic report falls due
                if (started.status == STATUS_PENDING) {
                    if (c.read != STATUS_SUCCESS) app.CancelIo(h[c.in]);  // should not have gone down
                    r.Wait();
                }
                if (c.read == STATUS_SUCCESS) {
                    EXPECT_EQ(STATUS_PENDING, started.status);
                    EXPECT_EQ(STATUS_SUCCESS, r.Internal());
                    EXPECT_EQ(c.report.empty() ? data : c.report, app.Load(buffer, length));
                } else {
                    EXPECT_EQ(c.read, started.status);
                }
            }
        }
        sim::FlushDpcs();
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
    }
}

}  // namespace
