// The USB hub's physical device object for one device: what the function driver sees below it.
// It answers PnP requests as a bus driver does and takes internal device-control requests
// (URBs and the port requests), recording every request in a trace. A test script may answer
// any request; whatever it leaves to the bus is answered as the Windows USB stack answers it,
// talking to the plugged-in device model (usb/device.h).
#pragma once

#include "kernel/model.h"
#include "usb/device.h"

#include <usb.h>
#include <usbioctl.h>

#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <unordered_map>

namespace sim::usb {

// Bug check for a request the model does not answer yet (sim/README.md, "Not modelled yet"):
// a test that reaches it learns that a result would be invented, rather than getting one.
constexpr ULONG kBugUsbModelGap = 0xDEAD0002;

struct TraceEntry {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioctl = 0;         // internal device control only
    USHORT urbFunction = 0;  // SUBMIT_URB only
    NTSTATUS status = 0;     // as completed (STATUS_PENDING while outstanding)
    USBD_STATUS usbdStatus = 0;  // SUBMIT_URB: the URB's status as completed
};

// How the bus answers one internal device-control request.
enum class AnswerMode {
    Inline,  // completed inside IoCallDriver
    Pend,    // marked pending, completed later from the DPC thread
    Hold,    // marked pending and kept until the test completes it (or it is cancelled/aborted)
};

struct Answer {
    AnswerMode mode = AnswerMode::Inline;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;  // written to a URB's header
    ULONG_PTR information = 0;
    // Hold: the request gets a cancel routine, as the USB stack gives every queued URB;
    // IoCancelIrp then completes it with STATUS_CANCELLED (USBD_STATUS_CANCELED).
    bool cancelable = true;
    // Runs at completion time, before `effect`, and may change status, usbdStatus and
    // information (the outcome of a transfer is known only when it runs).
    std::function<void(PIRP, PIO_STACK_LOCATION, Answer&)> decide;
    // Runs just before completion (in the completing thread): fill output, port status, ….
    std::function<void(PIRP, PIO_STACK_LOCATION)> effect;
    // Runs after the request has been completed (the IRP may be gone by then).
    std::function<void()> then;
};

// Returns no answer to let the bus answer by default.
using Script = std::function<std::optional<Answer>(PIRP, PIO_STACK_LOCATION)>;

enum class CapabilitiesMode {
    Answer,         // fill the record and succeed inline
    AnswerPending,  // fill and succeed from the DPC thread
    Fail,           // fail with the configured status, writing nothing
    Ignore,         // complete with the status unchanged, writing nothing
};

// When a request that cancels transfers (ABORT_PIPE, a select-configuration that closes pipes)
// completes relative to the transfers it cancels. Windows documents both.
enum class AbortOrder {
    TransfersFirst,  // the request pends; the cancelled transfers complete first, then it
    RequestFirst,    // the request completes at once; the cancelled transfers complete afterwards
};

// The host side of one pipe handle the stack has issued.
struct PipeState {
    bool live = false;  // false once its configuration is gone
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    USHORT maximumPacketSize = 0;
    UCHAR interval = 0;
    UCHAR interfaceNumber = 0;
    bool halted = false;  // the host controller stopped the endpoint after an error
    int toggle = 0;       // the data toggle the host expects next
    size_t pending = 0;   // requests outstanding on the pipe
};

class BusDevice {
public:
    // Plugs in `device` (nullptr: an empty port); the test firmware by default.
    explicit BusDevice(const std::string& instanceId = "USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1",
                       std::shared_ptr<Device> device = Device::Default());
    ~BusDevice();
    BusDevice(const BusDevice&) = delete;
    BusDevice& operator=(const BusDevice&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    const std::string& InstanceId() const { return instanceId_; }

    // Replaces the device on the port (nullptr empties it) and forgets the configuration the
    // stack held. Bug check while requests are outstanding.
    void PlugIn(std::shared_ptr<Device> device);
    std::shared_ptr<Device> PluggedDevice() const;

    void SetScript(Script s);
    std::vector<TraceEntry> Trace() const;
    void ClearTrace();

    // Capabilities reported to IRP_MN_QUERY_CAPABILITIES. A record whose Size or Version is
    // wrong is refused with STATUS_INVALID_PARAMETER, as a strict bus driver may.
    void SetCapabilities(const DEVICE_CAPABILITIES& caps) { caps_ = caps; }
    const DEVICE_CAPABILITIES& Capabilities() const { return caps_; }
    void SetCapabilitiesMode(CapabilitiesMode mode, NTSTATUS failStatus = STATUS_UNSUCCESSFUL);

    // Overrides the bits IOCTL_INTERNAL_USB_GET_PORT_STATUS reports (by default the device's
    // port state; 0 for an empty port). URBs still see the device's own port state.
    void SetPortStatus(ULONG bits);

    // Control transfers on the default pipe (descriptor, configuration and feature requests)
    // complete from the DPC thread (Pend, the default: they pend in Windows) or inline.
    void SetControlMode(AnswerMode mode);
    void SetAbortOrder(AbortOrder order);

    // Requests held by AnswerMode::Hold, oldest first.
    size_t HeldCount() const;
    // Completes the oldest held request from the DPC thread with the given answer.
    void CompleteHeld(const Answer& answer);

    // The USB stack's view of a pipe handle; nullopt for a value it never issued.
    std::optional<PipeState> Pipe(USBD_PIPE_HANDLE handle) const;
    // Sets the host side of a live pipe as a transfer would leave it (halted after an error,
    // toggle after an odd number of packets).
    void SetPipeState(USBD_PIPE_HANDLE handle, bool halted, int toggle);
    // The handle of the current configuration (nullptr when unconfigured).
    USBD_CONFIGURATION_HANDLE ConfigurationHandle() const;

private:
    struct PipeSlot {
        PipeState state;
    };
    struct HandleSlot {
        bool live = true;
    };
    struct Pending {
        PIRP irp = nullptr;
        size_t traceIndex = 0;
        PipeSlot* pipe = nullptr;  // the live pipe a transfer URB names, if any
        bool script = false;       // held for the test (CompleteHeld), not by the stack
        bool cancelable = true;
    };

    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp);
    static BusDevice* Of(PDEVICE_OBJECT device);

