// Plug and Play through the PnP manager's own sequences, on the built-in test firmware: start,
// a start the bus failed, rebalance, orderly removal, and a fault sweep over start and removal;
// then every device description of the model's tests started, its pipes named and data moved.
#include "driver_fixture.h"
#include "foreign.h"

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
};

// A start the lower stack failed completes with that failure and configures nothing; the PnP
// manager then removes the device. The failure may come back inline or pended.
TEST_F(PnpTest, StartFailedBelowConfiguresNothing) {
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend);
        LowerFilter filter(bus().Pdo());
        filter.handler = [&, down = filter.PassDown()](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
            if (!LowerFilter::Is(irp, IRP_MJ_PNP, IRP_MN_START_DEVICE)) return down(d, irp);
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
        EXPECT_EQ(3u, UrbsSent(URB_FUNCTION_SELECT_CONFIGURATION))
            << "null configuration at stop, then alternate setting 0 and 1 at start";
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
    size_t stopsBelow = 0;
    for (const auto& t : bus().Trace()) stopsBelow += t.major == IRP_MJ_PNP && t.minor == IRP_MN_STOP_DEVICE;
    EXPECT_EQ(1u, stopsBelow);
    EXPECT_EQ(1u, UrbsSent(URB_FUNCTION_SELECT_CONFIGURATION));
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
        // A start either fails for want of resources (and the device is removed) or, when what
        // failed was only the read-back it can do without, leaves the device completely configured.
        ASSERT_EQ(1u, sim::faults::InjectedCount());
        if (NT_SUCCESS(r.start.status)) {
            ExpectConfigured(5);
            Remove();
        } else {
            EXPECT_EQ(sim::StatusName(STATUS_INSUFFICIENT_RESOURCES), sim::StatusName(r.start.status));
        }
        sim::faults::Clear();
        sim::FlushDpcs();
        EXPECT_EQ(0u, sim::LivePoolCount());
        EXPECT_EQ(0u, sim::LiveIrpCount());
    }
}

}  // namespace

