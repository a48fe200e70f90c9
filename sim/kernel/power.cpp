// The power manager as Windows XP has it: power IRPs it creates (PoRequestPowerIrp and the
// system's own requests), PoCallDriver with XP's serialisation (at one device object one system
// and one device set/query request at a time; PoStartNextPowerIrp lets the next one through),
// delivery at PASSIVE_LEVEL to DO_POWER_PAGABLE devices, PoSetPowerState, and the verifier's
// power rules. Playing Windows 7 it drops the serialisation and the rules that come with it:
// PoStartNextPowerIrp does nothing and IoCallDriver may carry a power request.
#include "power.h"

#include "internal.h"
#include "power_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>

namespace sim::detail {
namespace {

// What the manager knows of one power IRP it created, until it completes.
struct PowerIrp {
    uint64_t id = 0;
    std::string what;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    bool reachedPdo = false;
    bool busKnown = false;
    NTSTATUS busStatus = STATUS_SUCCESS;
};

// XP's serialisation of one kind of request (system or device set/query) at one device object.
struct Slot {
    PIRP active = nullptr;  // the request the device holds; nullptr when free
    bool activeDone = false;  // it has completed, yet the device never started the next one
    std::string what;       // describes the active request
    std::string left;       // how it left the device without PoStartNextPowerIrp, if it did
    std::deque<PIRP> waiting;
};

struct DevicePower {
    Slot slot[2];  // [0] system requests, [1] device requests
    DEVICE_POWER_STATE reported = PowerDeviceUnspecified;
};

struct PowerWorld {
    std::mutex m;  // guards everything below; never held while a driver routine runs
    std::unordered_map<PIRP, PowerIrp> irps;
    std::map<PDEVICE_OBJECT, DevicePower> devices;
    // Every power IRP the manager created, until the I/O manager has freed it.
    std::vector<std::pair<PIRP, std::weak_ptr<IrpTrack>>> live;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
};
PowerWorld& P() {
    static auto* p = new PowerWorld();
    return *p;
}

// The power manager's worker thread: requests for pageable devices that PoCallDriver met above
// PASSIVE_LEVEL, and requests released by PoStartNextPowerIrp, are delivered here.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> q;
    bool running = false;
    bool stop = false;
    std::thread thread;
};
Worker& Work() {
    static auto* w = new Worker();
    return *w;
}

void WorkerMain() {
    Worker& w = Work();
    std::unique_lock<std::mutex> l(w.m);
    for (;;) {
        w.cv.wait(l, [&] { return w.stop || !w.q.empty(); });
        if (w.q.empty()) return;
        auto fn = std::move(w.q.front());
        w.q.pop_front();
        w.running = true;
        l.unlock();
        fn();
        l.lock();
        w.running = false;
        w.cv.notify_all();
    }
}

void Post(std::function<void()> fn) {
    Worker& w = Work();
    std::lock_guard<std::mutex> g(w.m);
    if (!w.thread.joinable()) w.thread = std::thread(WorkerMain);
    w.q.push_back(std::move(fn));
    w.cv.notify_all();
}

thread_local bool t_viaPoCallDriver = false;
std::atomic<sim::power::Os> g_os{sim::power::Os::Xp};

bool Serialises() { return g_os.load() == sim::power::Os::Xp; }

[[noreturn]] void PowerViolation(const char* rule, const std::string& msg) {
    BugCheck(kBugIoManagerViolation, rule, msg);
}

// 0 for a system set/query request, 1 for a device one, -1 for requests XP does not serialise
// (and for every request on Windows 7).
int SerialKind(PIO_STACK_LOCATION s) {
    if (!Serialises()) return -1;
    if (s->MinorFunction != IRP_MN_SET_POWER && s->MinorFunction != IRP_MN_QUERY_POWER) return -1;
    return s->Parameters.Power.Type == DevicePowerState ? 1 : 0;
}

std::string DescribePower(PIO_STACK_LOCATION s, uint64_t id) {
    std::string minor = s->MinorFunction == IRP_MN_SET_POWER     ? "SET_POWER"
                        : s->MinorFunction == IRP_MN_QUERY_POWER ? "QUERY_POWER"
                        : s->MinorFunction == IRP_MN_WAIT_WAKE   ? "WAIT_WAKE"
                                                                 : "power minor " + Hex(s->MinorFunction);
    if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER) {
        ULONG v = static_cast<ULONG>(s->Parameters.Power.State.SystemState);
        minor += s->Parameters.Power.Type == DevicePowerState ? " D" + std::to_string(v - 1) : " S" + std::to_string(v - 1);
    }
    return minor + " (power IRP #" + std::to_string(id) + ")";
}

