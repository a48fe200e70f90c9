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

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <thread>
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
    // SUBMIT_URB: copies of the URB's fixed part (no more than its Hdr.Length), taken when it is
    // submitted and when it completes, so a trace shows what was asked and what came back.
    URB submitted{};
    URB completed{};
    // Set-power and query requests: Parameters.Power.Type and State; wait-wake: the system state.
    POWER_STATE_TYPE powerType = SystemPowerState;
    ULONG powerState = 0;
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
    // its cancel routine unlinks it and queues its completion with STATUS_CANCELLED
    // (USBD_STATUS_CANCELED) to the DPC thread.
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

// What ends an IN transfer that receives a short packet when its URB lacks
// USBD_SHORT_TRANSFER_OK. Windows' answer depends on the host controller the device is on.
enum class ShortTransferRule {
    // UHCI/OHCI, where XP runs a full-speed device on a root port: the transfer fails with
    // USBD_STATUS_DATA_UNDERRUN and the host halts the pipe until RESET_PIPE. The default.
    FailAndHalt,
    // EHCI (the device behind a USB 2.0 hub's transaction translator): the flag is not
    // looked at; the transfer succeeds with the bytes received.
    Accept,
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

    // Control transfers on the default pipe (descriptor, configuration, feature, vendor and class
    // requests) complete from the DPC thread (Pend, the default: they pend in Windows) or inline.
    void SetControlMode(AnswerMode mode);
    void SetAbortOrder(AbortOrder order);

    // Data transfers (usb/transfer.cpp). A transfer that can finish while it is being submitted
    // completes from the DPC thread (Pend, the default, as the host controller's DPC completes
    // it in Windows) or inside IoCallDriver (Inline). One that must wait (NAK) always completes
    // later from the DPC thread.
    void SetTransferMode(AnswerMode mode);
    void SetShortTransferRule(ShortTransferRule rule);

    // Isochronous transfers (usb/isoch.cpp). The port runs the device at its own speed (a
    // description's "speed"; SetHighSpeed overrides it until the next PlugIn): full speed, one
    // packet per frame, at most 255 per URB; high speed, one packet (up to three transactions)
    // per bus interval of the pipe, at most 1024 per URB and a whole number of frames. GET_CURRENT_FRAME_NUMBER is answered
    // inside IoCallDriver (Inline, the default, as Windows answers it) or pends and completes from
    // the DPC thread (Pend), as a stack may.
    void SetHighSpeed(bool highSpeed);
    bool HighSpeed() const;
    // The USBDI bus interface (usb/busif.cpp): IRP_MN_QUERY_INTERFACE fills it in referenced;
    // InterfaceReferences() counts the references not yet given back.
    NTSTATUS AnswerQueryInterface(PIO_STACK_LOCATION s, NTSTATUS unchanged);
    void AddInterfaceReference(int delta);
    long InterfaceReferences() const { return interfaceReferences_.load(); }
    void SetFrameNumberMode(AnswerMode mode);
    // Called with each isochronous URB once its last packet has been sent, received or found
    // late (per-packet Status and Length filled in), before it completes; in the thread that moved
    // the clock, with the bus's lock held, so it must not call the bus. nullptr clears it.
    using IsochronousObserver = std::function<void(const struct _URB_ISOCH_TRANSFER&)>;
    void SetIsochronousObserver(IsochronousObserver observer);
    // Called with each URB as it is submitted (before the stack looks at it) and as it completes
    // (status, lengths and IN data filled in, just before IoCompleteRequest), in the thread that
    // submits or completes it and without the bus's lock, so it may call the bus. The URB and its
    // buffers stay the driver's: valid only during the call, and only the structure its function
    // names is there to read (a URB may be shorter than the union). nullptr clears it.
    using UrbObserver = std::function<void(PIRP irp, const URB& urb, bool completed)>;
    void SetUrbObserver(UrbObserver observer);

