// The driver's spine: loading, AddDevice, request accounting, the synchronous calls into the USB
// stack and system-control forwarding.
#include "driver_fixture.h"

#include <thread>

using namespace drivertest;

namespace {

class SpineTest : public DriverTest {};

// Loading installs only the entries the driver serves: a request of another major function is
// answered by the platform and never reaches the driver's code or the bus below.
TEST_F(SpineTest, LoadingInstallsOnlyServedEntries) {
    EXPECT_EQ(DriverUnload, driver()->DriverUnload);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    bus().ClearTrace();
    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS}) {
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, sim::SendToStack(fdo(), major, 0).status);
    }
    EXPECT_EQ(1, ext()->OutstandingIo);
    EXPECT_TRUE(bus().Trace().empty());
}

// AddDevice attaches above the PDO, leaves a device object for direct I/O and pageable power
// requests, and registers and enables one interface under the extension's link name. (What the
// extension holds before the first start shows in the requests refused then: the control suite's
// never-started state, the open before any start, the first system power request.)
TEST_F(SpineTest, StateAfterAddDevice) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    PDEVICE_EXTENSION e = ext();
    EXPECT_EQ(bus().Pdo(), e->LowerDeviceObject);
    EXPECT_EQ(bus().Pdo(), e->PhysicalDeviceObject);
    EXPECT_EQ(DO_DIRECT_IO | DO_POWER_PAGABLE,
              fdo()->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
    auto links = sim::InterfacesOf(bus().Pdo());
    ASSERT_EQ(1u, links.size());
    EXPECT_EQ(links[0], std::u16string(e->InterfaceLinkName));
    EXPECT_EQ(sim::InterfaceState::Enabled, sim::QueryInterfaceState(links[0]));
}

// The capability query reaches the bus with a well-formed record, whichever way the bus
// answers; AddDevice succeeds even when the bus fails or ignores it.
TEST_F(SpineTest, CapabilityQueryWhateverTheBusDoes) {
    struct Case {
        sim::usb::CapabilitiesMode mode;
        DEVICE_POWER_STATE wake;
    };
    for (Case c : {Case{sim::usb::CapabilitiesMode::Answer, PowerDeviceD2},
                   Case{sim::usb::CapabilitiesMode::AnswerPending, PowerDeviceD2},
                   Case{sim::usb::CapabilitiesMode::Fail, PowerDeviceUnspecified},
                   Case{sim::usb::CapabilitiesMode::Ignore, PowerDeviceUnspecified}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        bus().SetCapabilitiesMode(c.mode);
        ASSERT_EQ(STATUS_SUCCESS, Add());
        EXPECT_EQ(c.wake, ext()->DeviceCapabilities.DeviceWake);
        EXPECT_EQ(1, ext()->OutstandingIo);
        auto trace = bus().Trace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(IRP_MN_QUERY_CAPABILITIES, trace[0].minor);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, trace[0].status) << "status preset before the query goes down";
        Remove();
        bus().ClearTrace();
    }
}

// Every AddDevice failure, injected one call at a time: the documented status, no device object
// left behind, nothing leaked, and the interface never left enabled on a device it cannot serve.
TEST_F(SpineTest, AddDeviceFaultSweep) {
    sim::faults::Clear();
    ASSERT_EQ(STATUS_SUCCESS, Add());
    std::vector<sim::FaultSite> sites = sim::faults::Sites();
    Remove();
    ASSERT_GE(sites.size(), 5u);
    for (const sim::FaultSite& site : sites) {
        SCOPED_TRACE(sim::FaultKindName(site.kind));
        sim::faults::Clear();
        sim::faults::FailSite(site.site);
        NTSTATUS st = Add();
        std::vector<std::u16string> links = sim::InterfacesOf(bus().Pdo());
        switch (site.kind) {
            case sim::FaultKind::AllocateIrp:  // the capability query cannot fail AddDevice
                EXPECT_EQ(STATUS_SUCCESS, st);
                EXPECT_EQ(PowerDeviceUnspecified, ext()->DeviceCapabilities.DeviceWake);
                Remove();
                break;
            case sim::FaultKind::AttachDevice:
                EXPECT_EQ(STATUS_NO_SUCH_DEVICE, st);
                EXPECT_EQ(nullptr, fdo());
                ASSERT_EQ(1u, links.size());
                EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(links[0]));
                break;
            default:
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, st);
                EXPECT_EQ(nullptr, fdo());
                break;
        }
        EXPECT_TRUE(sim::DevicesOf(driver()).empty());
        EXPECT_EQ(0u, sim::LivePoolCount());
        // Re-enable state for the next round: a fresh bus device.
        sim::faults::Clear();
    }
}

// A link name that does not fit the extension is refused, never truncated; the longest name
// that fits works.
TEST_F(SpineTest, LinkNameLengthLimit) {
    const std::string prefix = "\\??\\";
    const std::string suffix = "#{77f49321-16ef-11d2-ad51-006097b514dd}";
    for (size_t total : {size_t{255}, size_t{256}, size_t{300}}) {
        SCOPED_TRACE(total);
        instanceId_ = "USB\\VID_1209&PID_0001\\" + std::string(total - prefix.size() - suffix.size() - 22, 'a');
        sim::usb::BusDevice bus2(instanceId_);
        NTSTATUS st = sim::pnp::AddDevice(driver(), bus2.Pdo());
        auto links = sim::InterfacesOf(bus2.Pdo());
        ASSERT_EQ(1u, links.size());
        ASSERT_EQ(total, links[0].size());
        if (total <= 255) {
            ASSERT_EQ(STATUS_SUCCESS, st);
            PDEVICE_OBJECT top = sim::pnp::TopOfStack(bus2.Pdo());
            EXPECT_EQ(links[0], std::u16string(static_cast<PDEVICE_EXTENSION>(top->DeviceExtension)->InterfaceLinkName));
            sim::pnp::Remove(bus2.Pdo());
            EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(links[0]));
        } else {
            EXPECT_EQ(STATUS_NAME_TOO_LONG, st);
            EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(links[0]));
            EXPECT_TRUE(sim::DevicesOf(driver()).empty());
        }
    }
}