void Claim(Slot& s, PIRP irp) {
    s.active = irp;
    s.activeDone = false;
    s.left.clear();
    auto it = P().irps.find(irp);
    s.what = it != P().irps.end() ? it->second.what : "a power IRP";
}

// A driver gives up an IRP it holds (passes it on, or the IRP completes at the top): on XP a
// device whose driver did not call PoStartNextPowerIrp first never gets its next request.
void NoteLeaving(PIRP irp, PDEVICE_OBJECT holder, int kind, bool passedOn) {
    std::string name = DeviceName(holder);
    std::lock_guard<std::mutex> g(P().m);
    Slot& s = P().devices[holder].slot[kind];
    if (s.active == irp && s.left.empty()) {
        s.left = passedOn ? "it was passed on by the driver of " + name + " without PoStartNextPowerIrp"
                          : "it completed, and the driver of " + name + " never called PoStartNextPowerIrp for it";
    }
}

NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp) {
    bool pdo;
    {
        std::lock_guard<std::mutex> g(TableLock());
        DeviceTrack* d = FindDevice(device);
        pdo = d != nullptr && d->isPdo;
    }
    if (pdo) {
        std::lock_guard<std::mutex> g(P().m);
        auto it = P().irps.find(irp);
        if (it != P().irps.end()) it->second.reachedPdo = true;
    }
    t_viaPoCallDriver = true;
    return IofCallDriver(device, irp);
}

}  // namespace

// Completion of a power IRP at the top: the manager's own bookkeeping and the verifier's
// set-power rule, before the requester hears of it.
void PowerIrpDone(PIRP irp) {
    PowerIrp info;
    const NTSTATUS status = irp->IoStatus.Status;
    std::vector<PDEVICE_OBJECT> holders;
    {
        std::lock_guard<std::mutex> g(P().m);
        auto it = P().irps.find(irp);
        if (it == P().irps.end()) return;
        info = it->second;
        P().irps.erase(it);
        for (auto& [dev, d] : P().devices) {
            for (Slot& s : d.slot) {
                if (s.active != irp) continue;
                s.activeDone = true;
                if (s.left.empty()) holders.push_back(dev);
            }
        }
        if (info.minor == IRP_MN_SET_POWER && info.type == SystemPowerState && NT_SUCCESS(status)) {
            P().system = info.state.SystemState;
        }
    }
    for (PDEVICE_OBJECT dev : holders) {
        NoteLeaving(irp, dev, info.type == DevicePowerState ? 1 : 0, false);
    }
    if (info.minor != IRP_MN_SET_POWER || NT_SUCCESS(status)) return;
    const bool system = info.type == SystemPowerState;
    const bool busFailed = info.reachedPdo && !(info.busKnown && NT_SUCCESS(info.busStatus));
    if (system || !busFailed) {
        PowerViolation("SetPowerFailed", info.what + " completed with " + StatusName(status) +
                                             ": a driver may not fail a set-power request" +
                                             (system ? "" : " that its bus driver carried out"));
    }
}

// Held requests and their holders, for a watchdog report.
std::string DiagnosePower(bool* notStarted) {
    std::string s;
    std::vector<std::pair<PDEVICE_OBJECT, std::string>> lines;
    {
        std::lock_guard<std::mutex> g(P().m);
        for (auto& [dev, d] : P().devices) {
            for (Slot& sl : d.slot) {
                if (sl.waiting.empty()) continue;
                std::string line = std::to_string(sl.waiting.size()) + " request(s) wait behind " + sl.what;
                if (!sl.left.empty()) {
                    line += ", which never released the device: " + sl.left;
                    *notStarted = true;
                }
                lines.emplace_back(dev, line);
            }
        }
    }
    for (auto& [dev, line] : lines) s += "    at " + DeviceName(dev) + ": " + line + "\n";
    return s;
}

