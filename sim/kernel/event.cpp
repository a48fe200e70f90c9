// Kernel events and waits. An event's state lives in its own DISPATCHER_HEADER, as on Windows,
// so an event on a driver's stack needs no registration; one dispatcher lock and condition
// variable serve every waiter.
#include "internal.h"

#include <chrono>
#include <thread>

namespace sim::detail {
namespace {
std::mutex& DispatcherLock() {
    static std::mutex m;
    return m;
}
std::condition_variable& DispatcherCv() {
    static std::condition_variable cv;
    return cv;
}

constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

// KeSetEvent(..., Wait = TRUE) returns at DISPATCH_LEVEL, as Windows returns holding the
// dispatcher lock; the thread's next call must be a wait, which restores this IRQL.
thread_local bool t_waitNext = false;
thread_local KIRQL t_irqlBeforeSet = PASSIVE_LEVEL;

// System time in 100 ns units since 1601, as KeQuerySystemTime reports it.
LONGLONG SystemTimeNow() {
    constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochIn1601 + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// A time-out or interval as a relative duration in 100 ns units: negative values are relative,
// positive ones absolute system times (one in the past is no time at all).
LONGLONG RelativeTime(LONGLONG t) {
    if (t <= 0) return -t;
    const LONGLONG left = t - SystemTimeNow();
    return left > 0 ? left : 0;
}

void RequireEvent(PKEVENT e, const char* api) {
    if (e == nullptr) {
        BugCheck(kBugDriverVerifierViolation, "NullEvent", std::string(api) + " on a NULL event");
    }
    if ((e->Header.Type != NotificationEvent && e->Header.Type != SynchronizationEvent) ||
        e->Header.Size != kEventSize) {
        BugCheck(kBugDriverVerifierViolation, "UninitializedEvent",
                 std::string(api) + " on an event that KeInitializeEvent never set up (" +
                     Hex(reinterpret_cast<uintptr_t>(e)) + ")");
    }
}
}  // namespace
}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = kEventSize;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL || (Wait && KeGetCurrentIrql() > APC_LEVEL)) {
        BugCheck(kBugIrqlNotLessOrEqual, "KeSetEventIrql", "KeSetEvent at too high an IRQL");
    }
    RequireEvent(Event, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> g(DispatcherLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        DispatcherCv().notify_all();
    }
    if (Wait) {
        t_irqlBeforeSet = KfRaiseIrql(DISPATCH_LEVEL);
        t_waitNext = true;
    }
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireEvent(Event, "KeResetEvent");
    std::lock_guard<std::mutex> g(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { (void)KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    RequireEvent(Event, "KeReadStateEvent");
    std::lock_guard<std::mutex> g(DispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)Alertable;
    auto* e = static_cast<PKEVENT>(Object);
    if (t_waitNext) {  // the wait that follows KeSetEvent(Wait = TRUE) ends its DISPATCH_LEVEL
        t_waitNext = false;
        KfLowerIrql(t_irqlBeforeSet);
    }
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && KeGetCurrentIrql() > APC_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "WaitAtDispatchLevel",
                 "a blocking KeWaitForSingleObject at IRQL " + std::to_string(KeGetCurrentIrql()) +
                     " (only a zero time-out is allowed at DISPATCH_LEVEL)");
    }
    if (WaitMode != KernelMode) {
        BugCheck(kBugDriverVerifierViolation, "UserModeWait", "a kernel driver waited in UserMode");
    }
    RequireEvent(e, "KeWaitForSingleObject");
    {
        std::lock_guard<std::mutex> g(TableLock());
        ++W().summary.waits;
    }
    std::unique_lock<std::mutex> l(DispatcherLock());
    auto signalled = [&] { return e->Header.SignalState != 0; };
    if (Timeout != nullptr && !poll) {
        DispatcherCv().wait_for(l, std::chrono::microseconds(RelativeTime(Timeout->QuadPart) / 10), signalled);
    } else if (!poll) {
        WaitWithWatchdog(l, DispatcherCv(), signalled, "KeWaitForSingleObject without time-out");
    }
    if (!signalled()) return STATUS_TIMEOUT;
    if (e->Header.Type == SynchronizationEvent) e->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (KeGetCurrentIrql() > APC_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "DelayAtDispatchLevel", "KeDelayExecutionThread above APC_LEVEL");
    }
    std::this_thread::sleep_for(std::chrono::microseconds(RelativeTime(Interval->QuadPart) / 10));
    return STATUS_SUCCESS;
}

}  // extern "C"
