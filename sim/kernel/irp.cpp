// IRPs as objects: allocation, building, reuse and freeing, the verifier's record of each IRP
// (its identity, origin, owner and state) and descriptions of IRPs for bug-check reports.
// Sending and completing are in irp_call.cpp, cancellation in irp_cancel.cpp.
#include "internal.h"
#include "power.h"

#include <cstdlib>
#include <cstring>

namespace sim::detail {
namespace {
thread_local char t_threadToken;

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
}  // namespace

void ResetLocations(IrpTrack& t, int upTo) {
    for (int i = 1; i <= upTo && i < static_cast<int>(t.popped.size()); ++i) {
        t.popped[i] = false;
        t.pendingSeen[i] = false;
        t.propagated[i] = false;
    }
}

static void InitIrp(PIRP irp, CCHAR stackSize, UCHAR allocationFlags) {
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

void ReleaseIrp(PIRP irp) {
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
    ReleaseIrp(Irp);
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


}  // extern "C"
