// Power: system sleep and resume mapped to D3 and D0, device power requests, wait-wake, with I/O
// in flight, removal during a held system request, and faults on the power path.
#include "driver_fixture.h"

#include "app/app.h"
#include "kernel/power.h"

#include <future>
#include <thread>

using namespace drivertest;
using sim::app::Handle;
using sim::app::IoResult;
using sim::app::Overlapped;

namespace {

constexpr ULONG kBulkOut = 0, kBulkIn = 1;

// A power request as the bus driver saw it: "S3", "D0", "Q S3" (query), "W" (wait-wake).
std::string Seen(const sim::usb::TraceEntry& e) {
    std::string s = e.minor == IRP_MN_QUERY_POWER ? "Q " : e.minor == IRP_MN_WAIT_WAKE ? "W" : "";
    if (e.minor == IRP_MN_WAIT_WAKE) return s;
    return s + (e.powerType == DevicePowerState ? "D" : "S") + std::to_string(static_cast<int>(e.powerState) - 1);
}

class PowerTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        link_ = ext()->InterfaceLinkName;
        app_ = std::make_unique<sim::app::Process>();
        bus().ClearTrace();
    }
    void TearDown() override {
        app_.reset();
        DriverTest::TearDown();
    }

    std::vector<std::string> PowerSeen() {
        std::vector<std::string> seen;
        for (const auto& e : bus().Trace())
            if (e.major == IRP_MJ_POWER) seen.push_back(Seen(e));
        bus().ClearTrace();
        return seen;
    }
    DEVICE_POWER_STATE Recorded() { return DEVICE_POWER_STATE(__atomic_load_n(&ext()->DevicePowerState, __ATOMIC_SEQ_CST)); }
    // The references a request holds, once every continuation the power manager or the DPC thread
    // still runs for a completed request has returned.
    LONG Outstanding() {
        sim::power::Settle();
        sim::FlushDpcs();
        return __atomic_load_n(&ext()->OutstandingIo, __ATOMIC_SEQ_CST);
    }
    // The recorded state is the device's own: the driver, the power manager and the port agree.
    void ExpectRecordedIsReal() {
        EXPECT_EQ(bus().PowerState(), Recorded());
        EXPECT_EQ(Recorded(), sim::power::ReportedDeviceState(fdo()));
    }
    // Brings the device to D0 from its initial unspecified state, as the first resume does.
    void ToD0() {
        ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        ASSERT_EQ(PowerDeviceD0, Recorded());
        PowerSeen();
    }
    Handle Open(ULONG pipe) {
        std::u16string path = sim::app::UserPath(link_) + u"\\KWDrv" + std::u16string(1, char16_t(u'0' + pipe));
        sim::app::OpenResult r = app_->Open(path, sim::app::OpenOptions{true});
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        return r.handle;
    }
    IoResult WriteBytes(Handle h, const std::vector<UCHAR>& data) {
        PVOID b = app_->Alloc(data.size());
        app_->Store(b, data.data(), data.size());
        Overlapped ov;
        IoResult r = sim::app::AwaitResult(app_->Write(h, b, static_cast<ULONG>(data.size()), 0, &ov), ov);
        app_->Free(b);
        return r;
    }

    std::u16string link_;
    std::unique_ptr<sim::app::Process> app_;
};

