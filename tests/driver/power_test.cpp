// Power: system sleep and resume mapped to D3 and D0, device power requests, wait-wake, with I/O
// of every kind in flight, removal during a held system request, and faults on the power path.
// Every test runs twice: with the power manager of XP (set-power requests serialised per device
// until PoStartNextPowerIrp) and of Windows 7 (no serialisation).
#include "driver_fixture.h"

#include "kernel/power.h"
#include "kwdrv_ioctl.h"

#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <thread>
#include <utility>

using namespace drivertest;
using sim::app::Handle;
using sim::app::IoResult;
using sim::app::Overlapped;

namespace {

using Bytes = std::vector<UCHAR>;

// A power request as the bus driver saw it: "S3", "D0", "Q S3" (query), "W" (wait-wake).
std::string Seen(const sim::usb::TraceEntry& e) {
    std::string s = e.minor == IRP_MN_QUERY_POWER ? "Q " : e.minor == IRP_MN_WAIT_WAKE ? "W" : "";
    if (e.minor == IRP_MN_WAIT_WAKE) return s;
    return s + (e.powerType == DevicePowerState ? "D" : "S") + std::to_string(static_cast<int>(e.powerState) - 1);
}

// The driver started and an application, as AppTest gives them; the start sends no power
// request, so the power manager is chosen after it.
class PowerTest : public AppTest, public ::testing::WithParamInterface<sim::power::Os> {
protected:
    void SetUp() override {
        AppTest::SetUp();
        sim::power::SetOs(GetParam());
        bus().ClearTrace();
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
    IoResult WriteBytes(Handle h, const std::vector<UCHAR>& data) {
        PVOID b = app_->Alloc(data.size());
        app_->Store(b, data.data(), data.size());
        Overlapped ov;
        IoResult r = sim::app::AwaitResult(app_->Write(h, b, static_cast<ULONG>(data.size()), 0, &ov), ov);
        app_->Free(b);
        return r;
    }
};

// What the driver does with each power request: which requests reach the bus, in which order,
// and the state it records.
TEST_P(PowerTest, RequestsMapToDeviceStates) {
    struct Step { const char* what; std::function<NTSTATUS()> send; NTSTATUS status; std::vector<std::string> seen;
                  DEVICE_POWER_STATE recorded; };
    auto sys = [this](SYSTEM_POWER_STATE s) { return [this, s] { return sim::power::SendSystemPower(bus().Pdo(), IRP_MN_SET_POWER, s).status; }; };
    auto dev = [this](int d) { return [this, d] { return sim::power::RequestDevicePower(bus().Pdo(), DEVICE_POWER_STATE(d)).status; }; };
    auto query = [this](SYSTEM_POWER_STATE s) { return [this, s] { return sim::power::SendSystemPower(bus().Pdo(), IRP_MN_QUERY_POWER, s).status; }; };
    auto vetoed = [this] {
        bus().VetoNextQuery(STATUS_UNSUCCESSFUL);
        sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3);
        EXPECT_TRUE(r.vetoed && r.cancel.status == STATUS_SUCCESS);
        EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
        return r.query.status;
    };
    const Step steps[] = {
        // After AddDevice the state is unspecified: the first S0 asks for D0, then goes down.
        {"S0 from unspecified", sys(PowerSystemWorking), STATUS_SUCCESS, {"D0", "S0"}, PowerDeviceD0},
        {"S0 in D0", sys(PowerSystemWorking), STATUS_SUCCESS, {"S0"}, PowerDeviceD0},
        {"query S3", query(PowerSystemSleeping3), STATUS_SUCCESS, {"Q S3"}, PowerDeviceD0},
        // A vetoed query keeps the system and the device awake.
        {"vetoed sleep", vetoed, STATUS_UNSUCCESSFUL, {"Q S3", "S0"}, PowerDeviceD0},
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

    // While the bus driver holds the request, D1-D3 are already recorded and D0 is not yet; the
    // power-up's completion routine holds a reference on the device object (it is unload-safe).
    bus().SetPowerMode(sim::usb::AnswerMode::Hold);
    struct Held { DEVICE_POWER_STATE to, whileHeld; LONG references; };
    for (const Held& h : {Held{PowerDeviceD2, PowerDeviceD2, 0}, Held{PowerDeviceD0, PowerDeviceD2, 1}}) {
        const DEVICE_POWER_STATE to = h.to;
        auto r = std::async(std::launch::async, [this, to] { return sim::power::RequestDevicePower(bus().Pdo(), to); });
        while (bus().HeldPowerCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(h.whileHeld, Recorded());
        EXPECT_EQ(h.references, fdo()->ReferenceCount);
        bus().ReleasePower();
        EXPECT_EQ(STATUS_SUCCESS, r.get().status);
        EXPECT_EQ(to, Recorded());
        EXPECT_EQ(0, fdo()->ReferenceCount);
    }
    bus().SetPowerMode(sim::usb::AnswerMode::Pend);
}

// Whether wait-wake goes down to be armed: the device must be no deeper than its wake state
// (DeviceWake D2 from the bus unless a case says otherwise) and the system state asked for no
// deeper than its SystemWake (S3). D0 is where a policy owner normally arms it. A refused one,
// also one without the memory for its unload-safe routine, completes at once with nothing sent.
TEST_P(PowerTest, WaitWakeRule) {
    struct Case { const char* what; DEVICE_POWER_STATE deviceWake, in; SYSTEM_POWER_STATE asked; NTSTATUS status;
                  bool noMemory = false; } cases[] = {
        {"D0", PowerDeviceD2, PowerDeviceD0, PowerSystemSleeping3, STATUS_PENDING},
        {"D1, shallower than the wake state", PowerDeviceD2, PowerDeviceD1, PowerSystemSleeping3, STATUS_PENDING},
        {"D2, the wake state", PowerDeviceD2, PowerDeviceD2, PowerSystemSleeping1, STATUS_PENDING},
        {"D3, deeper than the wake state", PowerDeviceD2, PowerDeviceD3, PowerSystemSleeping3, STATUS_INVALID_DEVICE_STATE},
        {"D3 with wake state D3", PowerDeviceD3, PowerDeviceD3, PowerSystemSleeping3, STATUS_PENDING},
        {"S4, deeper than the system wake state", PowerDeviceD2, PowerDeviceD0, PowerSystemHibernate, STATUS_INVALID_DEVICE_STATE},
        {"no wake state", PowerDeviceUnspecified, PowerDeviceD0, PowerSystemSleeping3, STATUS_NOT_SUPPORTED},
        {"no memory for the unload-safe routine", PowerDeviceD2, PowerDeviceD0, PowerSystemSleeping3,
         STATUS_INSUFFICIENT_RESOURCES, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ext()->DeviceCapabilities.DeviceWake = c.deviceWake;
        ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), c.in).status);
        PowerSeen();
        sim::faults::Clear();
        if (c.noMemory) sim::faults::FailKind(sim::FaultKind::Pool);
        auto w = sim::power::ArmWaitWake(bus().Pdo(), c.asked);
        sim::faults::Clear();
        ASSERT_TRUE(w);
        sim::FlushDpcs();
        const bool armed = c.status == STATUS_PENDING;
        EXPECT_EQ(armed, bus().WaitWakeArmed());
        // An armed one waits below without holding the dispatching thread, and holds a reference
        // on the driver's device object (its completion routine is unload-safe) until it ends.
        EXPECT_EQ(armed ? 2 : 1, Outstanding());
        EXPECT_EQ(armed ? 1 : 0, fdo()->ReferenceCount);
        EXPECT_EQ(armed, !w->Done());
        if (armed) {
            EXPECT_TRUE(w->Cancel());
        }
        EXPECT_EQ(armed ? STATUS_CANCELLED : c.status, w->Wait());
        EXPECT_EQ(armed ? std::vector<std::string>{"W"} : std::vector<std::string>{}, PowerSeen());
        EXPECT_EQ(1, Outstanding());
        EXPECT_EQ(0, fdo()->ReferenceCount);
    }
}

// An armed wait-wake also ends on remote wake, and at removal.
TEST_P(PowerTest, WaitWakeEndsOnRemoteWakeAndAtRemoval) {
    ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD2).status);
    PowerSeen();
    auto w = sim::power::ArmWaitWake(bus().Pdo());
    ASSERT_TRUE(w);
    EXPECT_TRUE(bus().RemoteWake());
    EXPECT_EQ(STATUS_SUCCESS, w->Wait());
    EXPECT_EQ(1, Outstanding());
    EXPECT_EQ(0, fdo()->ReferenceCount);
    EXPECT_EQ(std::vector<std::string>{"W"}, PowerSeen());
    w = sim::power::ArmWaitWake(bus().Pdo());
    ASSERT_TRUE(w);
    app_.reset();
    Remove();  // removal waits for the wait-wake the bus ends
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, w->Wait());
}