    NTSTATUS AnswerCapabilities(PIRP irp, PIO_STACK_LOCATION s);
    Answer DefaultAnswer(PIRP irp, PIO_STACK_LOCATION s);
    NTSTATUS Deliver(PIRP irp, const Answer& a, size_t traceIndex);
    void Finish(PIRP irp, Answer a, size_t traceIndex);
    size_t Record(const TraceEntry& e);

    // Pending requests (m_ held): takes ownership of each entry that `pick` selects and whose
    // cancel routine is not already running; those stay for the cancel routine to complete.
    std::vector<Pending> Claim(const std::function<bool(const Pending&)>& pick);
    // Completes claimed requests with STATUS_CANCELLED / USBD_STATUS_CANCELED.
    void CompleteCancelled(const std::vector<Pending>& claimed);
    // Arranges the completion of `claimed` around the answer of the request that cancelled
    // them, in the configured AbortOrder.
    Answer WithCancelled(Answer a, std::vector<Pending> claimed);

    // URB handling (usb/urb.cpp).
    Answer SubmitUrb(PIRP irp, PURB urb);
    Answer SelectConfiguration(PURB urb);
    Answer Unconfigure();
    Answer AbortPipe(PURB urb);
    Answer ResetPipe(PURB urb);
    Answer GetDescriptor(PURB urb);
    Answer GetConfiguration(PURB urb);
    Answer Feature(PURB urb);
    Answer Transfer(PURB urb);
    // One control transfer on the default pipe: validated now, run on the device when the
    // request completes. `buffer`/`length` are the URB's data stage (length updated to the
    // bytes moved); `length` may be nullptr for a request without data.
    Answer ControlTransfer(const SetupPacket& setup, UCHAR* buffer, PULONG length);
    // Runs a control transfer now; returns its USBD status.
    USBD_STATUS RunControl(const SetupPacket& setup, UCHAR* buffer, ULONG* moved);
    PipeSlot* LivePipe(USBD_PIPE_HANDLE handle);  // m_ held; nullptr when void
    // Voids the current configuration (m_ held) and claims the transfers pending on its pipes.
    std::vector<Pending> CloseConfiguration();

    std::string instanceId_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    DEVICE_CAPABILITIES caps_{};
    CapabilitiesMode capsMode_ = CapabilitiesMode::Answer;
    NTSTATUS capsFailStatus_ = STATUS_UNSUCCESSFUL;
    std::optional<ULONG> portStatus_;
    AnswerMode controlMode_ = AnswerMode::Pend;
    AbortOrder abortOrder_ = AbortOrder::TransfersFirst;

    mutable std::mutex m_;  // guards everything below; never held while a driver routine runs
    std::shared_ptr<Device> device_;
    Script script_;
    std::vector<TraceEntry> trace_;
    size_t traceCleared_ = 0;  // entries dropped by ClearTrace; trace indexes count them
    std::list<Pending> pending_;
    // Handles are addresses of slots that live as long as the bus, so a voided handle is never
    // issued again and the stack recognises its own handles without dereferencing a value
    // that a driver passes in.
    std::deque<PipeSlot> pipeSlots_;
    std::deque<HandleSlot> handleSlots_;
    std::unordered_map<const void*, PipeSlot*> pipeIndex_;
    std::vector<PipeSlot*> openPipes_;
    HandleSlot* configuration_ = nullptr;
    std::vector<HandleSlot*> interfaces_;
};

}  // namespace sim::usb