// Returns the request's description.
std::string RegisterPowerIrp(PIRP irp) {
    auto t = FindIrp(irp);
    std::lock_guard<std::mutex> g(P().m);
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    PowerIrp& p = P().irps[irp];
    P().live.emplace_back(irp, t);
    p.id = t != nullptr ? t->id : 0;
    p.what = DescribePower(s, p.id);
    p.minor = s->MinorFunction;
    p.type = s->Parameters.Power.Type;
    p.state = s->Parameters.Power.State;
    return p.what;
}

// A completed IRP is freed right after the requester's callback: waits until it is gone, so a
// caller who heard of the completion never finds the IRP still live.
void WaitPowerIrpReleased(const std::weak_ptr<IrpTrack>& t) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogMilliseconds());
    while (!t.expired()) {
        if (std::chrono::steady_clock::now() > deadline) {
            BugCheck(kBugWatchdog, "Watchdog", "a completed power IRP was not freed\n" + DescribeInFlight());
        }
        std::this_thread::yield();
    }
}

void CheckPowerCallDriver(PIRP irp) {
    if (t_viaPoCallDriver || !Serialises()) {
        t_viaPoCallDriver = false;
        return;
    }
    std::string d;
    {
        std::lock_guard<std::mutex> g(TableLock());
        d = DescribeIrp(irp);
    }
    PowerViolation("IoCallDriverForPowerIrp", "a power IRP was sent with IoCallDriver; XP requires PoCallDriver (" + d + ")");
}

void CheckPowerAtScenarioEnd() {
    sim::power::Settle();
    std::vector<std::pair<PDEVICE_OBJECT, std::string>> held;
    {
        std::lock_guard<std::mutex> g(P().m);
        for (auto& [dev, d] : P().devices) {
            for (Slot& s : d.slot) {
                if (!s.left.empty()) held.emplace_back(dev, s.what + ": " + s.left);
            }
        }
    }
    if (held.empty()) return;
    std::string msg = "the scenario ended with devices that XP would never send another power request:\n";
    for (auto& [dev, line] : held) msg += "    at " + DeviceName(dev) + ", " + line + "\n";
    BugCheck(kBugDriverVerifierViolation, "PowerIrpNotStarted", msg);
}

void ResetPower() {
    Worker& w = Work();
    std::thread t;
    {
        std::lock_guard<std::mutex> g(w.m);
        w.stop = true;
        w.q.clear();
        w.cv.notify_all();
        t = std::move(w.thread);
    }
    if (t.joinable()) t.join();
    {
        std::lock_guard<std::mutex> g(w.m);
        w.stop = false;
        w.running = false;
    }
    std::lock_guard<std::mutex> g(P().m);
    P().irps.clear();
    P().devices.clear();
    P().live.clear();
    P().system = PowerSystemWorking;
    g_os = sim::power::Os::Xp;
}

}  // namespace sim::detail

namespace sim::power {
using namespace sim::detail;

void SetOs(Os os) { g_os = os; }

Os CurrentOs() { return g_os.load(); }

SYSTEM_POWER_STATE SystemState() {
    std::lock_guard<std::mutex> g(P().m);
    return P().system;
}

DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(P().m);
    auto it = P().devices.find(device);
    return it == P().devices.end() ? PowerDeviceUnspecified : it->second.reported;
}

void NoteBusStatus(PIRP irp, NTSTATUS status) {
    std::lock_guard<std::mutex> g(P().m);
    auto it = P().irps.find(irp);
    if (it == P().irps.end()) return;
    it->second.busKnown = true;
    it->second.busStatus = status;
}

void Settle() {
    {
        Worker& w = Work();
        std::unique_lock<std::mutex> l(w.m);
        WaitWithWatchdog(l, w.cv, [&] { return w.q.empty() && !w.running; }, "the power manager's worker to finish");
    }
    std::vector<std::pair<PIRP, std::weak_ptr<IrpTrack>>> completed;
    {
        std::lock_guard<std::mutex> g(P().m);
        auto& live = P().live;
        // Requests still in flight (a wait-wake) stay on the list.
        auto inFlight = std::stable_partition(live.begin(), live.end(), [](const auto& e) {
            return !e.second.expired() && P().irps.count(e.first) != 0;
        });
        completed.assign(inFlight, live.end());
        live.erase(inFlight, live.end());
    }
    for (auto& e : completed) WaitPowerIrpReleased(e.second);
}

}  // namespace sim::power

