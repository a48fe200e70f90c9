// IRPs: allocation, IoCallDriver with the verifier's dispatch checks, the completion walk of
// IoCompleteRequest, what happens at the top of the stack for each kind of IRP, and
// IoCancelIrp with the cancel spin lock.
#include "internal.h"
#include "power.h"

#include <cstdlib>
#include <cstring>

namespace sim::detail {
namespace {
thread_local char t_threadToken;
thread_local bool t_holdsCancelLock = false;
KSPIN_LOCK g_cancelLock = 0;

const char* OriginName(IrpOrigin o) {
    switch (o) {
        case IrpOrigin::Allocated: return "IoAllocateIrp";
        case IrpOrigin::BuiltIoctl: return "IoBuildDeviceIoControlRequest";
        case IrpOrigin::BuiltFsd: return "IoBuildSynchronousFsdRequest";
        case IrpOrigin::Pnp: return "PnP manager";
        case IrpOrigin::Power: return "power manager";
        case IrpOrigin::User: return "I/O manager (user request)";
    }
    return "?";
}

void ResetLocations(IrpTrack& t, int upTo) {
    for (int i = 1; i <= upTo && i < static_cast<int>(t.popped.size()); ++i) {
        t.popped[i] = false;
        t.pendingSeen[i] = false;
        t.propagated[i] = false;
    }
}

void InitIrp(PIRP irp, CCHAR stackSize, UCHAR allocationFlags) {
    std::memset(irp, 0, sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp->AllocationFlags = allocationFlags;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = Location(irp, stackSize + 1);
}

[[noreturn]] void IoViolation(const char* rule, const std::string& msg) {
    BugCheck(kBugIoManagerViolation, rule, msg);
}

void Scrub(PIO_STACK_LOCATION s, bool keepControlError) {
    s->MinorFunction = 0;
    s->Flags = 0;
    s->Parameters.Others.Argument1 = nullptr;
    s->Parameters.Others.Argument2 = nullptr;
    s->Parameters.Others.Argument3 = nullptr;
    s->FileObject = nullptr;
    s->Control = keepControlError ? static_cast<UCHAR>(s->Control & SL_ERROR_RETURNED) : 0;
}

std::condition_variable& RoutineCv() {
    static std::condition_variable cv;
    return cv;
}

// Waits until no completion routine of this IRP runs on another thread. Returns true when one
// runs on the calling thread itself.
bool SettleRoutine(const std::shared_ptr<IrpTrack>& t) {
    std::unique_lock<std::mutex> l(TableLock());
    if (t->routineActive && t->routineThread == std::this_thread::get_id()) return true;
    WaitWithWatchdog(l, RoutineCv(), [&] { return !t->routineActive; }, "a completion routine to return");
    return false;
}

// Frames are matched by the IRP's record, not its address: an IRP may be freed while a dispatch
// routine that handled it still runs, and a new IRP may then get the same address.
Frame* FindDispatchFrame(const std::shared_ptr<IrpTrack>& t, int location) {
    auto& f = Frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if ((*it)->kind == Frame::Kind::Dispatch && (*it)->track == t && (*it)->location == location) return *it;
    }
    return nullptr;
}
}  // namespace

PIO_STACK_LOCATION Location(PIRP irp, int index) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
}

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin) {
    if (stackSize < 1) IoViolation("IrpStackSize", "an IRP with no stack location was requested");
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(std::malloc(bytes));
    InitIrp(irp, stackSize, stackSize <= 8 ? IRP_ALLOCATED_FIXED_SIZE : 0);
    auto t = std::make_shared<IrpTrack>();
    t->origin = origin;
    t->stackCount = stackSize;
    t->popped.assign(static_cast<size_t>(stackSize) + 2, false);
    t->pendingSeen.assign(static_cast<size_t>(stackSize) + 2, false);
    t->propagated.assign(static_cast<size_t>(stackSize) + 2, false);
    std::lock_guard<std::mutex> g(TableLock());
    t->id = W().nextIrpId++;
    W().freedIrps.erase(irp);
    W().irps[irp] = t;
    ++W().summary.irpsAllocated;
    return irp;
}

