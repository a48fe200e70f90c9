// The power manager and the hub PDO's power handling against what Windows XP does.
#include "kernel/power.h"
#include "usb_fixture.h"

#include <thread>

using namespace simtest;
using sim::usb::Bytes;

namespace {

class PowerManagerTest : public ModelTest {
protected:
    // Requests whose callback has run are freed before the scenario's check.
    void TearDown() override {
        if (!HasFatalFailure()) sim::power::Settle();
        ModelTest::TearDown();
    }
};

// Passes a power request on as a driver must on XP: copy, PoStartNextPowerIrp, PoCallDriver.
Handler PassPower(PDEVICE_OBJECT lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    };
}
// A bus driver that carries out every power request.
Handler BusPower() {
    return [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
}

struct Seen {
    std::vector<std::string> order;
    NTSTATUS status = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    sim::Completion done;
    static VOID NTAPI Callback(PDEVICE_OBJECT d, UCHAR minor, POWER_STATE s, PVOID context, PIO_STATUS_BLOCK io) {
        auto* self = static_cast<Seen*>(context);
        self->order.push_back("callback");
        self->device = d;
        self->minor = minor;
        self->state = s;
        self->status = io->Status;
        self->done.Signal();
    }
};

// PoRequestPowerIrp sends the request to the top of the stack of the device it names, preset to
// STATUS_NOT_SUPPORTED; its callback runs after every completion routine, with the device it was
// asked for. Minor functions other than set, query and wait-wake are refused.
TEST_F(PowerManagerTest, RequestGoesToTheTopAndCallsBackLast) {
    Stack stack(3);
    Seen seen;
    std::vector<std::unique_ptr<Routine>> routines;
    for (int i = 1; i <= 2; ++i) {
        stack[i].handler = [&, i, lower = stack[i - 1].device()](PDEVICE_OBJECT, PIRP irp) {
            seen.order.push_back("dispatch " + std::to_string(i));
            IoCopyCurrentIrpStackLocationToNext(irp);
            routines.push_back(std::make_unique<Routine>(Routine{[&, i](PDEVICE_OBJECT, PIRP r) {
                seen.order.push_back("completion " + std::to_string(i));
                if (r->PendingReturned) IoMarkIrpPending(r);
                return STATUS_SUCCESS;
            }}));
            routines.back()->SetOn(irp);
            PoStartNextPowerIrp(irp);
            return PoCallDriver(lower, irp);
        };
    }
    stack[0].handler = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, irp->IoStatus.Status);
        EXPECT_EQ(DevicePowerState, s->Parameters.Power.Type);
        EXPECT_EQ(PowerDeviceD2, s->Parameters.Power.State.DeviceState);
        seen.order.push_back("dispatch 0");
        return BusPower()(nullptr, irp);
    };
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(stack.bottom(), IRP_MN_SET_POWER, d2, &Seen::Callback, &seen, nullptr));
    seen.done.Wait("the callback");
    EXPECT_EQ((std::vector<std::string>{"dispatch 2", "dispatch 1", "dispatch 0", "completion 1", "completion 2",
                                        "callback"}),
              seen.order);
    EXPECT_EQ(stack.bottom(), seen.device);
    EXPECT_EQ(IRP_MN_SET_POWER, seen.minor);
    EXPECT_EQ(PowerDeviceD2, seen.state.DeviceState);
    EXPECT_EQ(STATUS_SUCCESS, seen.status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER_2,
              PoRequestPowerIrp(stack.bottom(), IRP_MN_POWER_SEQUENCE, d2, &Seen::Callback, &seen, nullptr));
}

// A power request PoCallDriver sends above PASSIVE_LEVEL reaches a DO_POWER_PAGABLE device at
// PASSIVE_LEVEL on a system thread; another device gets it at once, at the caller's level.
TEST_F(PowerManagerTest, PageableDevicesGetRequestsAtPassiveLevel) {
    for (bool pageable : {true, false}) {
        SCOPED_TRACE(pageable);
        Stack stack(2);
        KIRQL irql = HIGH_LEVEL;
        std::thread::id thread;
        stack[1].handler = [&](PDEVICE_OBJECT d, PIRP irp) {
            irql = KeGetCurrentIrql();
            thread = std::this_thread::get_id();
            return PassPower(stack[0].device())(d, irp);
        };
        stack[0].handler = BusPower();
        if (pageable) stack.top()->Flags |= DO_POWER_PAGABLE;
        Seen seen;
        POWER_STATE s;
        s.DeviceState = PowerDeviceD1;
        sim::RunAtIrql(DISPATCH_LEVEL, [&] {
            EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(stack.bottom(), IRP_MN_SET_POWER, s, &Seen::Callback, &seen, nullptr));
        });
        seen.done.Wait("the callback");
        EXPECT_EQ(pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL, irql);
        EXPECT_EQ(pageable, thread != std::this_thread::get_id());
    }
}