// What the driver does with each power request: which requests reach the bus, in which order,
// and the state it records.
TEST_F(PowerTest, RequestsMapToDeviceStates) {
    struct Step { const char* what; std::function<NTSTATUS()> send; NTSTATUS status; std::vector<std::string> seen;
                  DEVICE_POWER_STATE recorded; };
    auto sys = [this](SYSTEM_POWER_STATE s) { return [this, s] { return sim::power::SendSystemPower(bus().Pdo(), IRP_MN_SET_POWER, s).status; }; };
    auto dev = [this](int d) { return [this, d] { return sim::power::RequestDevicePower(bus().Pdo(), DEVICE_POWER_STATE(d)).status; }; };
    auto query = [this](SYSTEM_POWER_STATE s) { return [this, s] { return sim::power::SendSystemPower(bus().Pdo(), IRP_MN_QUERY_POWER, s).status; }; };
    const Step steps[] = {
        // After AddDevice the state is unspecified: the first S0 asks for D0, then goes down.
        {"S0 from unspecified", sys(PowerSystemWorking), STATUS_SUCCESS, {"D0", "S0"}, PowerDeviceD0},
        {"S0 in D0", sys(PowerSystemWorking), STATUS_SUCCESS, {"S0"}, PowerDeviceD0},
        {"query S3", query(PowerSystemSleeping3), STATUS_SUCCESS, {"Q S3"}, PowerDeviceD0},
        {"S3 in D0", sys(PowerSystemSleeping3), STATUS_SUCCESS, {"D3", "S3"}, PowerDeviceD3},
        {"S4 in D3", sys(PowerSystemHibernate), STATUS_SUCCESS, {"S4"}, PowerDeviceD3},
        {"S0 in D3", sys(PowerSystemWorking), STATUS_SUCCESS, {"D0", "S0"}, PowerDeviceD0},
        {"D2", dev(PowerDeviceD2), STATUS_SUCCESS, {"D2"}, PowerDeviceD2},
        {"D1", dev(PowerDeviceD1), STATUS_SUCCESS, {"D1"}, PowerDeviceD1},
        {"S1 in D1", sys(PowerSystemSleeping1), STATUS_SUCCESS, {"D3", "S1"}, PowerDeviceD3},
        {"D0", dev(PowerDeviceD0), STATUS_SUCCESS, {"D0"}, PowerDeviceD0},
        // States outside D0..D3 go down unrecorded; the bus refuses them.
        {"state 0", dev(0), STATUS_INVALID_PARAMETER, {"D-1"}, PowerDeviceD0},
        {"state 5", dev(5), STATUS_INVALID_PARAMETER, {"D4"}, PowerDeviceD0},
        {"shutdown", [this] { return sim::power::Shutdown(bus().Pdo()).status; }, STATUS_SUCCESS, {"D3", "S5"}, PowerDeviceD3},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.status, s.send());
        sim::power::Settle();
        EXPECT_EQ(s.seen, PowerSeen());
        EXPECT_EQ(s.recorded, Recorded());
        EXPECT_EQ(nullptr, __atomic_load_n(&ext()->PendingSystemPowerIrp, __ATOMIC_SEQ_CST));
        EXPECT_EQ(1, Outstanding());
    }
    EXPECT_EQ(bus().PowerState(), Recorded());

    // While the bus driver holds the request, D1-D3 are already recorded and D0 is not yet.
    bus().SetPowerMode(sim::usb::AnswerMode::Hold);
    for (auto [to, whileHeld] : {std::pair{PowerDeviceD2, PowerDeviceD2}, std::pair{PowerDeviceD0, PowerDeviceD2}}) {
        auto r = std::async(std::launch::async, [this, to = to] { return sim::power::RequestDevicePower(bus().Pdo(), to); });
        while (bus().HeldPowerCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(whileHeld, Recorded());
        bus().ReleasePower();
        EXPECT_EQ(STATUS_SUCCESS, r.get().status);
        EXPECT_EQ(to, Recorded());
    }
    bus().SetPowerMode(sim::usb::AnswerMode::Pend);
}

// A vetoed query keeps the system and the device awake.
TEST_F(PowerTest, VetoedQueryLeavesTheDeviceAwake) {
    ToD0();
    bus().VetoNextQuery(STATUS_UNSUCCESSFUL);
    sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3);
    EXPECT_TRUE(r.vetoed);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.query.status);
    EXPECT_EQ(STATUS_SUCCESS, r.cancel.status);
    EXPECT_EQ((std::vector<std::string>{"Q S3", "S0"}), PowerSeen());
    EXPECT_EQ(PowerDeviceD0, Recorded());
    EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
}

// Wait-wake is refused in D0 and in a state shallower than the wake state, with nothing sent
// down. Otherwise it waits in the bus driver without holding the dispatching thread and ends on
// remote wake, on cancel, or at removal.
TEST_F(PowerTest, WaitWake) {
    auto arm = [this] { return sim::power::ArmWaitWake(bus().Pdo()); };
    ToD0();
    auto refused = arm();
    ASSERT_TRUE(refused);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, refused->Wait());
    EXPECT_EQ(std::vector<std::string>{}, PowerSeen());
    ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD1).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, arm()->Wait());  // D1 is shallower than D2, the wake state

    struct Case { const char* what; std::function<void(sim::power::WaitWake&)> end; NTSTATUS status; } cases[] = {
        {"remote wake", [this](sim::power::WaitWake&) { EXPECT_TRUE(bus().RemoteWake()); }, STATUS_SUCCESS},
        {"cancel", [](sim::power::WaitWake& w) { EXPECT_TRUE(w.Cancel()); }, STATUS_CANCELLED},
    };
    ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD3).status);
    PowerSeen();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto w = arm();  // returns while the request waits below
        ASSERT_TRUE(w);
        EXPECT_FALSE(w->Done());
        EXPECT_TRUE(bus().WaitWakeArmed());
        EXPECT_EQ(2, Outstanding());
        c.end(*w);
        EXPECT_EQ(c.status, w->Wait());
        sim::FlushDpcs();
        EXPECT_EQ(1, Outstanding());
        EXPECT_EQ(std::vector<std::string>{"W"}, PowerSeen());
    }
    auto w = arm();
    ASSERT_TRUE(w);
    app_.reset();
    Remove();  // removal waits for the wait-wake the bus ends
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, w->Wait());
}

