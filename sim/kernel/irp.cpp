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

// Notes that `api` takes the IRP over. Returns true when a completion routine of the IRP has
// not returned yet: the take is sound only if that routine returns
// STATUS_MORE_PROCESSING_REQUIRED, which the walk checks when it does.
bool NoteTake(const std::shared_ptr<IrpTrack>& t, const char* api) {
    std::lock_guard<std::mutex> g(TableLock());
    if (t->routinesRunning == 0) return false;
    ++t->taken;
    t->takenBy = api;
    return true;
}

// Gives the IRP to `device`'s driver (nullptr: back to its originator).
void SetOwner(IrpTrack& t, PDEVICE_OBJECT device) {
    t.holder = device;
    t.owner = device != nullptr ? device->DriverObject : t.originator;
}

// Only the driver that owns the IRP may pass it on, complete it or set its cancel routine. A
// driver that passed it down owns it again only when its completion routine runs. Calls from
// the model's own threads (no driver routine on the stack) are not checked.
void RequireOwner(const std::shared_ptr<IrpTrack>& t, const char* api) {
    PDRIVER_OBJECT caller = CurrentDriver();
    if (caller == nullptr) return;
    std::string msg;
    {
        std::lock_guard<std::mutex> g(TableLock());
        if (t->owner == nullptr || t->owner == caller) return;
        DeviceTrack* held = FindDevice(t->holder);
        auto drv = W().drivers.find(caller);
        msg = std::string(api) + " by " + (drv != W().drivers.end() ? drv->second.name : std::string("a driver")) +
              " on an IRP that " + (held != nullptr ? held->name : std::string("another driver")) +
              " holds: the caller passed it down (or never had it) and has not got it back";
    }
    IoViolation("IrpNotOwned", msg);
}

// Frames are matched by the IRP's identity: a freed IRP's address may come back as a new one.
Frame* FindDispatchFrame(const std::shared_ptr<IrpTrack>& track, int location) {
    auto& f = Frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if ((*it)->kind == Frame::Kind::Dispatch && (*it)->track == track && (*it)->location == location) return *it;
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
    t->originator = origin == IrpOrigin::Allocated || origin == IrpOrigin::BuiltIoctl || origin == IrpOrigin::BuiltFsd
                        ? CurrentDriver()
                        : nullptr;
    t->owner = t->originator;
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
    RequireIrql("IoAllocateIrp");
    if (faults::ShouldFail(FaultKind::AllocateIrp, __builtin_return_address(0))) return nullptr;
    return NewIrp(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    RequireIrql("IoFreeIrp");
    auto t = RequireIrp(Irp, "IoFreeIrp");
    if (t->origin != IrpOrigin::Allocated) {
        IoViolation("FreeThreadedIrp", "IoFreeIrp on an IRP that the I/O manager owns (" +
                                           DescribeIrp(Irp) + "); it is freed when it completes");
    }
    // Freed at once even while a completion routine of it runs (its own or one on another
    // thread that handed it on): a later touch by that routine is a use-after-free, as on
    // Windows, and the walk bug-checks unless the routine returns MORE_PROCESSING_REQUIRED.
    if (!NoteTake(t, "IoFreeIrp") &&
        (t->state == IrpTrack::State::InFlight || t->state == IrpTrack::State::Completing)) {
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
    if (!NoteTake(t, "IoReuseIrp") &&
        (t->state == IrpTrack::State::InFlight || t->state == IrpTrack::State::Completing)) {
        IoViolation("ReuseIrpInFlight", "IoReuseIrp on an IRP still in flight");
    }
    InitIrp(Irp, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> g(TableLock());
    t->state = IrpTrack::State::Idle;
    SetOwner(*t, nullptr);
    ResetLocations(*t, t->stackCount + 1);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrql("IoBuildDeviceIoControlRequest");
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
    RequireIrql("IoCallDriver");
    auto t = RequireIrp(Irp, "IoCallDriver");
    RequireLiveDevice(DeviceObject, "IoCallDriver");
    RequireOwner(t, "IoCallDriver");
    NoteTake(t, "IoCallDriver");
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
        SetOwner(*t, DeviceObject);
        DeviceTrack* target = FindDevice(DeviceObject);
        if (stack->MajorFunction == IRP_MJ_PNP && target != nullptr && target->isPdo) {
            ++W().pnpAtPdo[{DeviceObject, stack->MinorFunction}];
        }
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
    RequireOwner(t, "IoCompleteRequest");
    // While a completion routine of the IRP runs the walk is stopped there, not under way: the
    // routine may have handed the IRP to this caller.
    const bool routineRuns = NoteTake(t, "IoCompleteRequest");
    if ((t->state == IrpTrack::State::Completing && !routineRuns) || Irp->CurrentLocation > Irp->StackCount) {
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
    RequireIrql("IoCompleteRequest");
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
        uint64_t takenBefore;
        {
            std::lock_guard<std::mutex> g(TableLock());
            ++t->routinesRunning;
            takenBefore = t->taken;
            SetOwner(*t, dev);
            if (atTop) f.driver = t->originator;
        }
        NTSTATUS result;
        {
            FrameScope scope(&f);
            result = routine(dev, Irp, context);
        }
        const char* takenBy = nullptr;
        {
            std::lock_guard<std::mutex> g(TableLock());
            --t->routinesRunning;
            if (t->taken != takenBefore) takenBy = t->takenBy;
            if (result == STATUS_MORE_PROCESSING_REQUIRED && takenBy == nullptr &&
                t->state == IrpTrack::State::Completing) {
                t->state = IrpTrack::State::Stopped;
            }
        }
        // After STATUS_MORE_PROCESSING_REQUIRED the IRP belongs to whoever the routine gave it
        // to (it may be freed already): the walk touches it no more.
        if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        if (takenBy != nullptr) {
            BugCheck(kBugMultipleIrpComplete, "IrpTakenWhileRoutineRan",
                     std::string(takenBy) +
                         " took the IRP while its completion routine was running, and the routine then "
                         "let completion go on over an IRP that was no longer its own");
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
    RequireIrql("IoCancelIrp");
    auto t = RequireIrp(Irp, "IoCancelIrp");
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
    if (KeGetCurrentIrql() != old) {
        BugCheck(kBugIrqlNotLessOrEqual, "RoutineIrqlChanged",
                 "a cancel routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) + " instead of " +
                     std::to_string(old) + ", the IRQL its IoReleaseCancelSpinLock(Irp->CancelIrql) restores");
    }
    return TRUE;
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    RequireOwner(RequireIrp(Irp, "IoSetCancelRoutine"), "IoSetCancelRoutine");
    return reinterpret_cast<PDRIVER_CANCEL>(__atomic_exchange_n(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                                                reinterpret_cast<PVOID>(CancelRoutine), __ATOMIC_SEQ_CST));
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