TEST_F(PowerManagerTest, SetPowerStateReturnsThePreviousState) {
    Stack stack(1);
    POWER_STATE s;
    s.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PowerDeviceUnspecified, PoSetPowerState(stack.top(), DevicePowerState, s).DeviceState);
    s.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PowerDeviceD3, PoSetPowerState(stack.top(), DevicePowerState, s).DeviceState);
    EXPECT_EQ(PowerDeviceD0, sim::power::ReportedDeviceState(stack.top()));
}

// The verifier's power rules, each broken once by a driver above a well-behaved bus driver.
TEST_F(PowerManagerTest, VerifierRules) {
    struct Case { const char* rule; std::function<Handler(PDEVICE_OBJECT)> driver; const char* also; } cases[] = {
        // On XP the next request never arrives: the watchdog names the one that kept the device.
        {"PowerIrpNotStarted",
         [](PDEVICE_OBJECT lower) {
             return [lower](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 return PoCallDriver(lower, irp);
             };
         },
         "SET_POWER D3 .*passed on by the driver of .* without PoStartNextPowerIrp"},
        {"IoCallDriverForPowerIrp",
         [](PDEVICE_OBJECT lower) {
             return [lower](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 PoStartNextPowerIrp(irp);
                 return IoCallDriver(lower, irp);
             };
         },
         "PoCallDriver"},
        {"SetPowerFailed",
         [](PDEVICE_OBJECT) {
             return [](PDEVICE_OBJECT, PIRP irp) {
                 PoStartNextPowerIrp(irp);
                 irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_UNSUCCESSFUL;
             };
         },
         "may not fail a set-power request"},
        {"PowerIrpTimeout",
         [](PDEVICE_OBJECT) {
             return [](PDEVICE_OBJECT, PIRP irp) {
                 PoStartNextPowerIrp(irp);
                 IoMarkIrpPending(irp);
                 return STATUS_PENDING;
             };
         },
         "SET_POWER D3 .* did not complete"},
    };
    // Without a next request the end of the scenario finds the device still held.
    EXPECT_DEATH(
        {
            Stack stack(2);
            stack[1].handler = cases[0].driver(stack[0].device());
            stack[0].handler = BusPower();
            sim::power::RequestDevicePower(stack.bottom(), PowerDeviceD3);
            sim::EndScenario();
        },
        "BUGCHECK .* PowerIrpNotStarted(.|\n)*SET_POWER D3 .*passed on by the driver of");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(
            {
                sim::SetWatchdogMilliseconds(1000);  // the first request must finish well within it
                Stack stack(2);
                stack[1].handler = c.driver(stack[0].device());
                stack[0].handler = BusPower();
                sim::power::RequestDevicePower(stack.bottom(), PowerDeviceD3);
                sim::power::RequestDevicePower(stack.bottom(), PowerDeviceD3);
            },
            std::string("BUGCHECK .* ") + c.rule + "(.|\n)*" + c.also);
    }
}

// XP lets one device set-power request at a time reach a device object: the next one arrives
// only after PoStartNextPowerIrp for the one it holds, and system requests are counted apart.
// Playing Windows 7 the power manager serialises nothing: a second device request reaches a
// device that still holds the first, and a driver that passes requests on without
// PoStartNextPowerIrp, or with IoCallDriver, is no finding.
TEST_F(PowerManagerTest, Windows7NeitherSerialisesNorNeedsStartNext) {
    struct Case { sim::power::Os os; size_t reachWhileHeld; } cases[] = {{sim::power::Os::Xp, 1}, {sim::power::Os::Windows7, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.os == sim::power::Os::Xp ? "XP" : "7");
        sim::power::SetOs(c.os);
        Stack stack(2);
        std::mutex m;
        std::vector<PIRP> held;
        stack[1].handler = [&](PDEVICE_OBJECT d, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == SystemPowerState) {
                return PassPower(stack[0].device())(d, irp);
            }
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> g(m);
            held.push_back(irp);
            return STATUS_PENDING;
        };
        stack[0].handler = BusPower();
        auto heldCount = [&] { std::lock_guard<std::mutex> g(m); return held.size(); };
        Seen first, second;
        POWER_STATE s;
        s.DeviceState = PowerDeviceD3;
        PoRequestPowerIrp(stack.bottom(), IRP_MN_SET_POWER, s, &Seen::Callback, &first, nullptr);
        s.DeviceState = PowerDeviceD2;
        PoRequestPowerIrp(stack.bottom(), IRP_MN_SET_POWER, s, &Seen::Callback, &second, nullptr);
        sim::power::Settle();
        EXPECT_EQ(c.reachWhileHeld, heldCount());
        EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(stack.bottom()).status);  // a system request passes
        for (size_t i = 0; i < 2; ++i) {
            PoStartNextPowerIrp(held[i]);
            sim::power::Settle();
            ASSERT_EQ(2u, heldCount());
            IoCopyCurrentIrpStackLocationToNext(held[i]);
            PoCallDriver(stack[0].device(), held[i]);
        }
        first.done.Wait("the first callback");
        second.done.Wait("the second callback");
        EXPECT_EQ(PowerDeviceD2, second.state.DeviceState);
    }
    sim::power::SetOs(sim::power::Os::Windows7);
    Stack stack(2);
    stack[0].handler = BusPower();
    for (bool ioCallDriver : {false, true}) {
        stack[1].handler = [&, ioCallDriver](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return ioCallDriver ? IoCallDriver(stack[0].device(), irp) : PoCallDriver(stack[0].device(), irp);
        };
        for (int i = 0; i < 2; ++i) EXPECT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(stack.bottom(), PowerDeviceD2).status);
    }
}

