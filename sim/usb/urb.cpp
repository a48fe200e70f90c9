// What the USB stack (hub PDO and port driver) does with each URB: validation with the USBD
// status and NTSTATUS Windows reports, configuration and pipe handles, pipe maintenance, and
// control transfers on the default pipe run against the device model.
#include "app/address_space.h"
#include "kernel/internal.h"
#include "usb/bus.h"
#include "usb/status.h"
#include "usb/urb_checks.h"

#include <usbdlib.h>

#include <cstddef>
#include <cstring>
#include <set>

namespace sim::usb {

namespace {
// The most a control transfer on the default pipe carries: 4 KiB at full speed, 64 KiB at high
// speed (what Windows' host controller drivers accept; more fails with
// USBD_STATUS_INVALID_PARAMETER). wLength is 16 bits, so 65535 is the most a URB can ask.
constexpr ULONG kMaxControlTransferFullSpeed = 4096;
constexpr ULONG kMaxControlTransferHighSpeed = 0xFFFF;
}  // namespace

namespace stack {
Answer Fail(USBD_STATUS usbd) {
    Answer a;
    a.usbdStatus = usbd;
    a.status = NtStatusFromUsbd(usbd);
    return a;
}

Answer Fail(USBD_STATUS usbd, NTSTATUS status) {
    Answer a;
    a.usbdStatus = usbd;
    a.status = status;
    return a;
}

// Ranges outside pool, such as a driver's stack or static data, are not checked. Freed pool is
// recognised only for a buffer the driver passes directly: the system address of an MDL maps
// memory the I/O manager or an application owns, which the host allocator may have placed
// where a pool block once was.
void CheckDriverRange(const void* p, size_t n, const char* what, bool direct) {
    std::string problem;
    const char* rule = "UrbBufferOverrun";
    {
        std::lock_guard<std::mutex> g(detail::TableLock());
        detail::World& w = detail::W();
        if (direct && w.freedPool.count(const_cast<void*>(p)) != 0) {
            problem = std::string(what) + " lies in pool that has been freed";
        } else {
            const auto* start = static_cast<const UCHAR*>(p);
            for (const auto& [block, info] : w.pool) {
                const auto* b = static_cast<const UCHAR*>(block);
                if (start >= b && start < b + info.size) {
                    if (info.paged) {
                        // The stack touches URBs and buffers at DISPATCH_LEVEL, where a paged-out
                        // page cannot be brought in.
                        rule = "PagedPoolToUsbStack";
                        problem = std::string(what) + " lies in paged pool";
                    } else if (start + n > b + info.size) {
                        problem = std::string(what) + " covers " + std::to_string(n) +
                                  " bytes but its pool block has only " +
                                  std::to_string(static_cast<size_t>(b + info.size - start)) + " from there";
                    }
                    break;
                }
            }
        }
    }
    if (!problem.empty()) BugCheck(kBugDriverVerifierViolation, rule, problem);
}

UCHAR* DataStage(PVOID buffer, PMDL mdl, ULONG length, const char* what) {
    if (mdl != nullptr) {
        if (length > MmGetMdlByteCount(mdl)) {
            BugCheck(kBugDriverVerifierViolation, "UrbTransferBeyondMdl",
                     std::string(what) + ": TransferBufferLength " + std::to_string(length) +
                         " exceeds the MDL's byte count " + std::to_string(MmGetMdlByteCount(mdl)));
        }
        auto* va = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (va != nullptr && length != 0) CheckDriverRange(va, length, what, false);
        return va;
    }
    if (length != 0 && app::IsUserAddress(buffer)) {
        BugCheck(kBugDriverVerifierViolation, "UrbUserBuffer",
                 std::string(what) + " is the user address " + detail::Hex(reinterpret_cast<uintptr_t>(buffer)) +
                     ": the USB stack reaches TransferBuffer from arbitrary thread context, where only system "
                     "addresses are valid (lock the pages and pass an MDL, or copy to pool)");
    }
    if (length != 0) CheckDriverRange(buffer, length, what);
    return static_cast<UCHAR*>(buffer);
}

void CheckInTarget(bool in, ULONG length, PMDL mdl, UCHAR endpoint) {
    if (in && length != 0 && mdl != nullptr && detail::LockedForReadOnly(mdl)) {
        BugCheck(kBugDriverVerifierViolation, "InTransferIntoReadOnlyMdl",
                 "an IN transfer on endpoint " + detail::Hex(endpoint) +
                     " into an MDL locked for IoReadAccess (the caller's buffer of a write)");
    }
}

}  // namespace stack

using stack::DataStage;
using stack::Fail;
using stack::HasBuffer;
using stack::CheckDriverRange;

// ---------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------

std::optional<Answer> BusDevice::Refuse(PURB urb) {
    const USHORT f = urb->UrbHeader.Function;
    const auto& sc = urb->UrbSelectConfiguration;
    const bool unconfigure = f == URB_FUNCTION_SELECT_CONFIGURATION &&
                             sc.Hdr.Length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface) &&
                             sc.ConfigurationDescriptor == nullptr;
    // A driver tearing down must be able to abort its pipes and let go of the configuration.
    if (f == URB_FUNCTION_ABORT_PIPE || unconfigure) return std::nullopt;
    std::lock_guard<std::mutex> g(m_);
    // The hub's PDO fails requests for a device that is being removed, as the hub does for
    // transfers (STATUS_DELETE_PENDING with USBD_STATUS_INVALID_PARAMETER).
    if (pdoRemoved_) return Fail(USBD_STATUS_INVALID_PARAMETER, STATUS_DELETE_PENDING);
    if (!device_) return Fail(USBD_STATUS_DEVICE_GONE);
    // While the port is being reset the device has no address: the hub refuses URBs.
    if (resetting_) return Fail(USBD_STATUS_INVALID_PARAMETER);
    return std::nullopt;
}