void FreeIrpStorage(PIRP irp) {
    std::memset(irp, 0xDD, sizeof(IRP));
    std::free(irp);
}

std::shared_ptr<IrpTrack> FindIrp(PIRP irp) {
    std::lock_guard<std::mutex> g(TableLock());
    auto it = W().irps.find(irp);
    return it == W().irps.end() ? nullptr : it->second;
}

std::shared_ptr<IrpTrack> RequireIrp(PIRP irp, const char* api) {
    bool freed;
    {
        std::lock_guard<std::mutex> g(TableLock());
        auto it = W().irps.find(irp);
        if (it != W().irps.end()) return it->second;
        freed = W().freedIrps.count(irp) != 0;
    }
    if (freed) {
        BugCheck(kBugMultipleIrpComplete, "IrpUsedAfterFree",
                 std::string(api) + " on IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                     ", which was already completed and freed");
    }
    IoViolation("UnknownIrp", std::string(api) + " on " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                  ", which is not an IRP");
}

static void Release(PIRP irp) {
    {
        std::lock_guard<std::mutex> g(TableLock());
        W().irps.erase(irp);
        W().freedIrps.insert(irp);
    }
    FreeIrpStorage(irp);
}

std::string DescribeIrp(PIRP irp) {
    auto it = W().irps.find(irp);
    std::string s = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
    if (it == W().irps.end()) return s + " (freed)";
    const IrpTrack& t = *it->second;
    s += std::string(" from ") + OriginName(t.origin);
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION st = Location(irp, irp->CurrentLocation);
        s += ", major " + Hex(st->MajorFunction) + " minor " + Hex(st->MinorFunction);
        if (st->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL || st->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            s += " code " + Hex(st->Parameters.DeviceIoControl.IoControlCode);
        }
        auto d = W().devices.find(st->DeviceObject);
        s += ", held by " + (d == W().devices.end() ? std::string("?") : d->second.name);
    }
    static const char* states[] = {"not sent", "in flight", "completing", "stopped by its completion routine",
                                   "done"};
    s += std::string(", ") + states[static_cast<int>(t.state)];
    if (irp->Cancel) s += ", cancelled";
    return s;
}

std::string DescribeInFlight() {
    std::lock_guard<std::mutex> g(TableLock());
    std::string s;
    for (auto& [irp, t] : W().irps) {
        if (t->state == IrpTrack::State::Idle) continue;
        s += "    " + DescribeIrp(irp) + "\n";
    }
    return s.empty() ? "    no request in flight\n" : "    requests in flight:\n" + s;
}