class HubPowerTest : public usbtest::UsbStackTest {
protected:
    NTSTATUS SetD(DEVICE_POWER_STATE d) { return sim::power::RequestDevicePower(bus_->Pdo(), d).status; }
};

// A suspended port refuses every request with STATUS_DEVICE_POWERED_OFF and leaves the URB as it
// was; a transfer queued before the suspend waits through it and completes after the resume.
TEST_F(HubPowerTest, SuspendRefusesRequestsAndKeepsQueuedTransfers) {
    auto r = Select(1);
    const USBD_PIPE_HANDLE out = r->Pipe(0), in = r->Pipe(1);
    Bytes data(8);
    URB read = usbtest::BulkUrb(in, data.data(), 8, usbtest::kInShortOk);
    usbtest::Async pending(bus_->Pdo(), &read);
    EXPECT_FALSE(pending.Done());
    for (DEVICE_POWER_STATE d : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
        SCOPED_TRACE(d);
        ASSERT_EQ(STATUS_SUCCESS, SetD(d));
        EXPECT_EQ(d, bus_->PowerState());
        EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, ReadDeviceDescriptor().status);
        Bytes one{7};
        URB w = usbtest::BulkUrb(out, one.data(), 1, usbtest::kOut);
        EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, Submit(&w).status);
        EXPECT_EQ(USBD_STATUS_SUCCESS, w.UrbHeader.Status);
        EXPECT_EQ(1u, w.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, ResetPort().status);
        EXPECT_FALSE(pending.Done());
    }
    ASSERT_EQ(STATUS_SUCCESS, SetD(PowerDeviceD0));
    EXPECT_EQ(STATUS_SUCCESS, Write(out, Bytes{1, 2, 3}).status);
    pending.Wait();
    EXPECT_EQ(STATUS_SUCCESS, pending.Status());
    EXPECT_EQ(3u, read.UrbBulkOrInterruptTransfer.TransferBufferLength);
}

// A resume that fails leaves the port suspended and reports the failure; the verifier accepts a
// failure the bus driver reports. The system's requests succeed and a sleep query can be vetoed.
TEST_F(HubPowerTest, ResumeFailureAndSystemRequests) {
    ASSERT_EQ(STATUS_SUCCESS, SetD(PowerDeviceD3));
    sim::faults::FailKind(sim::FaultKind::PortResume);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SetD(PowerDeviceD0));
    EXPECT_EQ(PowerDeviceD3, bus_->PowerState());
    sim::faults::Clear();
    EXPECT_EQ(STATUS_SUCCESS, SetD(PowerDeviceD0));
    EXPECT_EQ(PowerDeviceD0, bus_->PowerState());

    EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(bus_->Pdo(), PowerSystemSleeping3).set.status);
    EXPECT_EQ(PowerSystemSleeping3, sim::power::SystemState());
    bus_->VetoNextQuery(STATUS_DEVICE_BUSY);
    sim::power::SleepResult vetoed = sim::power::Sleep(bus_->Pdo(), PowerSystemHibernate);
    EXPECT_TRUE(vetoed.vetoed);
    EXPECT_EQ(STATUS_DEVICE_BUSY, vetoed.query.status);
    EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Shutdown(bus_->Pdo()).status);
}

// Wait-wake at the PDO: it waits until the device signals wake or the request is cancelled; a
// second one is refused while one waits, and a device without a wake state refuses it.
TEST_F(HubPowerTest, WaitWake) {
    auto w = sim::power::ArmWaitWake(bus_->Pdo());
    ASSERT_TRUE(w);
    EXPECT_FALSE(w->Done());
    EXPECT_EQ(STATUS_DEVICE_BUSY, sim::power::ArmWaitWake(bus_->Pdo())->Wait());
    EXPECT_TRUE(bus_->RemoteWake());
    EXPECT_EQ(STATUS_SUCCESS, w->Wait());
    EXPECT_FALSE(bus_->RemoteWake());

    auto c = sim::power::ArmWaitWake(bus_->Pdo());
    EXPECT_TRUE(c->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, c->Wait());
    EXPECT_FALSE(bus_->WaitWakeArmed());

    DEVICE_CAPABILITIES caps = bus_->Capabilities();
    caps.DeviceWake = PowerDeviceUnspecified;
    bus_->SetCapabilities(caps);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::power::ArmWaitWake(bus_->Pdo())->Wait());
}

}  // namespace