Answer BusDevice::SubmitUrb(PIRP irp, PURB urb) {
    (void)irp;
    const USHORT f = urb->UrbHeader.Function;
    switch (f) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(urb);
        case URB_FUNCTION_ABORT_PIPE:
            return AbortPipe(urb);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return ResetPipe(urb);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return GetDescriptor(urb);
        case URB_FUNCTION_GET_CONFIGURATION:
            return GetConfiguration(urb);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return Feature(urb);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            return FrameNumberRequest(urb);
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            return VendorOrClass(urb);
        // Frame-length control is not supported from Windows XP on.
        case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
        case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
        case URB_FUNCTION_GET_FRAME_LENGTH:
        case URB_FUNCTION_SET_FRAME_LENGTH:
            return Fail(USBD_STATUS_NOT_SUPPORTED);
        case URB_FUNCTION_SELECT_INTERFACE:
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_GET_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR:
            BugCheck(kBugUsbModelGap, "UsbModelGap",
                     UrbFunctionName(f) + " is not modelled yet (sim/README.md, \"Not modelled yet\")");
        default:
            return Fail(USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// ---------------------------------------------------------------------------------------------
// Control transfers on the default pipe
// ---------------------------------------------------------------------------------------------

USBD_STATUS BusDevice::RunControl(const SetupPacket& setup, UCHAR* buffer, ULONG* moved) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> g(m_);
        device = device_;
    }
    if (moved != nullptr) *moved = 0;
    const ULONG port = device ? device->PortStatus() : 0;
    if ((port & USBD_PORT_CONNECTED) == 0) return USBD_STATUS_DEVICE_GONE;
    if ((port & USBD_PORT_ENABLED) == 0) return USBD_STATUS_DEV_NOT_RESPONDING;
    Bytes out;
    if (!setup.In() && setup.wLength != 0) out.assign(buffer, buffer + setup.wLength);
    ControlResult r = device->Control(setup, out);
    if (r.stall) return USBD_STATUS_STALL_PID;
    if (setup.In() && !r.data.empty()) std::memcpy(buffer, r.data.data(), r.data.size());
    if (moved != nullptr) *moved = setup.In() ? static_cast<ULONG>(r.data.size()) : setup.wLength;
    return USBD_STATUS_SUCCESS;
}

