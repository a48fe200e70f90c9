// The routine watchdog. Every driver routine the model calls (DriverEntry, AddDevice, dispatch,
// completion, cancel, unload) and every DPC registers while it runs; a monitor thread bug-checks
// when one has not returned within the watchdog's limit. A wait inside a routine is caught by
// the wait's own watchdog too, but a routine that spins (a loop that makes no progress, a spin
// lock it never gets) waits on nothing and is caught only here.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace sim::detail {
namespace {
using Clock = std::chrono::steady_clock;

// What the monitor may read of a running routine: copies, since the frame itself belongs to
// the routine's thread.
struct Running {
    Frame::Kind kind;
    PIRP irp;
    std::shared_ptr<IrpTrack> track;
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    Clock::time_point since;
};

struct Registry {
    std::mutex m;
    std::map<uint64_t, Running> running;
    uint64_t next = 1;
    bool monitoring = false;
};
Registry& R() {
    static Registry* r = new Registry();  // never destroyed: the monitor outlives static teardown
    return *r;
}

const char* KindName(Frame::Kind k) {
    switch (k) {
        case Frame::Kind::Dispatch: return "dispatch routine";
        case Frame::Kind::Completion: return "completion routine";
        case Frame::Kind::AddDevice: return "AddDevice routine";
        case Frame::Kind::DriverEntry: return "DriverEntry";
        case Frame::Kind::Unload: return "Unload routine";
        case Frame::Kind::Cancel: return "cancel routine";
        case Frame::Kind::Dpc: return "DPC";
        case Frame::Kind::Model: break;
    }
    return "routine";
}

std::string Describe(const Running& r) {
    std::string s = std::string("the ") + KindName(r.kind);
    if (r.device != nullptr) {
        s += " of " + DeviceName(r.device);
    } else if (r.driver != nullptr) {
        s += " of " + DriverName(r.driver);
    }
    if (r.irp != nullptr) {
        std::lock_guard<std::mutex> g(TableLock());
        s += " for " + DescribeIrp(r.irp);
    }
    return s;
}

void MonitorMain() {
    Registry& r = R();
    std::unique_lock<std::mutex> l(r.m);
    for (;;) {
        const auto limit = std::chrono::milliseconds(WatchdogMilliseconds());
        const auto now = Clock::now();
        for (const auto& [token, run] : r.running) {
            if (now - run.since <= limit) continue;
            const Running late = run;
            l.unlock();
            BugCheck(kBugWatchdog, "RoutineDidNotReturn",
                     Describe(late) + " has not returned within " + std::to_string(limit.count()) +
                         " ms (it spins or is blocked)\n" + DescribeInFlight());
        }
        l.unlock();
        std::this_thread::sleep_for(std::clamp(limit / 4, std::chrono::milliseconds(5), std::chrono::milliseconds(250)));
        l.lock();
    }
}
}  // namespace

uint64_t EnterRoutine(const Frame& f) {
    if (f.kind == Frame::Kind::Model) return 0;
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.m);
    if (!r.monitoring) {
        r.monitoring = true;
        std::thread(MonitorMain).detach();
    }
    const uint64_t token = r.next++;
    r.running.emplace(token, Running{f.kind, f.irp, f.track, f.device, f.driver, Clock::now()});
    return token;
}

void LeaveRoutine(uint64_t token) {
    if (token == 0) return;
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.m);
    r.running.erase(token);
}

void FrameScope::IrqlChanged() const {
    const bool dpc = frame_->kind == Frame::Kind::Dpc;
    BugCheck(kBugIrqlNotLessOrEqual, dpc ? "DpcIrqlChanged" : "RoutineIrqlChanged",
             std::string("a ") + KindName(frame_->kind) + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                 " instead of " + std::to_string(irql_));
}

}  // namespace sim::detail