// Every sleep state with isochronous streams both ways, a bulk read and a vendor request the
// device has not answered in flight: each request in flight waits through the sleep, every
// request of each kind that arrives in D3 gets the USB stack's refusal at once, and after the
// resume the ones in flight complete once with their data and every kind works again.
TEST_P(PowerTest, SleepAndResumeWithIoInFlight) {
    constexpr ULONG kIso = 256 * 4;  // four packets of the isochronous pipes
    std::atomic<bool> holdVendor{false};
    bus().SetScript([&holdVendor](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
        if (UrbOf(s, URB_FUNCTION_VENDOR_DEVICE) == nullptr || !holdVendor.exchange(false)) return std::nullopt;
        return Answered(sim::usb::AnswerMode::Hold);
    });
    auto bytes = [](ULONG n, UCHAR seed) { Bytes b(n); for (ULONG i = 0; i < n; ++i) b[i] = UCHAR(seed + i * 3); return b; };
    auto vendorRecord = [](ULONG length) {
        VENDOR_REQUEST r{0, 0, length, 0, 0};
        Bytes b(VENDOR_REQUEST_MINIMUM_LENGTH);
        std::memcpy(b.data(), &r, b.size());
        return b;
    };
    // One request: its data (written, or the size read) and where it goes.
    struct Request { const char* what; ULONG pipe; bool read; ULONG code; Bytes data; };
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(state);
        ToD0();
        std::map<ULONG, Handle> h;
        for (ULONG pipe : {kBulkOut, kBulkIn, kIsoOut, kIsoIn}) h[pipe] = Open(pipe, true);
        // Issues one request, overlapped; a device-control request waits in a thread of its own.
        struct Issued { Overlapped ov; IoResult r; PVOID buffer = nullptr; std::future<IoResult> control; };
        auto issue = [&](const Request& q) {
            auto i = std::make_unique<Issued>();
            i->buffer = app_->Alloc(std::max<size_t>(q.data.size(), 1));
            app_->Store(i->buffer, q.data.data(), q.data.size());
            const ULONG n = static_cast<ULONG>(q.data.size());
            if (q.code != 0) {
                i->control = std::async(std::launch::async, [this, q, &h, b = i->buffer, n] {
                    return app_->DeviceIoControl(h[kBulkOut], q.code, b, n, nullptr, 0);
                });
            } else {
                i->r = q.read ? app_->Read(h[q.pipe], i->buffer, n, 0, &i->ov) : app_->Write(h[q.pipe], i->buffer, n, 0, &i->ov);
            }
            return i;
        };
        auto finish = [&](Issued& i) {
            IoResult r = i.control.valid() ? i.control.get() : sim::app::AwaitResult(i.r, i.ov);
            return std::pair{r, r.iosb.Information};
        };
        const Bytes isoData = bytes(kIso, 0x40), bulkData = bytes(5, 0x90);
        const Request inFlight[] = {
            {"isochronous read", kIsoIn, true, 0, Bytes(kIso)},
            {"isochronous write", kIsoOut, false, 0, isoData},
            {"bulk read", kBulkIn, true, 0, Bytes(64)},
            {"vendor request", 0, false, IOCTL_KW_VENDOR_OUT_0C, vendorRecord(VENDOR_REQUEST_MINIMUM_LENGTH)},
        };
        std::vector<std::unique_ptr<Issued>> flying;
        for (const Request& q : inFlight) {
            holdVendor = q.code != 0;
            flying.push_back(issue(q));
            if (q.code != 0) {
                while (bus().HeldCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                EXPECT_EQ(STATUS_PENDING, flying.back()->r.status) << q.what;
            }
        }

        ASSERT_EQ(STATUS_SUCCESS, sim::power::Sleep(bus().Pdo(), state).set.status);
        EXPECT_EQ(PowerDeviceD3, bus().PowerState());
        ExpectRecordedIsReal();
        const Request inD3[] = {
            {"isochronous read", kIsoIn, true, 0, Bytes(kIso)},
            {"isochronous write", kIsoOut, false, 0, isoData},
            {"bulk write", kBulkOut, false, 0, bulkData},  // looped to the bulk read below
            {"bulk read", kBulkIn, true, 0, Bytes(8)},
            {"vendor OUT", 0, false, IOCTL_KW_VENDOR_OUT_0C, vendorRecord(VENDOR_REQUEST_MINIMUM_LENGTH)},
            {"vendor IN", 0, false, IOCTL_KW_VENDOR_IN_01, vendorRecord(0)},
        };
        for (const Request& q : inD3) {
            SCOPED_TRACE(q.what);
            auto i = issue(q);
            auto [r, information] = finish(*i);
            EXPECT_EQ(sim::StatusName(STATUS_DEVICE_POWERED_OFF), sim::StatusName(r.status));
            EXPECT_EQ(0u, information);
            app_->Free(i->buffer);
        }
        for (size_t k = 0; k < flying.size(); ++k) {
            Issued& i = *flying[k];
            EXPECT_FALSE(i.ov.Signalled() || (i.control.valid() && i.control.wait_for(std::chrono::seconds(0)) == std::future_status::ready))
                << inFlight[k].what;
        }

        ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        ExpectRecordedIsReal();
        bus().CompleteHeld(sim::usb::Answer{});
        EXPECT_EQ(STATUS_SUCCESS, WriteBytes(h[kBulkOut], bulkData).status);
        for (int n = 0; n < 100 && !(flying[0]->ov.Signalled() && flying[1]->ov.Signalled()); ++n) {
            bus().AdvanceFrames(2);
            sim::FlushDpcs();
        }
        const std::pair<ULONG, Bytes> expected[] = {{kIso, isoData}, {kIso, {}}, {5, bulkData}, {0, {}}};
        for (size_t k = 0; k < flying.size(); ++k) {
            SCOPED_TRACE(inFlight[k].what);
            auto [r, information] = finish(*flying[k]);
            EXPECT_EQ(sim::StatusName(STATUS_SUCCESS), sim::StatusName(r.status));
            EXPECT_EQ(expected[k].first, information);
            if (!expected[k].second.empty()) {
                EXPECT_EQ(expected[k].second, app_->Load(flying[k]->buffer, information));
            }
            app_->Free(flying[k]->buffer);
        }
        // Every kind works again.
        for (const Request& q : inD3) {
            SCOPED_TRACE(q.what);
            auto i = issue(q);
            for (int n = 0; n < 100 && q.pipe >= kIsoOut && !i->ov.Signalled(); ++n) {
                bus().AdvanceFrames(2);
                sim::FlushDpcs();
            }
            EXPECT_EQ(sim::StatusName(STATUS_SUCCESS), sim::StatusName(finish(*i).first.status));
            app_->Free(i->buffer);
        }
        for (auto& [pipe, handle] : h) app_->Close(handle);
        app_->Flush();
        EXPECT_EQ(1, Outstanding());
    }
}