// Sleep with a read pending in the USB stack and requests arriving while the device is in D3:
// the read survives the sleep, requests in D3 get the USB stack's answer at once, every request
// completes once, and I/O works again after resume.
TEST_F(PowerTest, SleepAndResumeWithIoInFlight) {
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(s);
        ToD0();
        Handle out = Open(kBulkOut), in = Open(kBulkIn);
        PVOID buffer = app_->Alloc(64);
        Overlapped pending;
        ASSERT_EQ(STATUS_PENDING, app_->Read(in, buffer, 64, 0, &pending).status);

        sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), s);
        ASSERT_FALSE(r.vetoed);
        EXPECT_EQ(STATUS_SUCCESS, r.set.status);
        EXPECT_EQ(PowerDeviceD3, bus().PowerState());
        ExpectRecordedIsReal();
        EXPECT_FALSE(pending.Signalled());

        IoResult inD3 = WriteBytes(out, {1, 2, 3});
        EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, inD3.status);
        EXPECT_EQ(0u, inD3.iosb.Information);
        Overlapped late;
        IoResult lateRead = app_->Read(in, buffer, 8, 0, &late);
        if (lateRead.status == STATUS_PENDING) late.Wait();
        EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, late.Signalled() ? late.Internal() : lateRead.status);

        ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        ExpectRecordedIsReal();
        EXPECT_EQ(PowerDeviceD0, Recorded());
        IoResult w = WriteBytes(out, {9, 8, 7, 6});
        EXPECT_EQ(STATUS_SUCCESS, w.status);
        pending.Wait();
        EXPECT_EQ(STATUS_SUCCESS, pending.Internal());
        EXPECT_EQ(4u, pending.InternalHigh());
        EXPECT_EQ((std::vector<UCHAR>{9, 8, 7, 6}), app_->Load(buffer, 4));
        app_->Free(buffer);
        app_->Close(out);
        app_->Close(in);
        app_->Flush();
        sim::FlushDpcs();
        EXPECT_EQ(1, Outstanding());
    }
}

// A read cancelled while the device sleeps completes cancelled; nothing waits for the resume.
TEST_F(PowerTest, CancelWhileAsleep) {
    ToD0();
    Handle in = Open(kBulkIn);
    PVOID buffer = app_->Alloc(16);
    Overlapped ov;
    ASSERT_EQ(STATUS_PENDING, app_->Read(in, buffer, 16, 0, &ov).status);
    ASSERT_EQ(STATUS_SUCCESS, sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3).set.status);
    app_->CancelIo(in);
    ov.Wait();
    EXPECT_EQ(STATUS_CANCELLED, ov.Internal());
    ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
    app_->Free(buffer);
}

// PoRequestPowerIrp fails: the held system request still goes down (a system set-power request
// is never failed), its reference is released, and the device stays where it is.
TEST_F(PowerTest, DeviceRequestCannotBeIssued) {
    ToD0();
    sim::faults::Clear();
    sim::faults::FailKind(sim::FaultKind::AllocateIrp);
    sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3);
    sim::faults::Clear();
    EXPECT_EQ(STATUS_SUCCESS, r.set.status);
    EXPECT_EQ((std::vector<std::string>{"Q S3", "S3"}), PowerSeen());
    EXPECT_EQ(PowerDeviceD0, Recorded());
    ExpectRecordedIsReal();
    EXPECT_EQ(nullptr, __atomic_load_n(&ext()->PendingSystemPowerIrp, __ATOMIC_SEQ_CST));
    EXPECT_EQ(1, Outstanding());
    // The next system request finds no stale one and asks for D3 again.
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(bus().Pdo(), PowerSystemHibernate).set.status);
    EXPECT_EQ(PowerDeviceD3, Recorded());
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
}

// The bus driver cannot resume the port: the failure goes up, the device stays recorded in D3,
// the system still reaches S0, requests get the USB stack's answer, and a later D0 recovers.
TEST_F(PowerTest, FailedPowerUpIsReportedAndRecordedAsIs) {
    ToD0();
    ASSERT_EQ(STATUS_SUCCESS, sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3).set.status);
    sim::faults::Clear();
    sim::faults::FailKind(sim::FaultKind::PortResume);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD0).status);
    EXPECT_EQ(PowerDeviceD3, Recorded());
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
    sim::faults::Clear();
    EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
    EXPECT_EQ(PowerDeviceD3, Recorded());
    ExpectRecordedIsReal();
    Handle out = Open(kBulkOut);
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, WriteBytes(out, {1}).status);
    // Recorded D3, so the next resume asks for D0 again.
    ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
    EXPECT_EQ(PowerDeviceD0, Recorded());
    EXPECT_EQ(STATUS_SUCCESS, WriteBytes(out, {1}).status);
    EXPECT_EQ(1, Outstanding());
}