namespace {

// Every device description of the model's tests, of the usual shapes of real devices, full and
// high speed: the bus speed, the setting chosen, every interface selected (interface 0 in alternate
// setting 1 when it has one, the second selection naming the same interfaces), how many of
// interface 0's pipes get names (never more than 14) with the packet sizes the stack reports (the
// whole payload of a bus interval on high-bandwidth pipes), and data moved: a loopback through
// pipes `out` to `in`, a report or the source's counter read on pipe `in`, or a read refused at
// once where the pipe cannot carry data. A clean removal each time.
TEST_F(PnpTest, EachDeviceStartsNamesItsPipesAndMovesData) {
    using Bytes = std::vector<UCHAR>;
    struct Case {
        const char* file;
        int alternate, pipes;
        size_t interfaces = 0;  // 0: not counted
        bool high = false;
        std::vector<USHORT> packets = {};  // empty: not compared
        int out = -1, in = -1;
        ULONG bytes = 64;
        Bytes report = {};
        NTSTATUS read = STATUS_SUCCESS;
        UCHAR numConfigurations = 1;  // the last byte of the device descriptor the driver holds
    };
    const Case cases[] = {
        {"alt0_only.json", 0, 2},
        {"endpoints14.json", 1, 14},
        {"endpoints15.json", 1, 14},
        // The first read says 32 bytes, so the set the driver holds has only alternate setting 0.
        {"growing_total.json", 0, 2},
        {"long_one_interface.json", 1, 14},
        // Two interfaces: both are selected, interface 0 in alternate setting 1 (15 pipes).
        {"long_set.json", 1, 14, 2},
        {"no_pipes.json", 0, 0},
        // Only 8 bytes of the device descriptor came: the rest of that copy is zero, not
        // uninitialised pool.
        {"short_and_stalls.json", 0, 2, 1, false, {}, -1, -1, 64, {}, STATUS_SUCCESS, 0},
        {"vendor_interface.json", 1, 3},
        {"cdc_acm.json", 0, 1, 2, false, {}, -1, 0, 10, {0xa1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0}},
        {"hid_mouse.json", 0, 1, 1, false, {}, -1, 0, 4, {0x00, 0x05, 0xfb, 0x00}},
        {"mass_storage.json", 0, 2, 1, false, {64, 64}, 1, 0, 200},
        {"audio_streaming.json", 0, 1, 2, false, {}, -1, 0, 64, {}, STATUS_INVALID_DEVICE_STATE},  // packet size 0
        {"dfu_runtime.json", 0, 0, 1},
        {"bluetooth.json", 0, 3, 2, false, {}, 2, 1},
        {"composite_vendor_hid.json", 1, 2, 2, false, {}, 0, 1},
        {"hs_mass_storage.json", 0, 2, 0, true, {512, 512}, 1, 0, 1500},
        {"hs_hid.json", 0, 2, 0, true, {64, 64}, 1, 0, 64},
        {"hs_firmware.json", 1, 5, 0, true, {512, 512, 2048, 1024, 1024}, 0, 1, 4000},
        {"hs_firmware.json", 1, 5, 0, true, {512, 512, 2048, 1024, 1024}, 3, 4, 3 * 1024},  // whole frame padded
        {"hs_webcam.json", 1, 2, 0, true, {3072, 16}, -1, 0, 8 * 3072},
        {"large_set.json", 1, 2, 0, true, {512, 512}, 0, 1, 2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file << " out " << c.out << " in " << c.in);
        bus().PlugIn(DeviceFile(c.file));
        std::vector<size_t> selected;  // interface entries of each select-configuration request
        bus().SetScript([&](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            PURB u = UrbOf(s, URB_FUNCTION_SELECT_CONFIGURATION);
            if (u != nullptr && u->UrbSelectConfiguration.ConfigurationDescriptor != nullptr)
                selected.push_back(SelectedInterfaces(u).size());
            return std::nullopt;
        });
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        ExpectConfigured(c.pipes);
        EXPECT_EQ(c.high, ext()->HighSpeed != 0);
        EXPECT_EQ(c.alternate, ext()->InterfaceInfo->AlternateSetting);
        EXPECT_EQ(0, ext()->InterfaceInfo->InterfaceNumber);
        EXPECT_EQ(c.numConfigurations, reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)[17]);
        if (c.interfaces != 0) {
            EXPECT_EQ(std::vector<size_t>(c.alternate == 1 ? 2 : 1, c.interfaces), selected);
        }
        for (size_t i = 0; i < c.packets.size(); ++i) {
            EXPECT_EQ(c.packets[i], ext()->PipeTable[i].PipeInfo->MaximumPacketSize) << i;
        }
        {
            sim::app::Process app;
            const std::u16string path = sim::app::UserPath(ext()->InterfaceLinkName);
            std::vector<sim::app::Handle> h;
            for (int i = 0; i < c.pipes; ++i) {
                sim::app::OpenResult o = app.Open(path + PipeName(i), sim::app::OpenOptions{true});
                ASSERT_EQ(STATUS_SUCCESS, o.status) << i;
                h.push_back(o.handle);
            }
            EXPECT_EQ(STATUS_SUCCESS, app.Open(path).status);
            PVOID buffer = app.Alloc(c.bytes);
            Bytes data(c.bytes);
            for (ULONG i = 0; i < c.bytes; ++i) data[i] = static_cast<UCHAR>(c.out >= 0 ? i * 13 + 5 : i);  // the source's counter
            if (c.out >= 0) {
                app.Store(buffer, data.data(), c.bytes);
                EXPECT_EQ(std::make_pair(STATUS_SUCCESS, c.bytes), RunIo(app, bus(), false, h[c.out], buffer, c.bytes));
                app.Store(buffer, Bytes(c.bytes, 0xEE).data(), c.bytes);
            }
            if (c.in >= 0) {
                const auto [status, information] = RunIo(app, bus(), true, h[c.in], buffer, c.bytes);
                EXPECT_EQ(sim::StatusName(c.read), sim::StatusName(status));
                if (c.read == STATUS_SUCCESS) {
                    EXPECT_EQ(c.bytes, information);
                    EXPECT_EQ(c.report.empty() ? data : c.report, app.Load(buffer, c.bytes));
                }
            }
        }
        sim::FlushDpcs();
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
    }
}

}  // namespace