    // IOCTL_INTERNAL_USB_RESET_PORT completes inline (default), pends and runs at once on a
    // worker thread (Pend), or pends until ReleaseResetPort (Hold); while it is in progress
    // another reset fails with STATUS_UNSUCCESSFUL and URBs with STATUS_INVALID_PARAMETER.
    void SetResetPortMode(AnswerMode mode);
    void ReleaseResetPort();

    // The device is physically gone: the port reads not connected, every queued transfer (and
    // every request a script holds cancelably) completes from the DPC thread with
    // USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED, and new URBs other than ABORT_PIPE
    // and the NULL configuration fail so at once. The configuration stays until REMOVE_DEVICE
    // reaches the PDO; PlugIn puts a device on the port again.
    void Unplug();

    // Power (usb/power.cpp). The port starts in D0. A device set-power request to D1, D2 or D3
    // suspends it: transfers already queued stay queued without moving and go on after resume,
    // and every internal request that arrives meanwhile fails with STATUS_DEVICE_POWERED_OFF, as
    // the hub's PDO answers. D0 resumes the port; it fails with STATUS_UNSUCCESSFUL when fault
    // injection fails FaultKind::PortResume, and with STATUS_NO_SUCH_DEVICE on an empty port.
    // System set-power requests succeed; query requests succeed unless vetoed.
    DEVICE_POWER_STATE PowerState() const;
    // Device set-power requests complete inline, from the DPC thread (Pend, the default: resume
    // signalling takes time on the bus; suspending completes inline) or are held (Hold) until
    // ReleasePower, a surprise removal or a removal.
    void SetPowerMode(AnswerMode mode);
    void ReleasePower();
    size_t HeldPowerCount() const;
    // The next QUERY_POWER for a sleep state fails with `status`.
    void VetoNextQuery(NTSTATUS status);
    // The device signals remote wake: the wait-wake request armed at the PDO completes with
    // STATUS_SUCCESS. False when none is armed. A second wait-wake fails with STATUS_DEVICE_BUSY,
    // one for a device without a wake state with STATUS_NOT_SUPPORTED; removal completes an armed
    // one with STATUS_NO_SUCH_DEVICE, and a cancel with STATUS_CANCELLED.
    bool RemoteWake();
    bool WaitWakeArmed() const;

