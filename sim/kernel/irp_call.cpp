// Sending and completing IRPs: IoCallDriver with the verifier's checks when a dispatch routine
// returns, the completion walk of IoCompleteRequest with its completion routines, and what
// happens at the top of the stack for each kind of IRP.
#include "internal.h"
#include "power.h"

#include <cstdlib>
#include <cstring>

namespace sim::detail {
namespace {
void Scrub(PIO_STACK_LOCATION s, bool keepControlError) {
    s->MinorFunction = 0;
    s->Flags = 0;
    s->Parameters.Others.Argument1 = nullptr;
    s->Parameters.Others.Argument2 = nullptr;
    s->Parameters.Others.Argument3 = nullptr;
    s->FileObject = nullptr;
    s->Control = keepControlError ? static_cast<UCHAR>(s->Control & SL_ERROR_RETURNED) : 0;
}

// Frames are matched by the IRP's identity: a freed IRP's address may come back as a new one.
Frame* FindDispatchFrame(const std::shared_ptr<IrpTrack>& track, int location) {
    auto& f = Frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if ((*it)->kind == Frame::Kind::Dispatch && (*it)->track == track && (*it)->location == location) return *it;
    }
    return nullptr;
}

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
    ReleaseIrp(irp);
}
}  // namespace
}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

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

}  // extern "C"
