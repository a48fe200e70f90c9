// IRQL per thread, spin locks and the DPC thread.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <string_view>
#include <thread>

namespace sim {
namespace detail {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
// Spin locks the thread holds, in acquisition order (a processor's, on Windows).
thread_local std::vector<PKSPIN_LOCK> t_held;

bool HeldHere(PKSPIN_LOCK lock) { return std::find(t_held.begin(), t_held.end(), lock) != t_held.end(); }

struct DpcQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> q;
    bool running = false;  // a DPC is executing
    bool stop = false;
    std::thread thread;
};
DpcQueue& Dpcs() {
    static DpcQueue* d = new DpcQueue();
    return *d;
}

void DpcThreadMain() {
    DpcQueue& d = Dpcs();
    std::unique_lock<std::mutex> l(d.m);
    for (;;) {
        d.cv.wait(l, [&] { return d.stop || !d.q.empty(); });
        if (d.q.empty()) return;
        auto fn = std::move(d.q.front());
        d.q.pop_front();
        d.running = true;
        l.unlock();
        t_irql = DISPATCH_LEVEL;
        {
            Frame f;  // watched, and checked to return at DISPATCH_LEVEL
            f.kind = Frame::Kind::Dpc;
            FrameScope scope(&f);
            fn();
        }
        t_irql = PASSIVE_LEVEL;
        l.lock();
        d.running = false;
        d.cv.notify_all();
    }
}
}  // namespace

namespace {
// The highest IRQL at which each platform call may be made, as the WDK documents it.
struct IrqlLimit {
    const char* api;
    KIRQL highest;
};
constexpr IrqlLimit kIrqlLimits[] = {
    {"IoCreateDevice", PASSIVE_LEVEL},
    {"IoDeleteDevice", PASSIVE_LEVEL},
    {"IoAttachDeviceToDeviceStack", PASSIVE_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL},
    {"IoRegisterDeviceInterface", PASSIVE_LEVEL},
    {"IoSetDeviceInterfaceState", PASSIVE_LEVEL},
    {"IoBuildDeviceIoControlRequest", APC_LEVEL},
    {"ExAllocatePoolWithTag(PagedPool)", APC_LEVEL},
    {"ExFreePool(PagedPool)", APC_LEVEL},
    {"PAGED_CODE", APC_LEVEL},
    {"IoCallDriver", DISPATCH_LEVEL},
    {"IoAllocateIrp", DISPATCH_LEVEL},
    {"IoFreeIrp", DISPATCH_LEVEL},
    {"IoCancelIrp", DISPATCH_LEVEL},
    {"IoCompleteRequest", DISPATCH_LEVEL},
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL},
    {"ExFreePool", DISPATCH_LEVEL},
};
}  // namespace

void RequireIrql(const char* api) {
    for (const IrqlLimit& l : kIrqlLimits) {
        if (std::string_view(l.api) != api) continue;
        if (t_irql > l.highest) {
            BugCheck(kBugIrqlNotLessOrEqual, "IrqlTooHigh",
                     std::string(api) + " at IRQL " + std::to_string(t_irql) + "; at most " +
                         std::to_string(l.highest) + " is allowed");
        }
        return;
    }
    BugCheck(kBugDriverVerifierViolation, "ModelIrqlTable", std::string(api) + " has no IRQL limit in the table");
}

void ResetIrql() {
    t_irql = PASSIVE_LEVEL;
    t_held.clear();
}

void StopDpcThread() {
    DpcQueue& d = Dpcs();
    std::thread t;
    {
        std::unique_lock<std::mutex> l(d.m);
        if (!d.thread.joinable()) return;
        d.stop = true;
        d.q.clear();
        d.cv.notify_all();
        t = std::move(d.thread);
    }
    t.join();
    std::lock_guard<std::mutex> g(d.m);
    d.stop = false;
    d.running = false;
}

}  // namespace detail

using namespace detail;

void QueueDpc(std::function<void()> fn) {
    DpcQueue& d = Dpcs();
    std::lock_guard<std::mutex> g(d.m);
    if (!d.thread.joinable()) d.thread = std::thread(DpcThreadMain);
    d.q.push_back(std::move(fn));
    d.cv.notify_all();
}

void FlushDpcs() {
    DpcQueue& d = Dpcs();
    std::unique_lock<std::mutex> l(d.m);
    if (!d.thread.joinable()) return;
    WaitWithWatchdog(l, d.cv, [&] { return d.q.empty() && !d.running; }, "queued DPCs to finish");
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
    KIRQL old = t_irql;
    t_irql = irql;
    fn();
    if (t_irql != irql) {
        BugCheck(kBugIrqlNotLessOrEqual, "IrqlNotRestored",
                 "code run at IRQL " + std::to_string(irql) + " returned at IRQL " + std::to_string(t_irql));
    }
    t_irql = old;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    if (NewIrql < t_irql) {
        BugCheck(kBugIrqlNotLessOrEqual, "IrqlNotGreaterOrEqual",
                 "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(t_irql));
    }
    KIRQL old = t_irql;
    t_irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql) {
        BugCheck(kBugIrqlNotLessOrEqual, "IrqlNotLessOrEqual",
                 "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(t_irql));
    }
    if (NewIrql < DISPATCH_LEVEL && !t_held.empty()) {
        BugCheck(kBugIrqlNotLessOrEqual, "IrqlLoweredWithSpinLockHeld",
                 "IRQL lowered to " + std::to_string(NewIrql) + " while the thread holds a spin lock");
    }
    t_irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql < DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "SpinLockBelowDispatch",
                 "KeAcquireSpinLockAtDpcLevel called below DISPATCH_LEVEL");
    }
    if (HeldHere(SpinLock)) {
        BugCheck(kBugDriverVerifierViolation, "SpinLockRecursion",
                 "a spin lock acquired again by the thread that holds it (it would spin forever)");
    }
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) std::this_thread::yield();
    t_held.push_back(SpinLock);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0) {
        BugCheck(kBugDriverVerifierViolation, "SpinLockNotHeld", "releasing a spin lock that is not held");
    }
    if (!HeldHere(SpinLock)) {
        BugCheck(kBugDriverVerifierViolation, "SpinLockReleasedByOtherThread",
                 "releasing a spin lock that another thread (processor) holds");
    }
    t_held.erase(std::find(t_held.begin(), t_held.end(), SpinLock));
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    if (t_irql > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "SpinLockAboveDispatch", "KeAcquireSpinLock above DISPATCH_LEVEL");
    }
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KefReleaseSpinLockFromDpcLevel(SpinLock);
    KfLowerIrql(NewIrql);
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(MicroSeconds));
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    BugCheck(BugCheckCode, "KeBugCheckEx",
             "the driver called KeBugCheckEx(" + Hex(P1) + ", " + Hex(P2) + ", " + Hex(P3) + ", " + Hex(P4) + ")");
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    BugCheck(kBugDriverVerifierViolation, "AssertionFailed",
             std::string(static_cast<const char*>(FailedAssertion)) + " at " + static_cast<const char*>(FileName) +
                 ":" + std::to_string(LineNumber) + (Message != nullptr ? std::string(" ") + Message : ""));
}

ULONG DbgPrint(PCSTR Format, ...) {
    (void)Format;
    return 0;
}

}  // extern "C"
