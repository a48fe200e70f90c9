#include "usb/bus.h"

#include "kernel/internal.h"
#include "usb/status.h"
#include "usb/urb_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

namespace sim::usb {

namespace {
DEVICE_CAPABILITIES DefaultCapabilities() {
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof(DEVICE_CAPABILITIES);
    c.Version = 1;
    c.Removable = 1;
    c.SurpriseRemovalOK = 0;
    c.DeviceD2 = 1;
    c.WakeFromD2 = 1;
    c.Address = 1;
    c.UINumber = 0;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    c.SystemWake = PowerSystemSleeping3;
    c.DeviceWake = PowerDeviceD2;
    return c;
}

// The trace's copy of a URB: its fixed part, never more than the URB says it holds.
void CopyUrb(const URB* urb, URB* copy) {
    *copy = URB{};
    std::memcpy(copy, urb, std::min<size_t>(urb->UrbHeader.Length, sizeof(URB)));
}
}  // namespace

namespace {
// The order in which an ABORT_PIPE (or a configuration change that closes pipes) completes
// relative to the transfers it cancels, for every bus of this run: chosen at random per run,
// since a driver must cope with both, and printed with its seed so a failing run can be
// repeated (KWSIM_SEED=N); KWSIM_ABORT_ORDER=transfers-first or request-first fixes it.
AbortOrder RunAbortOrder() {
    static const AbortOrder order = [] {
        const char* fixed = std::getenv("KWSIM_ABORT_ORDER");
        if (fixed != nullptr && std::string(fixed) == "transfers-first") return AbortOrder::TransfersFirst;
        if (fixed != nullptr && std::string(fixed) == "request-first") return AbortOrder::RequestFirst;
        const char* seedText = std::getenv("KWSIM_SEED");
        const unsigned long seed = seedText != nullptr ? std::strtoul(seedText, nullptr, 10) : std::random_device{}();
        const AbortOrder o = std::mt19937(static_cast<uint32_t>(seed))() % 2 == 0 ? AbortOrder::TransfersFirst
                                                                                  : AbortOrder::RequestFirst;
        std::fprintf(stderr, "kwsim: seed %lu: ABORT_PIPE completes %s (KWSIM_SEED=%lu repeats it)\n", seed,
                     o == AbortOrder::TransfersFirst ? "after the transfers it cancels" : "before the transfers it cancels",
                     seed);
        return o;
    }();
    return order;
}
}  // namespace

BusDevice::BusDevice(const std::string& instanceId, std::shared_ptr<Device> device)
    : instanceId_(instanceId), caps_(DefaultCapabilities()), device_(std::move(device)) {
    abortOrder_ = RunAbortOrder();
    driver_ = CreateModelDriver("usbhub");
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    pdo_ = CreatePdo(driver_, instanceId, sizeof(BusDevice*));
    *static_cast<BusDevice**>(pdo_->DeviceExtension) = this;
    if (device_) device_->SetChangeHook([this] { Service(); });
    highSpeed_ = device_ && device_->Description().highSpeed;
}

BusDevice::~BusDevice() {
    std::shared_ptr<Device> device = PluggedDevice();
    if (device) device->SetChangeHook(nullptr);
    // A reset the test never released runs now, so its request does not outlive the bus.
    {
        std::lock_guard<std::mutex> g(m_);
        if (heldReset_) StartResetWorker(heldReset_->first, heldReset_->second);
        heldReset_.reset();
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(m_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
    FlushDpcs();
    if (DeviceExists(pdo_)) DeletePdo(pdo_);
    DeleteModelDriver(driver_);
}

BusDevice* BusDevice::Of(PDEVICE_OBJECT device) { return *static_cast<BusDevice**>(device->DeviceExtension); }

void BusDevice::SetScript(Script s) {
    std::lock_guard<std::mutex> g(m_);
    script_ = std::move(s);
}

std::vector<TraceEntry> BusDevice::Trace() const {
    std::lock_guard<std::mutex> g(m_);
    return {trace_.begin(), trace_.end()};
}

void BusDevice::ClearTrace() {
    std::lock_guard<std::mutex> g(m_);
    traceCleared_ += trace_.size();
    trace_.clear();
}

void BusDevice::SetCapabilitiesMode(CapabilitiesMode mode, NTSTATUS failStatus) {
    capsMode_ = mode;
    capsFailStatus_ = failStatus;
}

void BusDevice::PlugIn(std::shared_ptr<Device> device) {
    std::shared_ptr<Device> old;
    {
        std::lock_guard<std::mutex> g(m_);
        if (!pending_.empty()) {
            BugCheck(kBugDriverVerifierViolation, "ModelPlugInWhileBusy",
                     "PlugIn with " + std::to_string(pending_.size()) + " requests outstanding on the port");
        }
        CloseConfiguration();
        old = std::exchange(device_, device);
        highSpeed_ = device && device->Description().highSpeed;  // the port runs at the device's speed
    }
    if (old) old->SetChangeHook(nullptr);
    if (device) device->SetChangeHook([this] { Service(); });
}

void BusDevice::Unplug() {
    std::shared_ptr<Device> gone;
    {
        std::lock_guard<std::mutex> g(m_);
        gone = std::exchange(device_, nullptr);
        std::vector<Pending> failed = Claim([](const Pending& p) { return p.transfer || (p.script && p.cancelable); });
        for (Pending& p : failed) p.outcome = USBD_STATUS_DEVICE_GONE;
        QueueCompletions(failed);
    }
    if (gone) gone->SetChangeHook(nullptr);
}

void BusDevice::AdvanceFrames(ULONG frames) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> g(m_);
        frame_ += frames;
        device = device_;
    }
    // The device's change hook runs the pipes.
    if (device) device->AdvanceFrames(frames);
}

ULONG BusDevice::FrameNumber() const {
    std::lock_guard<std::mutex> g(m_);
    return frame_;
}

std::shared_ptr<Device> BusDevice::PluggedDevice() const {
    std::lock_guard<std::mutex> g(m_);
    return device_;
}

void BusDevice::SetPortStatus(ULONG bits) {
    std::lock_guard<std::mutex> g(m_);
    portStatus_ = bits;
}

void BusDevice::SetControlMode(AnswerMode mode) {
    if (mode == AnswerMode::Hold) {
        BugCheck(kBugDriverVerifierViolation, "ModelBadControlMode", "control transfers complete inline or pend");
    }
    std::lock_guard<std::mutex> g(m_);
    controlMode_ = mode;
}

void BusDevice::SetAbortOrder(AbortOrder order) {
    std::lock_guard<std::mutex> g(m_);
    abortOrder_ = order;
}

void BusDevice::SetTransferMode(AnswerMode mode) {
    if (mode == AnswerMode::Hold) {
        BugCheck(kBugDriverVerifierViolation, "ModelBadTransferMode", "transfers complete inline or pend");
    }
    std::lock_guard<std::mutex> g(m_);
    transferMode_ = mode;
}

void BusDevice::SetShortTransferRule(ShortTransferRule rule) {
    std::lock_guard<std::mutex> g(m_);
    shortRule_ = rule;
}

void BusDevice::SetResetPortMode(AnswerMode mode) {
    std::lock_guard<std::mutex> g(m_);
    resetPortMode_ = mode;
}

void BusDevice::ReleaseResetPort() {
    std::lock_guard<std::mutex> g(m_);
    if (!heldReset_) BugCheck(kBugDriverVerifierViolation, "ModelNoHeldReset", "no port reset is held");
    StartResetWorker(heldReset_->first, heldReset_->second);
    heldReset_.reset();
}

size_t BusDevice::HeldCount() const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (const Pending& p : pending_) n += p.script ? 1 : 0;
    return n;
}