ULONG BusDevice::MaxControlTransfer() const {
    std::lock_guard<std::mutex> g(m_);
    return highSpeed_ ? kMaxControlTransferHighSpeed : kMaxControlTransferFullSpeed;
}

Answer BusDevice::ControlTransfer(const SetupPacket& setup, UCHAR* buffer, PULONG length) {
    Answer a;
    {
        std::lock_guard<std::mutex> g(m_);
        a.mode = controlMode_;
    }
    // The data stage is read and written when the transfer runs, at completion.
    a.decide = [this, setup, buffer, length](PIRP, PIO_STACK_LOCATION, Answer& out) {
        ULONG moved = 0;
        out.usbdStatus = RunControl(setup, buffer, &moved);
        out.status = NtStatusFromUsbd(out.usbdStatus);
        if (length != nullptr) *length = moved;
    };
    return a;
}

Answer BusDevice::GetDescriptor(PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    if (r.Hdr.Length < sizeof r || r.TransferBufferLength > MaxControlTransfer()) {
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    if (r.TransferBufferLength != 0 && !HasBuffer(r.TransferBuffer, r.TransferBufferMDL)) {
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    UCHAR* buffer = DataStage(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength,
                              "GET_DESCRIPTOR_FROM_DEVICE transfer buffer");
    if (buffer == nullptr && r.TransferBufferLength != 0) return Fail(USBD_STATUS_INSUFFICIENT_RESOURCES);
    SetupPacket s;
    s.bmRequestType = 0x80;  // device to host, standard, device
    s.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    s.wValue = USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index);
    s.wIndex = r.LanguageId;
    s.wLength = static_cast<USHORT>(r.TransferBufferLength);
    return ControlTransfer(s, buffer, &r.TransferBufferLength);
}

Answer BusDevice::GetConfiguration(PURB urb) {
    auto& r = urb->UrbControlGetConfigurationRequest;
    if (r.Hdr.Length < sizeof r || r.TransferBufferLength != 1 || !HasBuffer(r.TransferBuffer, r.TransferBufferMDL)) {
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    UCHAR* buffer = DataStage(r.TransferBuffer, r.TransferBufferMDL, 1, "GET_CONFIGURATION transfer buffer");
    if (buffer == nullptr) return Fail(USBD_STATUS_INSUFFICIENT_RESOURCES);
    SetupPacket s;
    s.bmRequestType = 0x80;
    s.bRequest = USB_REQUEST_GET_CONFIGURATION;
    s.wLength = 1;
    return ControlTransfer(s, buffer, &r.TransferBufferLength);
}

Answer BusDevice::VendorOrClass(PURB urb) {
    auto& r = urb->UrbControlVendorClassRequest;
    if (r.Hdr.Length < sizeof r || r.TransferBufferLength > MaxControlTransfer()) {
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    if (r.TransferBufferLength != 0 && !HasBuffer(r.TransferBuffer, r.TransferBufferMDL)) {
        return Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    UCHAR* buffer = DataStage(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength,
                              "vendor or class request transfer buffer");
    if (buffer == nullptr && r.TransferBufferLength != 0) return Fail(USBD_STATUS_INSUFFICIENT_RESOURCES);
    constexpr UCHAR kVendor = 0x40, kClass = 0x20, kDeviceToHost = 0x80;
    SetupPacket s;
    switch (r.Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE: s.bmRequestType = kVendor | BMREQUEST_TO_DEVICE; break;
        case URB_FUNCTION_VENDOR_INTERFACE: s.bmRequestType = kVendor | BMREQUEST_TO_INTERFACE; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: s.bmRequestType = kVendor | BMREQUEST_TO_ENDPOINT; break;
        case URB_FUNCTION_VENDOR_OTHER: s.bmRequestType = kVendor | BMREQUEST_TO_OTHER; break;
        case URB_FUNCTION_CLASS_DEVICE: s.bmRequestType = kClass | BMREQUEST_TO_DEVICE; break;
        case URB_FUNCTION_CLASS_INTERFACE: s.bmRequestType = kClass | BMREQUEST_TO_INTERFACE; break;
        case URB_FUNCTION_CLASS_ENDPOINT: s.bmRequestType = kClass | BMREQUEST_TO_ENDPOINT; break;
        default: s.bmRequestType = kClass | BMREQUEST_TO_OTHER; break;
    }
    // The direction is the caller's flag; RequestTypeReservedBits is reserved and not used.
    if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) s.bmRequestType |= kDeviceToHost;
    s.bRequest = r.Request;
    s.wValue = r.Value;
    s.wIndex = r.Index;
    s.wLength = static_cast<USHORT>(r.TransferBufferLength);
    // A short data stage ends a control transfer normally, with or without USBD_SHORT_TRANSFER_OK.
    return ControlTransfer(s, buffer, &r.TransferBufferLength);
}

Answer BusDevice::FrameNumberRequest(PURB urb) {
    auto& r = urb->UrbGetCurrentFrameNumber;
    if (r.Hdr.Length < sizeof r) return Fail(USBD_STATUS_INVALID_PARAMETER);
    // Answered from the host controller's counter inside IoCallDriver, as Windows answers it,
    // unless a test lets it pend (SetFrameNumberMode); the value is the frame at submission.
    std::lock_guard<std::mutex> g(m_);
    const ULONG frame = frame_;
    Answer a;
    a.mode = frameMode_;
    a.effect = [&r, frame](PIRP, PIO_STACK_LOCATION) { r.FrameNumber = frame; };
    return a;
}

Answer BusDevice::Feature(PURB urb) {
    auto& r = urb->UrbControlFeatureRequest;
    if (r.Hdr.Length < sizeof r) return Fail(USBD_STATUS_INVALID_PARAMETER);
    SetupPacket s;
    switch (r.Hdr.Function) {
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: s.bmRequestType = BMREQUEST_TO_DEVICE; break;
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: s.bmRequestType = BMREQUEST_TO_INTERFACE; break;
        default: s.bmRequestType = BMREQUEST_TO_ENDPOINT; break;
    }
    const bool set = r.Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ||
                     r.Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                     r.Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
    s.bRequest = set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
    s.wValue = r.FeatureSelector;
    s.wIndex = r.Index;
    // A standard request to the device only: the host's view of the pipe (halt, toggle) stays.
    return ControlTransfer(s, nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------------------------

std::vector<BusDevice::Pending> BusDevice::CloseConfiguration() {
    std::set<const PipeSlot*> closing(openPipes_.begin(), openPipes_.end());
    for (PipeSlot* p : openPipes_) p->state.live = false;
    openPipes_.clear();
    if (configuration_ != nullptr) configuration_->live = false;
    configuration_ = nullptr;
    configurationValue_ = 0;
    settings_.clear();
    for (HandleSlot* h : interfaces_) h->live = false;
    interfaces_.clear();
    return Claim([&closing](const Pending& p) { return p.pipe != nullptr && closing.count(p.pipe) != 0; });
}

Answer BusDevice::Unconfigure() {
    std::vector<Pending> claimed;
    {
        std::lock_guard<std::mutex> g(m_);
        claimed = CloseConfiguration();
    }
    // SET_CONFIGURATION(0): the host has let go of the configuration whatever the device
    // answers (it may be gone already), so the request succeeds.
    SetupPacket s;
    s.bRequest = USB_REQUEST_SET_CONFIGURATION;
    RunControl(s, nullptr, nullptr);
    std::lock_guard<std::mutex> g(m_);
    return WithCancelled(Answer{}, std::move(claimed));
}

Answer BusDevice::SelectConfiguration(PURB urb) {
    auto& sc = urb->UrbSelectConfiguration;
    const size_t fixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t recordHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (sc.Hdr.Length < fixed) return Fail(USBD_STATUS_INVALID_PARAMETER);
    if (sc.ConfigurationDescriptor == nullptr) return Unconfigure();

    // The hub checks the descriptor's header and answers STATUS_INVALID_PARAMETER itself.
    const auto* cd = reinterpret_cast<const UCHAR*>(sc.ConfigurationDescriptor);
    CheckDriverRange(cd, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                     "the configuration descriptor of a select-configuration request");
    if (cd[0] != sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER);
    }
    const USHORT total = ReadWord(cd + 2);
    CheckDriverRange(cd, total, "the configuration descriptor set of a select-configuration request (wTotalLength)");
    std::string error;
    std::optional<ConfigLayout> layout = WalkConfiguration(cd, total, &error);
    if (!layout) return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // Interface records follow one another by their Length up to Hdr.Length.
    const bool highSpeed = HighSpeed();
    std::vector<PUSBD_INTERFACE_INFORMATION> records;
    for (size_t off = fixed; off < sc.Hdr.Length;) {
        auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + off);
        if (off % alignof(USBD_INTERFACE_INFORMATION) != 0 || off + recordHeader > sc.Hdr.Length ||
            rec->Length < recordHeader || off + rec->Length > sc.Hdr.Length) {
            return Fail(USBD_STATUS_INVALID_PARAMETER);
        }
        records.push_back(rec);
        off += rec->Length;
    }
    if (records.size() != layout->numInterfaces) return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    std::vector<const InterfaceInfo*> settings;
    std::set<UCHAR> numbers;
    for (PUSBD_INTERFACE_INFORMATION rec : records) {
        const InterfaceInfo* setting = layout->Find(rec->InterfaceNumber, rec->AlternateSetting);
        if (setting == nullptr) return Fail(USBD_STATUS_INTERFACE_NOT_FOUND);
        if (!numbers.insert(rec->InterfaceNumber).second) return Fail(USBD_STATUS_INVALID_PARAMETER);
        if (setting->endpoints.size() != setting->declaredEndpoints) {
            return Fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        }
        if (rec->Length < GET_USBD_INTERFACE_SIZE(setting->declaredEndpoints)) {
            return Fail(USBD_STATUS_BUFFER_TOO_SMALL);
        }
        if (rec->NumberOfPipes != setting->declaredEndpoints) return Fail(USBD_STATUS_INVALID_PARAMETER);
        for (ULONG i = 0; i < rec->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& p = rec->Pipes[i];
            if (p.PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) return Fail(USBD_STATUS_INAVLID_PIPE_FLAGS);
            const ULONG limit = PacketLimit(setting->endpoints[i].Type(), highSpeed);
            const bool changed = (p.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) != 0;
            if (changed && (p.MaximumPacketSize == 0 || p.MaximumPacketSize > limit)) {
                return Fail(USBD_STATUS_INVALID_PARAMETER);
            }
        }
        settings.push_back(setting);
    }

    // The old configuration goes first; then the device is configured and the pipes opened.
    std::vector<Pending> claimed;
    {
        std::lock_guard<std::mutex> g(m_);
        claimed = CloseConfiguration();
    }
    SetupPacket set;
    set.bRequest = USB_REQUEST_SET_CONFIGURATION;
    set.wValue = layout->configurationValue;
    USBD_STATUS st = RunControl(set, nullptr, nullptr);
    for (size_t i = 0; st == USBD_STATUS_SUCCESS && i < settings.size(); ++i) {
        if (settings[i]->alternate == 0) continue;
        SetupPacket alt;
        alt.bmRequestType = BMREQUEST_TO_INTERFACE;
        alt.bRequest = USB_REQUEST_SET_INTERFACE;
        alt.wValue = settings[i]->alternate;
        alt.wIndex = settings[i]->number;
        st = RunControl(alt, nullptr, nullptr);
    }
    std::lock_guard<std::mutex> g(m_);
    if (st != USBD_STATUS_SUCCESS) {
        // A device that refuses the configuration (or has gone) leaves the device unconfigured.
        const USBD_STATUS reported = st == USBD_STATUS_STALL_PID ? USBD_STATUS_SET_CONFIG_FAILED : st;
        return WithCancelled(Fail(reported), std::move(claimed));
    }
    configuration_ = &handleSlots_.emplace_back();
    configurationValue_ = layout->configurationValue;
    for (const InterfaceInfo* setting : settings) settings_.emplace_back(setting->number, setting->alternate);
    sc.ConfigurationHandle = configuration_;
    for (size_t i = 0; i < records.size(); ++i) {
        PUSBD_INTERFACE_INFORMATION rec = records[i];
        const InterfaceInfo& setting = *settings[i];
        HandleSlot* iface = &handleSlots_.emplace_back();
        interfaces_.push_back(iface);
        rec->InterfaceHandle = iface;
        rec->Class = setting.cls;
        rec->SubClass = setting.subClass;
        rec->Protocol = setting.protocol;
        rec->NumberOfPipes = setting.declaredEndpoints;
        for (ULONG k = 0; k < rec->NumberOfPipes; ++k) {
            USBD_PIPE_INFORMATION& p = rec->Pipes[k];
            const EndpointInfo& e = setting.endpoints[k];
            PipeSlot* slot = &pipeSlots_.emplace_back();
            slot->state.live = true;
            slot->state.endpointAddress = e.address;
            slot->state.type = static_cast<USBD_PIPE_TYPE>(e.Type());
            slot->state.maximumPacketSize = (p.PipeFlags & USBD_PF_CHANGE_MAX_PACKET)
                                                ? p.MaximumPacketSize
                                                : static_cast<USHORT>(e.PacketSize());
            slot->state.interval = e.interval;
            slot->state.interfaceNumber = setting.number;
            pipeIndex_[slot] = slot;
            openPipes_.push_back(slot);
            p.EndpointAddress = e.address;
            p.Interval = e.interval;
            p.PipeType = slot->state.type;
            p.MaximumPacketSize = slot->state.maximumPacketSize;
            p.PipeHandle = slot;
        }
    }
    return WithCancelled(Answer{}, std::move(claimed));
}

// ---------------------------------------------------------------------------------------------
// Pipe maintenance
// ---------------------------------------------------------------------------------------------

Answer BusDevice::AbortPipe(PURB urb) {
    auto& r = urb->UrbPipeRequest;
    if (r.Hdr.Length < sizeof r) return Fail(USBD_STATUS_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(m_);
    PipeSlot* slot = LivePipe(r.PipeHandle);
    if (slot == nullptr) return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    // The pipe's halt and toggle are left as they are: only its transfers go, and an isochronous
    // stream starts afresh (the next ASAP transfer goes out from the next frame).
    slot->isoScheduled = false;
    return WithCancelled(Answer{}, Claim([slot](const Pending& p) { return p.pipe == slot; }));
}

Answer BusDevice::ResetPipe(PURB urb) {
    auto& r = urb->UrbPipeRequest;
    const USHORT f = r.Hdr.Function;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "UrbIrql", UrbFunctionName(f) + " submitted above PASSIVE_LEVEL");
    }
    if (r.Hdr.Length < sizeof r) return Fail(USBD_STATUS_INVALID_PARAMETER);
    UCHAR address = 0;
    bool clearDevice = false;
    {
        std::lock_guard<std::mutex> g(m_);
        PipeSlot* slot = LivePipe(r.PipeHandle);
        if (slot == nullptr) return Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
        for (const Pending& p : pending_) {
            if (p.pipe == slot) return Fail(USBD_STATUS_ERROR_BUSY);
        }
        if (f != URB_FUNCTION_SYNC_CLEAR_STALL) {
            slot->state.halted = false;
            slot->state.toggle = 0;
            slot->isoScheduled = false;
        }
        address = slot->state.endpointAddress;
        // Isochronous endpoints have no halt to clear on the device.
        clearDevice = f != URB_FUNCTION_SYNC_RESET_PIPE && slot->state.type != UsbdPipeTypeIsochronous;
    }
    if (!clearDevice) return Answer{};
    SetupPacket s;
    s.bmRequestType = BMREQUEST_TO_ENDPOINT;
    s.bRequest = USB_REQUEST_CLEAR_FEATURE;
    s.wValue = USB_FEATURE_ENDPOINT_STALL;
    s.wIndex = address;
    return Fail(RunControl(s, nullptr, nullptr));
}

}  // namespace sim::usb
