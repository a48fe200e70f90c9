// power.cpp - power dispatch.
//
// The driver owns its stack's power policy and keeps it simple: the working system state means
// device D0 and every other system state means D3. A system set-power request that needs a
// device change is held while the driver requests the device state for its own stack, and goes
// down when that request has completed. Every other power request goes down with
// PoStartNextPowerIrp and PoCallDriver.
//
// Power requests arrive at PASSIVE_LEVEL (DO_POWER_PAGABLE) in system threads. XP's power manager
// lets one system and one device set or query request at a time reach the device object, and
// releases the next when PoStartNextPowerIrp is called; Windows 7 serialises nothing (there
// PoStartNextPowerIrp does nothing). Either way the dispatch of a system request and a device
// request may overlap. DevicePowerState and PendingSystemPowerIrp are therefore read and
// written only with interlocked operations: completion routines and the power manager's callback
// touch them at up to DISPATCH_LEVEL in arbitrary threads. No power path waits or fails a
// set-power request; a failure the bus driver reports goes up unchanged. Completion routines that
// release a request's reference are set with IoSetCompletionRoutineEx, which may fail for want
// of memory: a wait-wake request then fails, a power-up keeps the plain routine.

#include "kwdrv.h"

// The recorded device power state. Any IRQL.
static DEVICE_POWER_STATE LoadDevicePowerState(PDEVICE_EXTENSION Extension)
{
    return static_cast<DEVICE_POWER_STATE>(InterlockedCompareExchange(
        reinterpret_cast<LONG volatile *>(&Extension->DevicePowerState), 0, 0));
}

// Records the state the device is in and reports it to the power manager. Up to DISPATCH_LEVEL.
static VOID RecordDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State)
{
    POWER_STATE PowerState;

    (void)InterlockedExchange(reinterpret_cast<LONG volatile *>(&KwGetExtension(DeviceObject)->DevicePowerState),
                              static_cast<LONG>(State));
    PowerState.DeviceState = State;
    (void)PoSetPowerState(DeviceObject, DevicePowerState, PowerState);
}

// Passes a power request down with no completion routine of the driver's. Returns what
// PoCallDriver returned; the request is no longer the driver's.
static NTSTATUS PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// Runs when the device request that a held system request caused has completed, whatever its
// outcome: the system request goes down now (a system set-power request is never failed) and
// its reference is released. Any thread, up to DISPATCH_LEVEL. Context is the driver's device
// object; DeviceObject is the physical device object the request was issued for.
_Use_decl_annotations_
VOID NTAPI SystemPowerContinuation(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_OBJECT Fdo = static_cast<PDEVICE_OBJECT>(Context);
    PIRP Held = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&KwGetExtension(Fdo)->PendingSystemPowerIrp), NULL));

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    ASSERT(Held != NULL);
    if (Held != NULL) {
        (void)PassPowerDown(Fdo, Held);
    }
    IoDecrement(Fdo);
}

// IRP_MN_SET_POWER for a system state. A request that needs no device change goes down at once.
// Otherwise it is held in PendingSystemPowerIrp, with its reference, until the device request
// completes. When that request cannot be issued the system request goes down at once, without
// the device change. Returns STATUS_PENDING for a held request.
static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    POWER_STATE Wanted;

    Wanted.DeviceState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    if (Wanted.DeviceState == LoadDevicePowerState(Extension)) {
        NTSTATUS Status = PassPowerDown(DeviceObject, Irp);
        IoDecrement(DeviceObject);
        return Status;
    }

    // A system sends a stack its next system request only after the last one completed (XP also
    // serialises them), so the slot is empty.
    IoMarkIrpPending(Irp);
    (void)InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Extension->PendingSystemPowerIrp), Irp);
    NTSTATUS Status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, Wanted,
                                        SystemPowerContinuation, DeviceObject, NULL);
    if (!NT_SUCCESS(Status)) {
        PIRP Held = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Extension->PendingSystemPowerIrp), NULL));
        (void)PassPowerDown(DeviceObject, Held);
        IoDecrement(DeviceObject);
    }
    return STATUS_PENDING;
}