namespace {
// The verifier's checks when a dispatch routine returns.
void CheckDispatchReturn(PIRP irp, const Frame& f, NTSTATUS status) {
    const char* rule = nullptr;
    std::string msg;
    {
        std::lock_guard<std::mutex> g(TableLock());
        ++W().summary.dispatchChecks;
        const IrpTrack& t = *f.track;
        int loc = f.location;
        bool popped = t.popped[loc];
        bool marked = popped ? (t.pendingSeen[loc] && !t.propagated[loc])
                             : ((__atomic_load_n(&Location(irp, loc)->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0 &&
                                !t.propagated[loc]);
        DeviceTrack* dt = FindDevice(f.device);
        std::string who = "the dispatch routine of " + (dt != nullptr ? dt->name : std::string("a deleted device"));
        if (status == STATUS_PENDING) {
            if (!marked && !(f.forwardedHere && f.lowerReturned == STATUS_PENDING)) {
                rule = "PendingWithoutMark";
                msg = who + " returned STATUS_PENDING without IoMarkIrpPending";
            }
        } else if (marked) {
            rule = "MarkedPendingReturnedOther";
            msg = who + " marked the IRP pending but returned " + StatusName(status);
        } else if (!popped) {
            rule = "IrpNotFinished";
            msg = who + " returned " + StatusName(status) +
                  " although the IRP is neither completed nor pending (it is lost)";
        } else if (f.completedHere && status != f.completedStatus) {
            rule = "ReturnDiffersFromCompletion";
            msg = who + " completed the IRP with " + StatusName(f.completedStatus) + " but returned " +
                  StatusName(status);
        } else if (!f.completedHere && f.forwardedHere && status != f.lowerReturned) {
            rule = "LowerDriverReturn";
            msg = who + " passed the IRP down, which returned " + StatusName(f.lowerReturned) +
                  ", but returned " + StatusName(status);
        }
    }
    if (rule != nullptr) IoViolation(rule, msg);
}

void AtTop(PIRP irp, const std::shared_ptr<IrpTrack>& t) {
    t->state = IrpTrack::State::Done;
    NTSTATUS status = irp->IoStatus.Status;
    switch (t->origin) {
        case IrpOrigin::Allocated:
            IoViolation("AllocatedIrpReachedTop",
                        "an IRP from IoAllocateIrp completed past its last stack location: its sender's "
                        "completion routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
        case IrpOrigin::BuiltIoctl:
        case IrpOrigin::BuiltFsd: {
            if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
                status != STATUS_VERIFY_REQUIRED && irp->IoStatus.Information != 0) {
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
            }
            if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(t->systemBuffer);
            bool report = !NT_ERROR(status) || (irp->PendingReturned && !(irp->Flags & IRP_SYNCHRONOUS_API));
            if (report) {
                *irp->UserIosb = irp->IoStatus;
                KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
            }
            break;
        }
        default:
            if (t->onTop) t->onTop(irp);
            break;
    }
    Release(irp);
}
}  // namespace

PIRP AllocateManaged(CCHAR stackSize, IrpOrigin origin, std::function<void(PIRP)> onTop) {
    PIRP irp = NewIrp(stackSize, origin);
    std::lock_guard<std::mutex> g(TableLock());
    W().irps[irp]->onTop = std::move(onTop);
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&t_threadToken);
    return irp;
}

}  // namespace sim::detail

namespace sim {
PIRP AllocateManagedIrp(CCHAR stackSize, IrpOrigin origin, std::function<void(PIRP)> onTop) {
    return detail::AllocateManaged(stackSize, origin, std::move(onTop));
}
}  // namespace sim