// Removal and surprise removal while a system request is held for its device request: the bus
// finishes the device request, the system request goes down, no stale request is left, and the
// device goes away cleanly.
TEST_F(PowerTest, RemovalDuringHeldSystemRequest) {
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise ? "surprise removal" : "removal");
        if (fdo() == nullptr) {
            ASSERT_EQ(STATUS_SUCCESS, Add());
            ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        }
        ToD0();
        bus().SetPowerMode(sim::usb::AnswerMode::Hold);
        auto sleeper = std::async(std::launch::async, [this] { return sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3); });
        while (bus().HeldPowerCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_NE(nullptr, __atomic_load_n(&ext()->PendingSystemPowerIrp, __ATOMIC_SEQ_CST));
        if (surprise) {
            EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemoval(bus().Pdo()).status);
            EXPECT_EQ(STATUS_SUCCESS, sleeper.get().set.status);
            EXPECT_EQ(nullptr, __atomic_load_n(&ext()->PendingSystemPowerIrp, __ATOMIC_SEQ_CST));
            EXPECT_EQ(1, Outstanding());
        }
        app_.reset();
        Remove();
        if (!surprise) {
            EXPECT_EQ(STATUS_SUCCESS, sleeper.get().set.status);
        }
        bus().SetPowerMode(sim::usb::AnswerMode::Pend);
        app_ = std::make_unique<sim::app::Process>();
    }
}

// Every fault the power path can meet, one at a time, over sleep, resume and the policy
// owner's own requests: system requests always succeed, the recorded state is the real one,
// nothing is left behind, and after a clean resume the device works.
TEST_F(PowerTest, PowerPathFaultSweep) {
    auto scenario = [this] {
        sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3);
        EXPECT_EQ(STATUS_SUCCESS, r.set.status);
        ExpectRecordedIsReal();
        EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        ExpectRecordedIsReal();
        (void)sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD2);
        ExpectRecordedIsReal();
        (void)sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD0);
        ExpectRecordedIsReal();
        EXPECT_EQ(nullptr, __atomic_load_n(&ext()->PendingSystemPowerIrp, __ATOMIC_SEQ_CST));
        EXPECT_EQ(1, Outstanding());
    };
    ToD0();
    sim::faults::Clear();
    scenario();
    const uint64_t total = sim::faults::CallCount();
    ASSERT_GE(total, 4u);
    Handle out = Open(kBulkOut);
    for (uint64_t n = 1; n <= total; ++n) {
        SCOPED_TRACE(n);
        sim::faults::Clear();
        sim::faults::FailOrdinal(n);
        scenario();
        EXPECT_EQ(1u, sim::faults::InjectedCount());
        sim::faults::Clear();
        ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD0).status);
        EXPECT_EQ(STATUS_SUCCESS, WriteBytes(out, {0x5a}).status);
        sim::FlushDpcs();
        EXPECT_EQ(0u, sim::LiveIrpCount());
    }
}

// Sleep and resume cycles and rebalances while applications read and write on several threads.
// Every request completes once, nothing hangs, and the device ends in D0. Runs under
// ThreadSanitizer too.
TEST_F(PowerTest, ConcurrencySleepResumeAgainstIoAndRebalance) {
    ToD0();
    std::atomic<bool> stop{false};
    auto worker = [&](ULONG pipe) {
        Handle h = Open(pipe);
        PVOID b = app_->Alloc(64);
        while (!stop.load()) {
            Overlapped ov;
            IoResult r = pipe == kBulkOut ? app_->Write(h, b, 8, 0, &ov) : app_->Read(h, b, 64, 0, &ov);
            if (r.status == STATUS_PENDING) {
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                if (!ov.Signalled()) app_->CancelIo(h);
                ov.Wait();
            }
        }
        app_->Free(b);
        app_->Close(h);
        app_->ExitThread();
    };
    std::thread writer(worker, kBulkOut), reader(worker, kBulkIn);
    const SYSTEM_POWER_STATE states[] = {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemSleeping1};
    for (int round = 0; round < 6; ++round) {
        sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), states[round % 3]);
        EXPECT_EQ(STATUS_SUCCESS, r.set.status);
        EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        EXPECT_EQ(PowerDeviceD0, Recorded());
        if (round % 2 == 1) {
            EXPECT_TRUE(sim::pnp::Rebalance(bus().Pdo()).stopped);
        }
    }
    stop = true;
    writer.join();
    reader.join();
    app_->Flush();
    sim::FlushDpcs();
    ExpectRecordedIsReal();
    EXPECT_EQ(1, Outstanding());
}

}  // namespace