// Runs when a device set-power request to D0 comes back up. The device is recorded in D0 only
// when the bus driver powered it; a failure goes up as it is and the recorded state stays the
// one the device is still in. Releases the request's reference, which the dispatch kept so that
// removal cannot delete the device before this routine has run; the routine is set unload-safe
// whenever the memory for that exists. Any thread, up to DISPATCH_LEVEL.
_Use_decl_annotations_
NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_OBJECT Fdo = static_cast<PDEVICE_OBJECT>(Context);

    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        RecordDevicePowerState(Fdo, PowerDeviceD0);
    }
    IoDecrement(Fdo);
    return STATUS_SUCCESS;
}

// IRP_MN_SET_POWER for a device state. D1 to D3 are recorded before the request goes down; D0 is
// recorded by DevicePowerUpCompletion once the bus driver has powered the device. Other values
// are passed down and recorded nowhere.
static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DEVICE_POWER_STATE NewState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;

    if (NewState != PowerDeviceD0) {
        if (NewState >= PowerDeviceD1 && NewState <= PowerDeviceD3) {
            RecordDevicePowerState(DeviceObject, NewState);
        }
        NTSTATUS Status = PassPowerDown(DeviceObject, Irp);
        IoDecrement(DeviceObject);
        return Status;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    // The unload-safe form keeps the image loaded until the routine, whose IoDecrement may let
    // removal finish, has returned. Without the memory for it the plain form is still set: a
    // set-power request may not be failed, and only the routine can record D0 truthfully.
    if (!NT_SUCCESS(IoSetCompletionRoutineEx(DeviceObject, Irp, DevicePowerUpCompletion, DeviceObject, TRUE, TRUE,
                                             TRUE))) {
        IoSetCompletionRoutine(Irp, DevicePowerUpCompletion, DeviceObject, TRUE, TRUE, TRUE);
    }
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// Runs when a wait-wake request completes below: the device signalled wake, the request was
// cancelled or the bus driver refused it. Releases the request's reference; set with
// IoSetCompletionRoutineEx, so the image stays loaded until this has returned. Any thread, up to
// DISPATCH_LEVEL.
_Use_decl_annotations_
NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    IoDecrement(static_cast<PDEVICE_OBJECT>(Context));
    return STATUS_SUCCESS;
}

// Whether the device can arm wake for a wait-wake request that asks to wake the system from
// SystemWake or a shallower state: STATUS_NOT_SUPPORTED for a device without a wake state, and
// STATUS_INVALID_DEVICE_STATE when the device is in a state deeper than its DeviceWake or the
// system state asked for is deeper than its SystemWake. D0 and the unspecified state before the
// first device request are never too deep: the request is normally armed while in D0.
static NTSTATUS CheckWaitWake(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemWake)
{
    const LONG DeviceWake = static_cast<LONG>(Extension->DeviceCapabilities.DeviceWake);
    const LONG Current = static_cast<LONG>(LoadDevicePowerState(Extension));

    if (DeviceWake == PowerDeviceUnspecified) {
        return STATUS_NOT_SUPPORTED;
    }
    if (Current > DeviceWake ||
        static_cast<LONG>(SystemWake) > static_cast<LONG>(Extension->DeviceCapabilities.SystemWake)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return STATUS_SUCCESS;
}

// IRP_MN_WAIT_WAKE. A request CheckWaitWake refuses, or one whose unload-safe completion
// routine cannot be set, completes here with that status and nothing goes down. Otherwise it
// goes down with WaitWakeCompletion and the dispatching thread returns at once: the request may
// stay in the bus driver until the device wakes or it is cancelled.
static NTSTATUS HandleWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = CheckWaitWake(KwGetExtension(DeviceObject), Stack->Parameters.WaitWake.PowerState);

    if (NT_SUCCESS(Status)) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        Status = IoSetCompletionRoutineEx(DeviceObject, Irp, WaitWakeCompletion, DeviceObject, TRUE, TRUE, TRUE);
    }
    PoStartNextPowerIrp(Irp);
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Status = Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoDecrement(DeviceObject);
        return Status;
    }
    return PoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
}

// Every IRP_MJ_POWER request. Power requests are served in every state of the device, also while
// removal is under way: the power manager does not stop sending them then.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    IoIncrement(DeviceObject);
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == SystemPowerState) {
        return HandleSystemSetPower(DeviceObject, Irp);
    }
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState) {
        return HandleDeviceSetPower(DeviceObject, Irp);
    }
    if (Stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        return HandleWaitWake(DeviceObject, Irp);
    }
    NTSTATUS Status = PassPowerDown(DeviceObject, Irp);
    IoDecrement(DeviceObject);
    return Status;
}