using namespace sim;
using namespace sim::detail;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrp(Irp, "PoCallDriver");
    RequireLiveDevice(DeviceObject, "PoCallDriver");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "PoCallDriverIrql", "PoCallDriver above DISPATCH_LEVEL");
    }
    if (Irp->CurrentLocation <= 1) {
        BugCheck(kBugNoMoreIrpStackLocations, "NoMoreIrpStackLocations",
                 "PoCallDriver to " + DeviceName(DeviceObject) + " with no stack location left");
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        PowerViolation("PoCallDriverNotPower", "PoCallDriver with major function " + Hex(next->MajorFunction));
    }
    const int kind = SerialKind(next);
    if (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
        if (SerialKind(cur) >= 0) NoteLeaving(Irp, cur->DeviceObject, SerialKind(cur), true);
    }
    const bool defer = (DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && KeGetCurrentIrql() > PASSIVE_LEVEL;
    bool queued = false;
    if (kind >= 0) {
        std::lock_guard<std::mutex> g(P().m);
        Slot& s = P().devices[DeviceObject].slot[kind];
        if (s.active != nullptr) {
            s.waiting.push_back(Irp);
            queued = true;
        } else {
            Claim(s, Irp);
        }
    }
    if (!queued && !defer) return Deliver(DeviceObject, Irp);
    // The request goes on later, from the worker: the caller sees it pending.
    if (Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
    if (!Frames().empty() && Frames().back()->kind == Frame::Kind::Dispatch && Frames().back()->irp == Irp) {
        Frames().back()->forwardedHere = true;
        Frames().back()->lowerReturned = STATUS_PENDING;
    }
    if (!queued) Post([DeviceObject, Irp] { (void)Deliver(DeviceObject, Irp); });
    return STATUS_PENDING;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrp(Irp, "PoStartNextPowerIrp");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "PoStartNextPowerIrpIrql", "PoStartNextPowerIrp above DISPATCH_LEVEL");
    }
    if (!Serialises()) return;  // Windows 7: nothing to release
    if (Irp->CurrentLocation > Irp->StackCount) {
        PowerViolation("StartNextWithoutLocation",
                       "PoStartNextPowerIrp on a power IRP by a caller that holds no stack location of it");
    }
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
    const int kind = SerialKind(cur);
    if (kind < 0) return;
    PDEVICE_OBJECT device = cur->DeviceObject;
    PIRP next = nullptr;
    {
        std::lock_guard<std::mutex> g(P().m);
        Slot& s = P().devices[device].slot[kind];
        if (s.active != Irp || s.activeDone) return;
        s.active = nullptr;
        s.left.clear();
        if (!s.waiting.empty()) {
            next = s.waiting.front();
            s.waiting.pop_front();
            Claim(s, next);
        }
    }
    if (next != nullptr) Post([device, next] { (void)Deliver(device, next); });
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "PoRequestPowerIrpIrql", "PoRequestPowerIrp above DISPATCH_LEVEL");
    }
    RequireLiveDevice(DeviceObject, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (faults::ShouldFail(FaultKind::AllocateIrp, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = pnp::TopOfStack(DeviceObject);
    // The callback runs on behalf of the requester, after every completion routine.
    PDRIVER_OBJECT driver = CurrentDriver();
    PDEVICE_OBJECT requester = CurrentDevice();
    PIRP irp = AllocateManagedIrp(top->StackSize, IrpOrigin::Power,
                                  [=](PIRP done) {
                                      PowerIrpDone(done);
                                      if (CompletionFunction == nullptr) return;
                                      Frame f;
                                      f.kind = Frame::Kind::Completion;
                                      f.device = requester;
                                      f.driver = driver;
                                      FrameScope scope(&f);
                                      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context,
                                                         &done->IoStatus);
                                  });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    (void)RegisterPowerIrp(irp);
    if (Irp != nullptr) *Irp = irp;
    (void)PoCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "PoSetPowerStateIrql", "PoSetPowerState above DISPATCH_LEVEL");
    }
    RequireLiveDevice(DeviceObject, "PoSetPowerState");
    POWER_STATE old = State;
    if (Type != DevicePowerState) return old;
    std::lock_guard<std::mutex> g(P().m);
    DevicePower& d = P().devices[DeviceObject];
    old.DeviceState = d.reported;
    d.reported = State.DeviceState;
    return old;
}

}  // extern "C"