std::optional<PipeState> BusDevice::Pipe(USBD_PIPE_HANDLE handle) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = pipeIndex_.find(handle);
    if (it == pipeIndex_.end()) return std::nullopt;
    PipeState st = it->second->state;
    st.pending = 0;
    for (const Pending& p : pending_) st.pending += p.pipe == it->second ? 1 : 0;
    return st;
}

void BusDevice::SetPipeState(USBD_PIPE_HANDLE handle, bool halted, int toggle) {
    std::lock_guard<std::mutex> g(m_);
    PipeSlot* slot = LivePipe(handle);
    if (slot == nullptr) BugCheck(kBugDriverVerifierViolation, "ModelNoSuchPipe", "SetPipeState on a void pipe handle");
    slot->state.halted = halted;
    slot->state.toggle = toggle & 1;
}

USBD_CONFIGURATION_HANDLE BusDevice::ConfigurationHandle() const {
    std::lock_guard<std::mutex> g(m_);
    return configuration_;
}

BusDevice::PipeSlot* BusDevice::LivePipe(USBD_PIPE_HANDLE handle) {
    auto it = pipeIndex_.find(handle);
    return it != pipeIndex_.end() && it->second->state.live ? it->second : nullptr;
}

std::vector<BusDevice::Pending> BusDevice::Claim(const std::function<bool(const Pending&)>& pick) {
    std::vector<Pending> claimed;
    for (auto it = pending_.begin(); it != pending_.end();) {
        // A NULL previous routine means IoCancelIrp has taken it: that routine completes the IRP.
        if (pick(*it) && (!it->cancelable || IoSetCancelRoutine(it->irp, nullptr) != nullptr)) {
            claimed.push_back(*it);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    return claimed;
}

Answer BusDevice::Ended(const Pending& p, USBD_STATUS usbd) {
    Answer a;
    a.usbdStatus = usbd;
    a.status = NtStatusFromUsbd(usbd);
    if (p.transfer) {
        const PURB urb = p.urb;
        const ULONG moved = p.moved, errors = p.errors;
        const bool iso = p.iso;
        a.effect = [urb, moved, errors, iso](PIRP, PIO_STACK_LOCATION) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = moved;
            if (iso) urb->UrbIsochronousTransfer.ErrorCount = errors;
        };
    }
    return a;
}

void BusDevice::CompleteCancelled(const std::vector<Pending>& claimed) {
    for (const Pending& p : claimed) Finish(p.irp, Ended(p, USBD_STATUS_CANCELED), p.traceIndex);
}

void BusDevice::QueueCompletions(const std::vector<Pending>& done) {
    // Queued while m_ is held, so completions of one pipe reach the DPC thread in queue order
    // whichever thread ran the pipe. `completing` drops as each completion starts: an inline
    // completion on the pipe may begin once every earlier one has begun.
    for (const Pending& p : done) {
        if (p.pipe != nullptr) ++p.pipe->completing;
        QueueDpc([this, p] {
            if (p.pipe != nullptr) {
                std::lock_guard<std::mutex> g(m_);
                --p.pipe->completing;
            }
            Finish(p.irp, Ended(p, p.outcome), p.traceIndex);
        });
    }
}

Answer BusDevice::WithCancelled(Answer a, std::vector<Pending> claimed) {
    if (claimed.empty()) return a;
    if (abortOrder_ == AbortOrder::TransfersFirst) {
        a.mode = AnswerMode::Pend;
        auto previous = a.effect;
        a.effect = [this, claimed, previous](PIRP irp, PIO_STACK_LOCATION s) {
            CompleteCancelled(claimed);
            if (previous) previous(irp, s);
        };
    } else {
        auto next = a.then;
        a.then = [this, claimed, next] {
            QueueDpc([this, claimed] { CompleteCancelled(claimed); });
            if (next) next();
        };
    }
    return a;
}

VOID NTAPI BusDevice::CancelPending(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDevice* self = Of(device);
    Pending p;
    {
        std::lock_guard<std::mutex> g(self->m_);
        auto it = std::find_if(self->pending_.begin(), self->pending_.end(),
                               [irp](const Pending& e) { return e.irp == irp; });
        if (it == self->pending_.end()) {
            BugCheck(kBugDriverVerifierViolation, "ModelLostPending",
                     "cancel routine for a request the bus does not hold");
        }
        p = *it;
        self->pending_.erase(it);
    }
    // As a host controller does: the transfer is unlinked here, and completes later from the
    // controller's DPC, at DISPATCH_LEVEL, on another thread than the canceller's.
    QueueDpc([self, p] { self->CompleteCancelled({p}); });
}

size_t BusDevice::Record(const TraceEntry& e) {
    std::lock_guard<std::mutex> g(m_);
    trace_.push_back(e);
    if (trace_.size() > kTraceLimit) {
        trace_.pop_front();
        ++traceCleared_;
    }
    return traceCleared_ + trace_.size() - 1;
}

void BusDevice::SetUrbObserver(UrbObserver observer) {
    std::lock_guard<std::mutex> g(m_);
    urbObserver_ = std::move(observer);
}

void BusDevice::NotifyUrb(PIRP irp, const URB& urb, bool completed) {
    UrbObserver observer;
    {
        std::lock_guard<std::mutex> g(m_);
        observer = urbObserver_;
    }
    if (observer) observer(irp, urb, completed);
}

void BusDevice::CompleteHeld(const Answer& answer) {
    std::vector<Pending> claimed;
    {
        std::lock_guard<std::mutex> g(m_);
        bool first = true;
        claimed = Claim([&first](const Pending& p) {
            bool take = p.script && first;
            first = first && !take;
            return take;
        });
    }
    if (claimed.empty()) BugCheck(kBugDriverVerifierViolation, "ModelNoHeldRequest", "no held request to complete");
    Pending h = claimed.front();
    QueueDpc([this, h, answer] { Finish(h.irp, answer, h.traceIndex); });
}

NTSTATUS BusDevice::AnswerCapabilities(PIRP irp, PIO_STACK_LOCATION s) {
    PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status = irp->IoStatus.Status;
    switch (capsMode_) {
        case CapabilitiesMode::Ignore:
            break;
        case CapabilitiesMode::Fail:
            status = capsFailStatus_;
            break;
        case CapabilitiesMode::Answer:
        case CapabilitiesMode::AnswerPending:
            if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            *caps = caps_;
            status = STATUS_SUCCESS;
            break;
    }
    irp->IoStatus.Status = status;
    if (capsMode_ != CapabilitiesMode::AnswerPending) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    QueueDpc([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

NTSTATUS NTAPI BusDevice::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    BusDevice* self = Of(device);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    TraceEntry e;
    e.major = IRP_MJ_PNP;
    e.minor = s->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    switch (s->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES:
            e.status = status;
            self->Record(e);
            return self->AnswerCapabilities(irp, s);
        case IRP_MN_START_DEVICE: {
            std::lock_guard<std::mutex> g(self->m_);
            self->pdoRemoved_ = false;  // started again after an orderly removal
            self->pdoStarted_ = true;
            self->power_ = PowerDeviceD0;  // the hub powers the port for a start
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL: {
            // New URBs fail from now on; queued transfers stay for the driver to abort.
            std::lock_guard<std::mutex> g(self->m_);
            self->pdoRemoved_ = true;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_REMOVE_DEVICE:
            self->RemovePdo();
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_INTERFACE:
            status = self->AnswerQueryInterface(s, status);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;  // not handled: completed with its status unchanged
    }
    if (s->MinorFunction == IRP_MN_SURPRISE_REMOVAL || s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        self->EndPowerOnRemoval();
    }
    e.status = status;
    self->Record(e);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::optional<Answer> BusDevice::OutOfService() {
    std::lock_guard<std::mutex> g(m_);
    if (pdoStarted_) return std::nullopt;
    // The hub's PDO serves its device only between START_DEVICE and REMOVE_DEVICE: before
    // and after, every internal request fails as for a device that is not connected, teardown
    // requests included (there is nothing to tear down).
    Answer a;
    a.status = STATUS_DEVICE_NOT_CONNECTED;
    a.usbdStatus = USBD_STATUS_DEVICE_GONE;
    // A transfer reports the bytes it moved: none.
    a.effect = [](PIRP, PIO_STACK_LOCATION st) {
        if (st->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return;
        auto urb = static_cast<PURB>(st->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
            urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        }
    };
    return a;
}

void BusDevice::RemovePdo() {
    std::vector<Pending> claimed;
    std::shared_ptr<Device> device;
    bool configured = false;
    {
        std::lock_guard<std::mutex> g(m_);
        pdoRemoved_ = true;
        pdoStarted_ = false;
        configured = configuration_ != nullptr;
        claimed = CloseConfiguration();
        device = device_;
    }
    // Transfers the driver left on its pipes are cancelled before the removal completes.
    CompleteCancelled(claimed);
    if (configured && device) {
        SetupPacket s;
        s.bRequest = USB_REQUEST_SET_CONFIGURATION;
        RunControl(s, nullptr, nullptr);
    }
}

NTSTATUS NTAPI BusDevice::DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    TraceEntry e;
    e.major = IRP_MJ_SYSTEM_CONTROL;
    e.minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    e.status = irp->IoStatus.Status;
    Of(device)->Record(e);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

Answer BusDevice::DefaultAnswer(PIO_STACK_LOCATION s) {
    Answer a;
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            ULONG bits = 0;
            {
                std::lock_guard<std::mutex> g(m_);
                bits = portStatus_ ? *portStatus_ : device_ ? device_->PortStatus() : 0;
            }
            a.effect = [bits](PIRP, PIO_STACK_LOCATION st) {
                *static_cast<PULONG>(st->Parameters.Others.Argument1) = bits;
            };
            break;
        }
        default:
            a.status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    return a;
}

NTSTATUS NTAPI BusDevice::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    BusDevice* self = Of(device);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    TraceEntry e;
    e.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    e.ioctl = s->Parameters.DeviceIoControl.IoControlCode;
    if (e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        if (urb == nullptr) {
            BugCheck(kBugDriverVerifierViolation, "NullUrb", "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
        }
        e.urbFunction = urb->UrbHeader.Function;
        CopyUrb(urb, &e.submitted);
    }
    e.status = STATUS_PENDING;
    size_t index = self->Record(e);
    if (e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        self->NotifyUrb(irp, *static_cast<PURB>(s->Parameters.Others.Argument1), false);
    }
    Script script;
    {
        std::lock_guard<std::mutex> g(self->m_);
        script = self->script_;
    }
    if (std::optional<Answer> refused = self->OutOfService()) return self->Deliver(irp, *refused, index);
    std::optional<Answer> a;
    if (script) a = script(irp, s);
    if (!a) return self->DefaultDispatch(irp, s, index);
    return self->Deliver(irp, *a, index);
}

NTSTATUS BusDevice::DefaultDispatch(PIRP irp, PIO_STACK_LOCATION s, size_t traceIndex) {
    if (std::optional<Answer> off = PoweredOff()) return Deliver(irp, *off, traceIndex);
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
            stack::CheckDriverRange(urb, sizeof(struct _URB_HEADER), "the URB");
            const USHORT f = urb->UrbHeader.Function;
            if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
                BugCheck(kBugIrqlNotLessOrEqual, "UrbIrql", UrbFunctionName(f) + " submitted above DISPATCH_LEVEL");
            }
            if (std::optional<Answer> refused = Refuse(urb)) return Deliver(irp, *refused, traceIndex);
            if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return SubmitTransfer(irp, urb, traceIndex);
            if (f == URB_FUNCTION_ISOCH_TRANSFER) return SubmitIsochronous(irp, urb, traceIndex);
            return Deliver(irp, SubmitUrb(irp, urb), traceIndex);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return ResetPort(irp, traceIndex);
        default:
            return Deliver(irp, DefaultAnswer(s), traceIndex);
    }
}

// ---------------------------------------------------------------------------------------------
// Port reset
// ---------------------------------------------------------------------------------------------

NTSTATUS BusDevice::ResetPort(PIRP irp, size_t traceIndex) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "UsbIoctlIrql", "IOCTL_INTERNAL_USB_RESET_PORT above PASSIVE_LEVEL");
    }
    Answer refused;
    AnswerMode mode = AnswerMode::Inline;
    {
        std::lock_guard<std::mutex> g(m_);
        const size_t busy = static_cast<size_t>(
            std::count_if(pending_.begin(), pending_.end(), [](const Pending& p) { return p.pipe != nullptr; }));
        if (busy != 0) {
            // Windows resets the port under the transfers, which then fail in ways the driver
            // cannot tell apart from device errors; the documented order is abort, then reset.
            BugCheck(kBugDriverVerifierViolation, "ResetPortWithTransfersPending",
                     "IOCTL_INTERNAL_USB_RESET_PORT with " + std::to_string(busy) +
                         " transfers still queued on the device's pipes (abort them first)");
        }
        if (pdoRemoved_) {
            refused.status = STATUS_DELETE_PENDING;
        } else if (resetting_) {
            refused.status = STATUS_UNSUCCESSFUL;
        } else if (!device_) {
            refused.status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            refused.status = STATUS_PENDING;
            resetting_ = true;
            mode = resetPortMode_;
        }
    }
    if (refused.status != STATUS_PENDING) return Deliver(irp, refused, traceIndex);
    if (mode == AnswerMode::Inline) {
        Answer a;
        a.status = RunPortReset();
        return Deliver(irp, a, traceIndex);
    }
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> g(m_);
    if (mode == AnswerMode::Pend) {
        StartResetWorker(irp, traceIndex);
    } else {
        heldReset_ = std::make_pair(irp, traceIndex);
    }
    return STATUS_PENDING;
}

void BusDevice::StartResetWorker(PIRP irp, size_t traceIndex) {
    // A worker at PASSIVE_LEVEL, as the hub runs the reset from a work item.
    workers_.emplace_back([this, irp, traceIndex] {
        Answer a;
        a.status = RunPortReset();
        Finish(irp, a, traceIndex);
    });
}

NTSTATUS BusDevice::RunPortReset() {
    std::shared_ptr<Device> device;
    UCHAR value = 0;
    std::vector<std::pair<UCHAR, UCHAR>> settings;
    {
        std::lock_guard<std::mutex> g(m_);
        device = device_;
        value = configuration_ != nullptr ? configurationValue_ : 0;
        settings = settings_;
    }
    // The device is reset, re-addressed and given back its configuration and alternate
    // settings, so the handles the driver holds stay valid.
    USBD_STATUS st = device ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE;
    if (device) device->Reset();
    if (device && value != 0) {
        SetupPacket set;
        set.bRequest = USB_REQUEST_SET_CONFIGURATION;
        set.wValue = value;
        st = RunControl(set, nullptr, nullptr);
        for (size_t i = 0; st == USBD_STATUS_SUCCESS && i < settings.size(); ++i) {
            if (settings[i].second == 0) continue;
            SetupPacket alt;
            alt.bmRequestType = BMREQUEST_TO_INTERFACE;
            alt.bRequest = USB_REQUEST_SET_INTERFACE;
            alt.wValue = settings[i].second;
            alt.wIndex = settings[i].first;
            st = RunControl(alt, nullptr, nullptr);
        }
    }
    std::lock_guard<std::mutex> g(m_);
    // Every endpoint starts again from DATA0 without a halt, on both sides.
    for (PipeSlot* p : openPipes_) {
        p->state.halted = false;
        p->state.toggle = 0;
    }
    resetting_ = false;
    if (st == USBD_STATUS_DEVICE_GONE) return STATUS_DEVICE_NOT_CONNECTED;
    return st == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS BusDevice::Deliver(PIRP irp, const Answer& a, size_t traceIndex) {
    switch (a.mode) {
        case AnswerMode::Inline: {
            // The status decided at completion; the IRP may be gone once it completes.
            NTSTATUS status = STATUS_PENDING;
            Answer done = a;
            auto decide = done.decide;
            done.decide = [&status, decide](PIRP i, PIO_STACK_LOCATION st, Answer& out) {
                if (decide) decide(i, st, out);
                status = out.status;
            };
            Finish(irp, done, traceIndex);
            return status;
        }
        case AnswerMode::Pend:
            IoMarkIrpPending(irp);
            QueueDpc([this, irp, a, traceIndex] { Finish(irp, a, traceIndex); });
            return STATUS_PENDING;
        case AnswerMode::Hold: {
            IoMarkIrpPending(irp);
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            bool cancelNow = false;
            {
                std::lock_guard<std::mutex> g(m_);
                Pending p;
                p.irp = irp;
                p.traceIndex = traceIndex;
                p.script = true;
                p.cancelable = a.cancelable;
                if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
                    auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
                    const USHORT f = urb->UrbHeader.Function;
                    if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || f == URB_FUNCTION_ISOCH_TRANSFER ||
                        f == URB_FUNCTION_CONTROL_TRANSFER) {
                        p.pipe = LivePipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
                    }
                }
                pending_.push_back(p);
                if (a.cancelable) {
                    KIRQL old;
                    IoAcquireCancelSpinLock(&old);
                    IoSetCancelRoutine(irp, &BusDevice::CancelPending);
                    // Cancelled before the routine was in place: nobody else will call it.
                    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                        pending_.pop_back();
                        cancelNow = true;
                    }
                    IoReleaseCancelSpinLock(old);
                }
            }
            if (cancelNow) {
                Pending p;
                p.irp = irp;
                p.traceIndex = traceIndex;
                CompleteCancelled({p});
            }
            return STATUS_PENDING;
        }
    }
    return STATUS_PENDING;
}

void BusDevice::Finish(PIRP irp, Answer a, size_t traceIndex) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (a.decide) a.decide(irp, s, a);
    if (a.effect) a.effect(irp, s);
    const bool urb = s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB;
    if (urb) static_cast<PURB>(s->Parameters.Others.Argument1)->UrbHeader.Status = a.usbdStatus;
    irp->IoStatus.Status = a.status;
    irp->IoStatus.Information = a.information;
    {
        std::lock_guard<std::mutex> g(m_);
        // An entry cleared from the trace while its request was outstanding is not updated.
        if (traceIndex >= traceCleared_) {
            TraceEntry& e = trace_[traceIndex - traceCleared_];
            e.status = a.status;
            if (urb) {
                e.usbdStatus = a.usbdStatus;
                CopyUrb(static_cast<PURB>(s->Parameters.Others.Argument1), &e.completed);
            }
        }
    }
    if (urb) NotifyUrb(irp, *static_cast<PURB>(s->Parameters.Others.Argument1), true);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (a.then) a.then();
}

}  // namespace sim::usb