// A read cancelled while the device sleeps completes cancelled; nothing waits for the resume.
TEST_P(PowerTest, CancelWhileAsleep) {
    ToD0();
    Handle in = Open(kBulkIn, true);
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
TEST_P(PowerTest, DeviceRequestCannotBeIssued) {
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
TEST_P(PowerTest, FailedPowerUpIsReportedAndRecordedAsIs) {
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
    Handle out = Open(kBulkOut, true);
    EXPECT_EQ(STATUS_DEVICE_POWERED_OFF, WriteBytes(out, {1}).status);
    // Recorded D3, so the next resume asks for D0 again.
    ASSERT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
    EXPECT_EQ(PowerDeviceD0, Recorded());
    EXPECT_EQ(STATUS_SUCCESS, WriteBytes(out, {1}).status);
    EXPECT_EQ(1, Outstanding());

    // Without the memory for the unload-safe routine a power-up still goes down and is recorded.
    ASSERT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD3).status);
    sim::faults::FailKind(sim::FaultKind::Pool);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD0).status);
    EXPECT_EQ(1u, sim::faults::InjectedCount());
    sim::faults::Clear();
    EXPECT_EQ(PowerDeviceD0, Recorded());
    ExpectRecordedIsReal();
    EXPECT_EQ(1, Outstanding());
}