    // The host controller's 1 ms frame counter (GET_CURRENT_FRAME_NUMBER). Advancing it advances
    // the device's clock too, so periodic interrupt reports fall due and waiting transfers move.
    void AdvanceFrames(ULONG frames);
    ULONG FrameNumber() const;

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
        size_t completing = 0;  // finished transfers queued to the DPC thread, not yet completed
        // Isochronous: isoNext is the frame after the last one scheduled, when isoScheduled.
        bool isoScheduled = false;
        ULONG isoNext = 0;
    };
    struct HandleSlot {
        bool live = true;
    };
    struct Pending {
        PIRP irp = nullptr;
        size_t traceIndex = 0;
        PipeSlot* pipe = nullptr;  // the live pipe a transfer URB names, if any
        bool script = false;       // held for the test (CompleteHeld), not by the stack
        bool cancelable = true;    // has the bus's cancel routine (a claim must take it back)
        // A bulk, interrupt or isochronous transfer that the stack runs (usb/transfer.cpp).
        bool transfer = false;
        bool finished = false;  // outcome known, but its cancel routine runs: that completes it
        PURB urb = nullptr;
        UCHAR* data = nullptr;  // system address of the data stage
        ULONG length = 0;       // TransferBufferLength as submitted
        ULONG moved = 0;        // bytes moved so far
        bool in = false;
        bool shortOk = false;
        USBD_STATUS outcome = USBD_STATUS_SUCCESS;
        // Isochronous: packet i goes out in frame startFrame + i.
        bool iso = false;
        ULONG startFrame = 0;
        ULONG perFrame = 1;  // packets per frame (1 at full speed)
        ULONG packets = 0;
        ULONG nextPacket = 0;  // packets before it are done (sent, received or late)
        ULONG errors = 0;
    };

    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
    static BusDevice* Of(PDEVICE_OBJECT device);

    NTSTATUS AnswerCapabilities(PIRP irp, PIO_STACK_LOCATION s);
    // What the stack does with an internal request no script answered.
    NTSTATUS DefaultDispatch(PIRP irp, PIO_STACK_LOCATION s, size_t traceIndex);
    Answer DefaultAnswer(PIO_STACK_LOCATION s);
    NTSTATUS Deliver(PIRP irp, const Answer& a, size_t traceIndex);
    void Finish(PIRP irp, Answer a, size_t traceIndex);
    size_t Record(const TraceEntry& e);
    void NotifyUrb(PIRP irp, const URB& urb, bool completed);  // m_ not held

    // Pending requests (m_ held): takes ownership of each entry that `pick` selects and whose
    // cancel routine is not already running; those stay for the cancel routine to complete.
    std::vector<Pending> Claim(const std::function<bool(const Pending&)>& pick);
    // Completes claimed requests with STATUS_CANCELLED / USBD_STATUS_CANCELED.
    void CompleteCancelled(const std::vector<Pending>& claimed);
    // The completion of a request that ends with `usbd`; a transfer's TransferBufferLength
    // becomes the bytes it moved.
    static Answer Ended(const Pending& p, USBD_STATUS usbd);
    // Queues the completion of each entry (with its outcome) to the DPC thread, in order (m_ held).
    void QueueCompletions(const std::vector<Pending>& done);
    // Arranges the completion of `claimed` around the answer of the request that cancelled
    // them, in the configured AbortOrder.
    Answer WithCancelled(Answer a, std::vector<Pending> claimed);

    // PnP on the PDO.
    void RemovePdo();

    // Power on the PDO (usb/power.cpp).
    NTSTATUS SetDevicePower(PIRP irp);
    NTSTATUS FinishSetPower(PIRP irp);  // carries out a device set-power request and completes it
    NTSTATUS ArmWaitWake(PIRP irp);
    // Ends the armed wait-wake request with `status`; false when none is armed or its cancel
    // routine already owns it.
    bool EndWaitWake(NTSTATUS status);
    // SURPRISE_REMOVAL and REMOVE_DEVICE: held set-power requests finish, wait-wake ends.
    void EndPowerOnRemoval();
    // The answer to any internal request while the PDO is not started: never started, or
    // removed (nullopt once START_DEVICE has been seen).
    std::optional<Answer> OutOfService();
    // The answer to an internal request while the port is suspended (nullopt in D0).
    std::optional<Answer> PoweredOff();

    // Port requests.
    NTSTATUS ResetPort(PIRP irp, size_t traceIndex);
    NTSTATUS RunPortReset();  // the reset itself: re-addresses the device, restores the configuration
    void StartResetWorker(PIRP irp, size_t traceIndex);  // m_ held

    // URB handling (usb/urb.cpp).
    // The hub's answer to a URB it refuses whatever it asks: the PDO removed, the device gone or
    // the port being reset. Teardown requests (ABORT_PIPE, the NULL configuration) pass.
    std::optional<Answer> Refuse(PURB urb);
    Answer SubmitUrb(PIRP irp, PURB urb);
    Answer VendorOrClass(PURB urb);
    Answer FrameNumberRequest(PURB urb);
    Answer SelectConfiguration(PURB urb);
    Answer Unconfigure();
    Answer AbortPipe(PURB urb);
    Answer ResetPipe(PURB urb);
    Answer GetDescriptor(PURB urb);
    Answer GetConfiguration(PURB urb);
    Answer Feature(PURB urb);
    // Bulk, interrupt and isochronous transfers (usb/transfer.cpp).
    NTSTATUS SubmitTransfer(PIRP irp, PURB urb, size_t traceIndex);
    NTSTATUS SubmitIsochronous(PIRP irp, PURB urb, size_t traceIndex);
    // Queues a validated transfer on its pipe, runs the pipes and completes or pends it.
    NTSTATUS Enqueue(Pending p);
    // Moves packets for the transfer at the head of every pipe's queue until nothing moves;
    // returns the transfers that ended, taken from pending_ (m_ held).
    std::vector<Pending> ServiceLocked();
    // Isochronous pipes: one packet per frame for every frame the clock passed since the last
    // call (m_ held); ended transfers go to `done`.
    void ServiceIsochronous(std::vector<Pending>& done);
    // Gives an isochronous transfer its frames (m_ held); false when its StartFrame lies outside
    // the window the stack accepts.
    bool ScheduleIsochronous(Pending& p);
    ULONG PacketsPerFrame(const PipeSlot& pipe) const;  // m_ held
    // Marks the packets of `e` due in frames up to `frame` that were not sent as late; sends those
    // due in `frame + 1` while the pipe's `budget` for that frame lasts (m_ held). True when the
    // transfer has ended.
    bool IsoStep(PipeSlot& pipe, Pending& e, ULONG frame, ULONG& budget);
    void SendIsoPacket(PipeSlot& pipe, Pending& e, ULONG packet);  // m_ held
    // Takes an ended transfer out of pending_ into `done`, unless its cancel routine runs (m_ held).
    void TakeEnded(std::list<Pending>::iterator it, std::vector<Pending>& done);
    // Moves the packets of one transfer until it ends or the device NAKs; true if anything moved
    // or it ended (m_ held).
    bool Step(PipeSlot& pipe, Pending& e);
    // Runs the pipes after the device changed (its change hook).
    void Service();
    ULONG MaxControlTransfer() const;  // the longest data stage the default pipe carries
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
    AnswerMode transferMode_ = AnswerMode::Pend;
    ShortTransferRule shortRule_ = ShortTransferRule::FailAndHalt;
    AnswerMode resetPortMode_ = AnswerMode::Inline;
    AnswerMode frameMode_ = AnswerMode::Inline;
    bool highSpeed_ = false;
    std::atomic<long> interfaceReferences_{0};
    IsochronousObserver isoObserver_;
    UrbObserver urbObserver_;
    std::shared_ptr<Device> device_;  // nullptr: nothing on the port (never plugged or unplugged)
    bool pdoRemoved_ = false;         // SURPRISE_REMOVAL or REMOVE_DEVICE seen, START_DEVICE not since
    bool pdoStarted_ = false;         // START_DEVICE seen, REMOVE_DEVICE not since
    bool resetting_ = false;          // a port reset is in progress
    std::optional<std::pair<PIRP, size_t>> heldReset_;  // a reset waiting for ReleaseResetPort
    std::vector<std::thread> workers_;                  // port resets run here (joined at destruction)
    ULONG frame_ = 0;
    ULONG isoServiced_ = 0;  // the last frame whose isochronous packets have been moved
    // The current configuration as the hub restores it after a port reset.
    UCHAR configurationValue_ = 0;
    std::vector<std::pair<UCHAR, UCHAR>> settings_;  // interface number, alternate setting
    Script script_;
    // The newest kTraceLimit requests: a long run (a fuzzer's) keeps a bounded trace.
    static constexpr size_t kTraceLimit = 10000;
    std::deque<TraceEntry> trace_;
    size_t traceCleared_ = 0;  // entries dropped by ClearTrace; trace indexes count them
    std::list<Pending> pending_;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    AnswerMode powerMode_ = AnswerMode::Pend;
    std::deque<PIRP> heldPower_;
    PIRP waitWake_ = nullptr;
    NTSTATUS veto_ = STATUS_SUCCESS;
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
