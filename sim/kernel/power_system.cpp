// The power manager's own requests: the system's sleep, resume and shutdown sequences, device
// power requests from the power policy owner's side, and wait-wake.
#include "power.h"

#include "internal.h"
#include "power_internal.h"

#include <algorithm>
#include <chrono>

namespace sim::power {
using namespace sim::detail;

namespace {
std::mutex& PowerSerial() {
    static std::mutex m;
    return m;
}

// A request of the power manager's own, waited for under the watchdog.
struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    RequestResult result;
    void Set(const IO_STATUS_BLOCK& io) {
        std::lock_guard<std::mutex> g(m);
        result.status = io.Status;
        result.information = io.Information;
        done = true;
        cv.notify_all();
    }
    void Wait(const std::string& what) {
        std::unique_lock<std::mutex> l(m);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogMilliseconds());
        if (cv.wait_until(l, deadline, [this] { return done; })) return;
        l.unlock();
        bool notStarted = false;
        std::string held = DiagnosePower(&notStarted);
        BugCheck(kBugWatchdog, notStarted ? "PowerIrpNotStarted" : "PowerIrpTimeout",
                 what + " did not complete within " + std::to_string(WatchdogMilliseconds()) + " ms\n" + held +
                     DescribeInFlight());
    }
};

POWER_ACTION ActionFor(SYSTEM_POWER_STATE s) {
    switch (s) {
        case PowerSystemWorking: return PowerActionNone;
        case PowerSystemHibernate: return PowerActionHibernate;
        case PowerSystemShutdown: return PowerActionShutdown;
        default: return PowerActionSleep;
    }
}

VOID NTAPI SignalWaiter(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    static_cast<Waiter*>(context)->Set(*io);
}
}  // namespace

RequestResult SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    std::lock_guard<std::mutex> serial(PowerSerial());
    PDEVICE_OBJECT top = pnp::TopOfStack(pdo);
    auto w = std::make_shared<Waiter>();
    PIRP irp = AllocateManagedIrp(top->StackSize, IrpOrigin::Power, [w](PIRP done) {
        PowerIrpDone(done);
        w->Set(done->IoStatus);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = ActionFor(state);
    std::string what = "the system's " + RegisterPowerIrp(irp) + " to " + DeviceName(top);
    std::weak_ptr<IrpTrack> track = FindIrp(irp);
    NTSTATUS returned = PoCallDriver(top, irp);
    w->Wait(what);
    WaitPowerIrpReleased(track);
    w->result.dispatchReturned = returned;
    return w->result;
}

SleepResult Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    SleepResult r;
    r.query = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(r.query.status)) {
        r.vetoed = true;
        r.cancel = SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
        return r;
    }
    r.set = SendSystemPower(pdo, IRP_MN_SET_POWER, state);
    return r;
}

RequestResult Wake(PDEVICE_OBJECT pdo) { return SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking); }

RequestResult Shutdown(PDEVICE_OBJECT pdo) { return SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemShutdown); }

RequestResult RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    std::lock_guard<std::mutex> serial(PowerSerial());
    Waiter w;
    POWER_STATE ps;
    ps.DeviceState = state;
    NTSTATUS st = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, ps, &SignalWaiter, &w, nullptr);
    if (st != STATUS_PENDING) {
        RequestResult r;
        r.status = r.dispatchReturned = st;
        return r;
    }
    w.Wait("the policy owner's SET_POWER D" + std::to_string(static_cast<int>(state) - 1) + " to " + DeviceName(pdo));
    Settle();
    w.result.dispatchReturned = STATUS_PENDING;
    return w.result;
}

bool WaitWake::Done() const { return const_cast<Completion&>(done_).IsSignalled(); }

NTSTATUS WaitWake::Wait() {
    done_.Wait("a wait-wake request to complete");
    Settle();
    std::lock_guard<std::recursive_mutex> g(m_);
    return status_;
}

bool WaitWake::Cancel() {
    std::lock_guard<std::recursive_mutex> g(m_);
    if (irp_ == nullptr) return false;
    return IoCancelIrp(irp_) != FALSE;
}

VOID NTAPI WaitWake::Callback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    auto* self = static_cast<WaitWake*>(context);
    std::lock_guard<std::recursive_mutex> g(self->m_);
    self->irp_ = nullptr;
    self->status_ = io->Status;
    self->done_.Signal();
}

std::shared_ptr<WaitWake> ArmWaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wakeFrom) {
    auto w = std::make_shared<WaitWake>();
    // Kept alive by the registry below until its callback has run.
    static std::mutex regLock;
    static std::vector<std::shared_ptr<WaitWake>>* armed = new std::vector<std::shared_ptr<WaitWake>>();
    {
        std::lock_guard<std::mutex> g(regLock);
        armed->erase(std::remove_if(armed->begin(), armed->end(), [](auto& a) { return a->Done(); }), armed->end());
        armed->push_back(w);
    }
    POWER_STATE ps;
    ps.SystemState = wakeFrom;
    std::lock_guard<std::recursive_mutex> g(w->m_);
    if (PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, ps, &WaitWake::Callback, w.get(), &w->irp_) != STATUS_PENDING) {
        w->irp_ = nullptr;
        return nullptr;
    }
    return w;
}

}  // namespace sim::power