// Removal and surprise removal while a system request is held for its device request: the bus
// finishes the device request, the system request goes down, no stale request is left, and the
// device goes away cleanly.
TEST_P(PowerTest, RemovalDuringHeldSystemRequest) {
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
// owner's own requests, wait-wake among them: system requests always succeed, the recorded state is the real one,
// nothing is left behind, and after a clean resume the device works.
TEST_P(PowerTest, PowerPathFaultSweep) {
    auto scenario = [this] {
        sim::power::SleepResult r = sim::power::Sleep(bus().Pdo(), PowerSystemSleeping3);
        EXPECT_EQ(STATUS_SUCCESS, r.set.status);
        ExpectRecordedIsReal();
        EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(bus().Pdo()).status);
        ExpectRecordedIsReal();
        (void)sim::power::RequestDevicePower(bus().Pdo(), PowerDeviceD2);
        ExpectRecordedIsReal();
        // A wait-wake that cannot be issued or armed fails at once; one that is armed is cancelled.
        if (auto w = sim::power::ArmWaitWake(bus().Pdo())) {
            if (!w->Done()) {
                EXPECT_TRUE(w->Cancel());
            }
            const NTSTATUS st = w->Wait();
            EXPECT_TRUE(st == STATUS_CANCELLED || st == STATUS_INSUFFICIENT_RESOURCES) << sim::StatusName(st);
        }
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
    Handle out = Open(kBulkOut, true);
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
TEST_P(PowerTest, ConcurrencySleepResumeAgainstIoAndRebalance) {
    ToD0();
    std::atomic<bool> stop{false};
    auto worker = [&](ULONG pipe) {
        Handle h = Open(pipe, true);
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

INSTANTIATE_TEST_SUITE_P(Os, PowerTest, ::testing::Values(sim::power::Os::Xp, sim::power::Os::Windows7),
                         [](const auto& p) { return p.param == sim::power::Os::Xp ? "XP" : "Windows7"; });

}  // namespace