TEST_F(SpineTest, RemovalTearsTheDeviceDown) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    std::u16string link = ext()->InterfaceLinkName;
    bus().ClearTrace();
    sim::RequestResult r = Remove();
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_TRUE(sim::DevicesOf(driver()).empty());
    EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(link));
    auto trace = bus().Trace();
    ASSERT_EQ(1u, trace.size());
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, trace[0].minor);
}

TEST_F(SpineTest, RemoveEventSetAtZeroAndNeverReset) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_EQ(2, IoIncrement(fdo()));
    EXPECT_EQ(1, IoDecrement(fdo()));
    EXPECT_EQ(0, KeReadStateEvent(&ext()->RemoveEvent));
    EXPECT_EQ(0, IoDecrement(fdo()));
    EXPECT_NE(0, KeReadStateEvent(&ext()->RemoveEvent));
    EXPECT_EQ(1, IoIncrement(fdo()));
    EXPECT_NE(0, KeReadStateEvent(&ext()->RemoveEvent));
}

TEST_F(SpineTest, ConcurrencyAccountingLosesNoCount) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 2000; ++i) {
                IoIncrement(fdo());
                IoDecrement(fdo());
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, ext()->OutstandingIo);
    EXPECT_EQ(0, KeReadStateEvent(&ext()->RemoveEvent));
}

// The three synchronous calls return only when the stack has finished: at once when it answers
// inline (with IoCallDriver's status), after the wait when it pends (with the final status).
TEST_F(SpineTest, SynchronousCallsInlineAndPending) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    StartPdo();
    struct Case {
        sim::usb::AnswerMode mode;
        NTSTATUS status;
    };
    const Case cases[] = {{sim::usb::AnswerMode::Inline, STATUS_SUCCESS},
                          {sim::usb::AnswerMode::Inline, STATUS_UNSUCCESSFUL},
                          {sim::usb::AnswerMode::Pend, STATUS_SUCCESS},
                          {sim::usb::AnswerMode::Pend, STATUS_IO_DEVICE_ERROR}};
    bus().ClearTrace();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.mode) << " " << sim::StatusName(c.status));
        PVOID seenUrb = nullptr;
        bus().SetScript([&](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            seenUrb = s->Parameters.Others.Argument1;
            sim::usb::Answer a = Answered(c.mode, c.status, NT_SUCCESS(c.status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
            if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
                a.effect = [](PIRP, PIO_STACK_LOCATION st) { *static_cast<PULONG>(st->Parameters.Others.Argument1) = 3; };
            }
            return a;
        });
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_GET_CONFIGURATION_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
        EXPECT_EQ(c.status, CallUsbd(fdo(), &urb));
        EXPECT_EQ(&urb, seenUrb);
        ULONG port = 0xFFFFFFFF;
        EXPECT_EQ(c.status, GetPortStatus(fdo(), &port));
        EXPECT_EQ(3u, port);
        EXPECT_EQ(c.status, ResetParentPort(fdo()));
        auto trace = bus().Trace();
        ASSERT_EQ(3u, trace.size());
        EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB), trace[0].ioctl);
        EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS), trace[1].ioctl);
        EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT), trace[2].ioctl);
        bus().ClearTrace();
    }
    bus().SetScript(nullptr);
}

// A hub that fails the port query without writing leaves the caller's bits at zero; a request
// that cannot be built is never sent.
TEST_F(SpineTest, PortStatusAndBuildFailures) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    StartPdo();
    bus().SetScript([](PIRP, PIO_STACK_LOCATION) -> std::optional<sim::usb::Answer> {
        return Answered(sim::usb::AnswerMode::Inline, STATUS_UNSUCCESSFUL);
    });
    ULONG port = 0xFFFFFFFF;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, GetPortStatus(fdo(), &port));
    EXPECT_EQ(0u, port);
    bus().SetScript(nullptr);
    bus().ClearTrace();
    sim::faults::FailKind(sim::FaultKind::BuildIoctl);
    URB urb{};
    port = 0xFFFFFFFF;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CallUsbd(fdo(), &urb));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, GetPortStatus(fdo(), &port));
    EXPECT_EQ(0u, port);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ResetParentPort(fdo()));
    EXPECT_TRUE(bus().Trace().empty());
    sim::faults::Clear();
}

// System-control requests go down with success preset, also while the device is being
// removed, and the driver returns what the bus returned.
TEST_F(SpineTest, SystemControlIsForwarded) {
    ASSERT_EQ(STATUS_SUCCESS, Add());
    for (BOOLEAN accepting : {TRUE, FALSE}) {
        ext()->AcceptingRequests = accepting;
        bus().ClearTrace();
        sim::RequestResult r = sim::SendToStack(fdo(), IRP_MJ_SYSTEM_CONTROL, 0x0B, {}, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(STATUS_SUCCESS, r.dispatchReturned);
        auto trace = bus().Trace();
        ASSERT_EQ(1u, trace.size());
        EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, trace[0].major);
        EXPECT_EQ(STATUS_SUCCESS, trace[0].status);
        EXPECT_EQ(1, ext()->OutstandingIo);
    }
    ext()->AcceptingRequests = TRUE;
}

}  // namespace