using namespace sim;
using namespace sim::detail;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    if (faults::ShouldFail(FaultKind::AllocateIrp, __builtin_return_address(0))) return nullptr;
    return NewIrp(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    auto t = RequireIrp(Irp, "IoFreeIrp");
    bool insideOwnRoutine = SettleRoutine(t);
    if (t->origin != IrpOrigin::Allocated) {
        IoViolation("FreeThreadedIrp", "IoFreeIrp on an IRP that the I/O manager owns (" +
                                           DescribeIrp(Irp) + "); it is freed when it completes");
    }
    if (insideOwnRoutine) {
        // Freeing from the IRP's own completion routine is sound only if that routine then
        // returns STATUS_MORE_PROCESSING_REQUIRED; the walk frees it when it does.
        std::lock_guard<std::mutex> g(TableLock());
        t->freeRequested = true;
        return;
    }
    if (t->state == IrpTrack::State::InFlight || t->state == IrpTrack::State::Completing) {
        std::string d;
        {
            std::lock_guard<std::mutex> g(TableLock());
            d = DescribeIrp(Irp);
        }
        IoViolation("FreeIrpInFlight", "IoFreeIrp on an IRP still in flight: " + d);
    }
    Release(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    auto t = RequireIrp(Irp, "IoReuseIrp");
    SettleRoutine(t);
    if (t->state == IrpTrack::State::InFlight || t->state == IrpTrack::State::Completing) {
        IoViolation("ReuseIrpInFlight", "IoReuseIrp on an IRP still in flight");
    }
    InitIrp(Irp, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> g(TableLock());
    t->state = IrpTrack::State::Idle;
    ResetLocations(*t, t->stackCount + 1);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "BuildIoctlIrql", "IoBuildDeviceIoControlRequest above APC_LEVEL");
    }
    RequireLiveDevice(DeviceObject, "IoBuildDeviceIoControlRequest");
    if (faults::ShouldFail(FaultKind::BuildIoctl, __builtin_return_address(0))) return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpOrigin::BuiltIoctl);
    auto t = FindIrp(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (IoControlCode & 3) {
        case METHOD_BUFFERED: {
            ULONG len = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (len != 0) {
                t->systemBuffer = std::calloc(1, len);
                if (InputBuffer != nullptr && InputBufferLength != 0) {
                    std::memcpy(t->systemBuffer, InputBuffer, InputBufferLength);
                }
                irp->AssociatedIrp.SystemBuffer = t->systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr) irp->Flags |= IRP_INPUT_OPERATION;
            }
            irp->UserBuffer = OutputBuffer;
            break;
        }
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            IoViolation("UnsupportedMethod", "the model builds only METHOD_BUFFERED and METHOD_NEITHER requests");
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&t_threadToken);
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto t = RequireIrp(Irp, "IoCallDriver");
    SettleRoutine(t);
    RequireLiveDevice(DeviceObject, "IoCallDriver");
    if (__atomic_load_n(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), __ATOMIC_SEQ_CST) != nullptr) {
        IoViolation("CallDriverWithCancelRoutine", "IoCallDriver on an IRP that still has a cancel routine");
    }
    if (t->origin == IrpOrigin::Allocated && Irp->CurrentLocation == Irp->StackCount + 1 &&
        IoGetNextIrpStackLocation(Irp)->CompletionRoutine == nullptr) {
        IoViolation("AllocatedIrpWithoutCompletion",
                    "an IRP from IoAllocateIrp sent without a completion routine to take it back");
    }
    if (Irp->CurrentLocation <= 1) {
        BugCheck(kBugNoMoreIrpStackLocations, "NoMoreIrpStackLocations",
                 "IoCallDriver to " + DeviceName(DeviceObject) + " with no stack location left");
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        IoViolation("BadMajorFunction", "IoCallDriver with major function " + Hex(stack->MajorFunction));
    }
    if (stack->MajorFunction == IRP_MJ_POWER) CheckPowerCallDriver(Irp);
    Frame* parent = Frames().empty() ? nullptr : Frames().back();
    Frame f = MakeFrame(Frame::Kind::Dispatch, Irp, t, Irp->CurrentLocation, DeviceObject);
    {
        std::lock_guard<std::mutex> g(TableLock());
        t->state = IrpTrack::State::InFlight;
        ResetLocations(*t, f.location);
        ++W().summary.callsDriver;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status;
    {
        FrameScope scope(&f);
        status = dispatch(DeviceObject, Irp);
    }
    CheckDispatchReturn(Irp, f, status);
    if (parent != nullptr && parent->track == t) {
        parent->forwardedHere = true;
        parent->lowerReturned = status;
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    auto t = RequireIrp(Irp, "IoCompleteRequest");
    SettleRoutine(t);
    if (t->state == IrpTrack::State::Completing || Irp->CurrentLocation > Irp->StackCount) {
        BugCheck(kBugMultipleIrpComplete, "MultipleIrpComplete",
                 "IoCompleteRequest on an IRP whose completion is already under way or done");
    }
    if (t->state == IrpTrack::State::Idle) {
        IoViolation("CompleteUnsentIrp", "IoCompleteRequest on an IRP that was never sent");
    }
    if (__atomic_load_n(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), __ATOMIC_SEQ_CST) != nullptr) {
        IoViolation("CompletedWithCancelRoutine", "IRP completed with its cancel routine still set");
    }
    NTSTATUS status = Irp->IoStatus.Status;
    if (status == STATUS_PENDING || static_cast<ULONG>(status) == 0xFFFFFFFFu) {
        IoViolation("CompletedWithPendingStatus", "IRP completed with status " + StatusName(status));
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "CompleteAboveDispatch", "IoCompleteRequest above DISPATCH_LEVEL");
    }
    if (Frame* f = FindDispatchFrame(t, Irp->CurrentLocation)) {
        f->completedHere = true;
        f->completedStatus = status;
    }
    {
        std::lock_guard<std::mutex> g(TableLock());
        t->state = IrpTrack::State::Completing;
        ++W().summary.irpsCompleted;
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        int popLoc = Irp->CurrentLocation;
        PIO_STACK_LOCATION s = Location(Irp, popLoc);
        // The location's Control is read and scrubbed under the table lock, because the
        // verifier's check of a dispatch routine that has not returned yet may read it from
        // another thread.
        UCHAR control;
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        {
            std::lock_guard<std::mutex> g(TableLock());
            control = __atomic_load_n(&s->Control, __ATOMIC_RELAXED);
            t->popped[popLoc] = true;
            t->pendingSeen[popLoc] = (control & SL_PENDING_RETURNED) != 0;
            routine = s->CompletionRoutine;
            context = s->Context;
        }
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        NTSTATUS st = Irp->IoStatus.Status;
        bool invoke = routine != nullptr && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
        std::unique_lock<std::mutex> scrubLock(TableLock());
        if (!invoke) {
            if (!atTop && Irp->PendingReturned) {
                IoMarkIrpPending(Irp);
                t->propagated[Irp->CurrentLocation] = true;
            }
            Scrub(s, false);
            continue;
        }
        Scrub(s, true);
        scrubLock.unlock();
        PDEVICE_OBJECT dev = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        Frame f = MakeFrame(Frame::Kind::Completion, Irp, t, Irp->CurrentLocation, dev);
        {
            std::lock_guard<std::mutex> g(TableLock());
            t->routineActive = true;
            t->routineThread = std::this_thread::get_id();
        }
        NTSTATUS result;
        {
            FrameScope scope(&f);
            result = routine(dev, Irp, context);
        }
        bool freeNow;
        {
            std::lock_guard<std::mutex> g(TableLock());
            t->routineActive = false;
            if (result == STATUS_MORE_PROCESSING_REQUIRED && t->state == IrpTrack::State::Completing) {
                t->state = IrpTrack::State::Stopped;
            }
            freeNow = t->freeRequested;
            RoutineCv().notify_all();
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            if (freeNow) Release(Irp);
            return;
        }
        if (freeNow) {
            IoViolation("FreedIrpCompletionContinued",
                        "a completion routine freed its IRP but let completion go on");
        }
        if (!atTop && Irp->PendingReturned &&
            !(__atomic_load_n(&IoGetCurrentIrpStackLocation(Irp)->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED)) {
            IoViolation("PendingNotPropagated",
                        "a completion routine let completion go on without IoMarkIrpPending although "
                        "PendingReturned was set");
        }
    }
    AtTop(Irp, t);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    auto t = RequireIrp(Irp, "IoCancelIrp");
    SettleRoutine(t);
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = reinterpret_cast<PDRIVER_CANCEL>(
        __atomic_exchange_n(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr, __ATOMIC_SEQ_CST));
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(old);
        return FALSE;
    }
    if (t->state != IrpTrack::State::InFlight) {
        IoReleaseCancelSpinLock(old);
        IoViolation("CancelRoutineOnCompletedIrp", "an IRP that is not in flight had a cancel routine");
    }
    Irp->CancelIrql = old;
    PDEVICE_OBJECT dev = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    Frame f = MakeFrame(Frame::Kind::Cancel, Irp, t, 0, dev);
    {
        FrameScope scope(&f);
        routine(dev, Irp);
    }
    if (t_holdsCancelLock) {
        BugCheck(kBugDriverVerifierViolation, "CancelRoutineKeptLock",
                 "a cancel routine returned without IoReleaseCancelSpinLock");
    }
    return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
    t_holdsCancelLock = true;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    if (!t_holdsCancelLock) {
        BugCheck(kBugDriverVerifierViolation, "CancelLockNotHeld", "IoReleaseCancelSpinLock without the lock");
    }
    t_holdsCancelLock = false;
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

}  // extern "C"
