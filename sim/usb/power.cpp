// Power on the hub's PDO: device set-power requests suspend and resume the port, system requests
// and queries are answered, and wait-wake requests wait for the device's remote wake.
#include "kernel/power.h"
#include "usb/bus.h"

#include "kernel/internal.h"

namespace sim::usb {

namespace {
const char kResumeSite = 0;  // the fault-injection site of a port resume

bool SleepState(PIO_STACK_LOCATION s) {
    return s->Parameters.Power.Type == SystemPowerState &&
           s->Parameters.Power.State.SystemState != PowerSystemWorking;
}
}  // namespace

DEVICE_POWER_STATE BusDevice::PowerState() const {
    std::lock_guard<std::mutex> g(m_);
    return power_;
}

void BusDevice::SetPowerMode(AnswerMode mode) {
    std::lock_guard<std::mutex> g(m_);
    powerMode_ = mode;
}

size_t BusDevice::HeldPowerCount() const {
    std::lock_guard<std::mutex> g(m_);
    return heldPower_.size();
}

void BusDevice::VetoNextQuery(NTSTATUS status) {
    std::lock_guard<std::mutex> g(m_);
    veto_ = status;
}

bool BusDevice::WaitWakeArmed() const {
    std::lock_guard<std::mutex> g(m_);
    return waitWake_ != nullptr;
}

void BusDevice::ReleasePower() {
    std::deque<PIRP> held;
    {
        std::lock_guard<std::mutex> g(m_);
        held.swap(heldPower_);
    }
    for (PIRP irp : held) (void)FinishSetPower(irp);
}

bool BusDevice::RemoteWake() { return EndWaitWake(STATUS_SUCCESS); }

void BusDevice::EndPowerOnRemoval() {
    ReleasePower();
    (void)EndWaitWake(STATUS_NO_SUCH_DEVICE);
}

std::optional<Answer> BusDevice::PoweredOff() {
    std::lock_guard<std::mutex> g(m_);
    // A device that is gone or being removed gets those answers instead.
    if (power_ == PowerDeviceD0 || !device_ || pdoRemoved_) return std::nullopt;
    Answer a;
    a.status = STATUS_DEVICE_POWERED_OFF;
    // The hub refuses the request before looking at it: a URB keeps the status it was sent with.
    a.decide = [](PIRP, PIO_STACK_LOCATION st, Answer& out) {
        if (st->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            out.usbdStatus = static_cast<PURB>(st->Parameters.Others.Argument1)->UrbHeader.Status;
        }
    };
    return a;
}

NTSTATUS NTAPI BusDevice::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    BusDevice* self = Of(device);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MinorFunction == IRP_MN_WAIT_WAKE) return self->ArmWaitWake(irp);
    if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState) {
        return self->SetDevicePower(irp);
    }
    TraceEntry e;
    e.major = IRP_MJ_POWER;
    e.minor = s->MinorFunction;
    e.powerType = s->Parameters.Power.Type;
    e.powerState = static_cast<ULONG>(s->Parameters.Power.State.SystemState);
    NTSTATUS status = irp->IoStatus.Status;
    if (s->MinorFunction == IRP_MN_SET_POWER) {
        status = STATUS_SUCCESS;
    } else if (s->MinorFunction == IRP_MN_QUERY_POWER) {
        std::lock_guard<std::mutex> g(self->m_);
        status = SleepState(s) ? self->veto_ : STATUS_SUCCESS;
        if (SleepState(s)) self->veto_ = STATUS_SUCCESS;
    }
    e.status = status;
    self->Record(e);
    PoStartNextPowerIrp(irp);
    power::NoteBusStatus(irp, status);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusDevice::SetDevicePower(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    // The bus has taken this request: the power manager may deliver the next one.
    PoStartNextPowerIrp(irp);
    AnswerMode mode;
    {
        std::lock_guard<std::mutex> g(m_);
        mode = powerMode_;
        if (mode == AnswerMode::Pend && s->Parameters.Power.State.DeviceState != PowerDeviceD0) {
            mode = AnswerMode::Inline;
        }
        if (mode == AnswerMode::Hold) {
            IoMarkIrpPending(irp);
            heldPower_.push_back(irp);
            return STATUS_PENDING;
        }
    }
    if (mode == AnswerMode::Inline) return FinishSetPower(irp);
    IoMarkIrpPending(irp);
    QueueDpc([this, irp] { (void)FinishSetPower(irp); });
    return STATUS_PENDING;
}

NTSTATUS BusDevice::FinishSetPower(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const DEVICE_POWER_STATE to = s->Parameters.Power.State.DeviceState;
    NTSTATUS status = STATUS_SUCCESS;
    bool resumed = false;
    {
        std::lock_guard<std::mutex> g(m_);
        if (to == PowerDeviceD0) {
            if (!device_) {
                status = STATUS_NO_SUCH_DEVICE;
            } else if (faults::ShouldFail(FaultKind::PortResume, &kResumeSite)) {
                status = STATUS_UNSUCCESSFUL;
            } else {
                resumed = power_ != PowerDeviceD0;
                power_ = PowerDeviceD0;
            }
        } else if (to >= PowerDeviceD1 && to <= PowerDeviceD3) {
            power_ = to;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    TraceEntry e;
    e.major = IRP_MJ_POWER;
    e.minor = IRP_MN_SET_POWER;
    e.powerType = DevicePowerState;
    e.powerState = static_cast<ULONG>(to);
    e.status = status;
    Record(e);
    power::NoteBusStatus(irp, status);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    // Transfers that waited through the suspend move again.
    if (resumed) Service();
    return status;
}

NTSTATUS BusDevice::ArmWaitWake(PIRP irp) {
    TraceEntry e;
    e.major = IRP_MJ_POWER;
    e.minor = IRP_MN_WAIT_WAKE;
    e.powerState = static_cast<ULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = STATUS_PENDING;
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> g(m_);
        if (waitWake_ != nullptr) {
            status = STATUS_DEVICE_BUSY;
        } else if (caps_.DeviceWake == PowerDeviceUnspecified) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            IoMarkIrpPending(irp);
            KIRQL old;
            IoAcquireCancelSpinLock(&old);
            IoSetCancelRoutine(irp, &BusDevice::CancelWaitWake);
            // Cancelled before the routine was in place: nobody else will call it.
            cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
            IoReleaseCancelSpinLock(old);
            if (!cancelled) waitWake_ = irp;
        }
    }
    e.status = cancelled ? STATUS_CANCELLED : status;
    Record(e);
    if (status == STATUS_PENDING) {
        if (cancelled) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool BusDevice::EndWaitWake(NTSTATUS status) {
    PIRP irp;
    {
        std::lock_guard<std::mutex> g(m_);
        irp = waitWake_;
        if (irp == nullptr) return false;
        // A NULL previous routine means IoCancelIrp has taken it: the cancel routine completes it.
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
        waitWake_ = nullptr;
    }
    QueueDpc([irp, status] {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return true;
}

VOID NTAPI BusDevice::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDevice* self = Of(device);
    {
        std::lock_guard<std::mutex> g(self->m_);
        if (self->waitWake_ == irp) self->waitWake_ = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace sim::usb
