// Cancellation: IoCancelIrp, IoSetCancelRoutine (a checked call: only the IRP's owner may set
// it) and the cancel spin lock, with the verifier's checks on the cancel routine.
#include "internal.h"

namespace sim::detail {
namespace {
thread_local bool t_holdsCancelLock = false;
KSPIN_LOCK g_cancelLock = 0;
}  // namespace
}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

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
