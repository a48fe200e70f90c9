// kwsim --pcap (pcap.h): the capture file's records built from the URBs the bus reports.
#include "pcap.h"

#include "kernel/model.h"

#include <usbdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace kwsim {
namespace {

using Bytes = std::vector<UCHAR>;

constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr uint32_t kSnapLength = 1u << 20;  // a longer record keeps its first MiB
constexpr UCHAR kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3, kIrpInfo = 0xFE;
constexpr UCHAR kStageSetup = 0, kStageData = 1, kStageComplete = 3;
constexpr UCHAR kPdoToFdo = 0x01;     // the info byte of a completion
constexpr USHORT kBus = 1, kAddress = 1;  // the model has one root port and one device
constexpr size_t kBaseHeader = 27;
constexpr ULONG kMaxIsoPackets = 1024;

void Put(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<UCHAR>(v >> (8 * i)));
}

struct Setup {
    UCHAR requestType = 0;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    USHORT length = 0;
    bool In() const { return (requestType & 0x80) != 0; }
};

// The setup packet the stack sends for a control URB as submitted (configurationValue for
// SELECT_CONFIGURATION); nullopt for a URB that is not a control transfer on the default pipe.
std::optional<Setup> SetupOf(const URB& u, UCHAR configurationValue) {
    static const std::pair<USHORT, UCHAR> kVendorClass[] = {
        {URB_FUNCTION_VENDOR_DEVICE, 0x40}, {URB_FUNCTION_VENDOR_INTERFACE, 0x41},
        {URB_FUNCTION_VENDOR_ENDPOINT, 0x42}, {URB_FUNCTION_VENDOR_OTHER, 0x43},
        {URB_FUNCTION_CLASS_DEVICE, 0x20}, {URB_FUNCTION_CLASS_INTERFACE, 0x21},
        {URB_FUNCTION_CLASS_ENDPOINT, 0x22}, {URB_FUNCTION_CLASS_OTHER, 0x23},
    };
    static const std::pair<USHORT, Setup> kFeature[] = {
        {URB_FUNCTION_SET_FEATURE_TO_DEVICE, {0x00, USB_REQUEST_SET_FEATURE}},
        {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, {0x01, USB_REQUEST_SET_FEATURE}},
        {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, {0x02, USB_REQUEST_SET_FEATURE}},
        {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, {0x00, USB_REQUEST_CLEAR_FEATURE}},
        {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, {0x01, USB_REQUEST_CLEAR_FEATURE}},
        {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, {0x02, USB_REQUEST_CLEAR_FEATURE}},
    };
    const USHORT f = u.UrbHeader.Function;
    if (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        const auto& r = u.UrbControlDescriptorRequest;
        return Setup{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index),
                     r.LanguageId, static_cast<USHORT>(r.TransferBufferLength)};
    }
    if (f == URB_FUNCTION_GET_CONFIGURATION) return Setup{0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1};
    if (f == URB_FUNCTION_SELECT_CONFIGURATION) return Setup{0x00, USB_REQUEST_SET_CONFIGURATION, configurationValue};
    for (auto [function, type] : kVendorClass) {
        if (function != f) continue;
        const auto& r = u.UrbControlVendorClassRequest;
        const UCHAR in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ? 0x80 : 0x00;
        return Setup{static_cast<UCHAR>(type | in), r.Request, r.Value, r.Index,
                     static_cast<USHORT>(r.TransferBufferLength)};
    }
    for (auto [function, setup] : kFeature) {
        if (function != f) continue;
        Setup s = setup;
        s.value = u.UrbControlFeatureRequest.FeatureSelector;
        s.index = u.UrbControlFeatureRequest.Index;
        return s;
    }
    return std::nullopt;
}

// The stack checked (and for an MDL mapped) the buffer of a URB that ended so; a URB refused
// before that may name memory nobody may read.
bool StackTookBuffer(USBD_STATUS s) {
    static const USBD_STATUS kRefusals[] = {
        USBD_STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, USBD_STATUS_INSUFFICIENT_RESOURCES,
        USBD_STATUS_INVALID_URB_FUNCTION, USBD_STATUS_NOT_SUPPORTED, USBD_STATUS_DEVICE_GONE,
    };
    return std::find(std::begin(kRefusals), std::end(kRefusals), s) == std::end(kRefusals);
}

bool HasDataStage(USHORT f) {
    switch (f) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_ISOCH_TRANSFER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_CONFIGURATION:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            return true;
        default:
            return false;
    }
}

// The data stage of a completed URB: its buffer, or nullptr when it has none or must not be read.
const UCHAR* DataOf(const URB& live) {
    if (!HasDataStage(live.UrbHeader.Function) || !StackTookBuffer(live.UrbHeader.Status)) return nullptr;
    // Every URB with a data stage has the buffer fields where a bulk transfer has them.
    const auto& r = live.UrbBulkOrInterruptTransfer;
    if (r.TransferBufferMDL != nullptr) {
        return static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(r.TransferBufferMDL, NormalPagePriority));
    }
    return static_cast<const UCHAR*>(r.TransferBuffer);
}

Bytes Header(const Capture::Held& h, size_t extra, USBD_STATUS status, bool completion, size_t dataLength) {
    Bytes b;
    Put(b, kBaseHeader + extra, 2);
    Put(b, h.id, 8);
    Put(b, status, 4);
    Put(b, h.urb.UrbHeader.Function, 2);
    b.push_back(completion ? kPdoToFdo : 0);
    Put(b, kBus, 2);
    Put(b, kAddress, 2);
    b.push_back(h.endpoint);
    b.push_back(h.transfer);
    Put(b, dataLength, 4);
    return b;
}

// One pcap record: its header, the pseudo-header and `n` bytes of data (none when data is null).
void Record(Bytes& out, uint64_t time, const Bytes& header, const UCHAR* data, size_t n) {
    if (data == nullptr) n = 0;
    const size_t whole = header.size() + n;
    const size_t kept = std::min<size_t>(whole, kSnapLength);
    Put(out, time / 1000000, 4);
    Put(out, time % 1000000, 4);
    Put(out, kept, 4);
    Put(out, whole, 4);
    out.insert(out.end(), header.begin(), header.end());
    if (n != 0) out.insert(out.end(), data, data + (kept - header.size()));
}

// The isochronous header: start frame, packet count, error count and each packet; `live` is the
// URB at completion (nullptr: no packet is read).
void IsoHeader(Bytes& b, const Capture::Held& h, const URB* live, bool completion) {
    const auto& r = h.urb.UrbIsochronousTransfer;
    // No more packets than the URB's length holds, read only once the stack has checked them.
    const size_t fixed = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    const size_t room = r.Hdr.Length > fixed ? (r.Hdr.Length - fixed) / sizeof(USBD_ISO_PACKET_DESCRIPTOR) : 0;
    const bool readable = live != nullptr && StackTookBuffer(live->UrbHeader.Status);
    const ULONG n = readable ? static_cast<ULONG>(std::min<size_t>({r.NumberOfPackets, room, kMaxIsoPackets})) : 0;
    const bool in = (h.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    Put(b, completion ? live->UrbIsochronousTransfer.StartFrame : r.StartFrame, 4);
    Put(b, n, 4);
    Put(b, completion ? live->UrbIsochronousTransfer.ErrorCount : 0, 4);
    for (ULONG i = 0; i < n; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& p = live->UrbIsochronousTransfer.IsoPacket[i];
        // An OUT packet runs to the next one's offset (the last to the end of the buffer).
        const ULONG end = i + 1 < n ? live->UrbIsochronousTransfer.IsoPacket[i + 1].Offset : r.TransferBufferLength;
        const ULONG length = in ? (completion ? p.Length : 0) : (end > p.Offset ? end - p.Offset : 0);
        Put(b, p.Offset, 4);
        Put(b, length, 4);
        Put(b, completion ? p.Status : 0, 4);
    }
}

UCHAR ConfigurationValue(const URB* live) {
    if (live == nullptr || live->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
        !StackTookBuffer(live->UrbHeader.Status)) {
        return 0;
    }
    const PUSB_CONFIGURATION_DESCRIPTOR c = live->UrbSelectConfiguration.ConfigurationDescriptor;
    return c != nullptr ? c->bConfigurationValue : 0;
}

// The records of a submission; `live` is the URB at completion, whose buffer holds the OUT data
// (nullptr for a request that never completed: no data).
Bytes Submission(const Capture::Held& h, const URB* live) {
    Bytes out;
    const UCHAR* data = live != nullptr ? DataOf(*live) : nullptr;
    const bool in = (h.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    const ULONG length = h.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (h.transfer == kControl) {
        const Setup s = *SetupOf(h.urb, ConfigurationValue(live));
        const UCHAR packet[8] = {s.requestType, s.request, UCHAR(s.value), UCHAR(s.value >> 8),
                                 UCHAR(s.index), UCHAR(s.index >> 8), UCHAR(s.length), UCHAR(s.length >> 8)};
        Bytes setup = Header(h, 1, USBD_STATUS_SUCCESS, false, sizeof packet);
        setup.push_back(kStageSetup);
        Record(out, h.time, setup, packet, sizeof packet);
        if (!s.In() && s.length != 0 && data != nullptr) {
            Bytes stage = Header(h, 1, USBD_STATUS_SUCCESS, false, s.length);
            stage.push_back(kStageData);
            Record(out, h.time, stage, data, s.length);
        }
        return out;
    }
    const size_t sent = in || data == nullptr ? 0 : length;
    if (h.transfer == kIsochronous) {
        Bytes iso;
        IsoHeader(iso, h, live, false);
        Bytes header = Header(h, iso.size(), USBD_STATUS_SUCCESS, false, sent);
        header.insert(header.end(), iso.begin(), iso.end());
        Record(out, h.time, header, data, sent);
        return out;
    }
    Record(out, h.time, Header(h, 0, USBD_STATUS_SUCCESS, false, sent), data, sent);
    return out;
}

// The record of a completion: the URB's status and the IN data it brought.
Bytes Completion(const Capture::Held& h, const URB& live, uint64_t time) {
    Bytes out;
    const UCHAR* data = DataOf(live);
    const bool in = (h.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    const ULONG asked = h.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    const USBD_STATUS status = live.UrbHeader.Status;
    // Only a URB with a data stage is as long as a bulk transfer's fields reach.
    size_t received = in && data != nullptr ? std::min(asked, live.UrbBulkOrInterruptTransfer.TransferBufferLength) : 0;
    if (h.transfer == kControl) {
        if (!SetupOf(h.urb, 0)->In()) received = 0;
        Bytes header = Header(h, 1, status, true, received);
        header.push_back(kStageComplete);
        Record(out, time, header, data, received);
    } else if (h.transfer == kIsochronous) {
        // An isochronous IN buffer comes back whole: each packet at its offset.
        if (received != 0) received = asked;
        Bytes iso;
        IsoHeader(iso, h, &live, true);
        Bytes header = Header(h, iso.size(), status, true, received);
        header.insert(header.end(), iso.begin(), iso.end());
        Record(out, time, header, data, received);
    } else {
        Record(out, time, Header(h, 0, status, true, received), data, received);
    }
    return out;
}

}  // namespace

std::unique_ptr<Capture> Capture::Create(const std::string& path, std::string* error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        *error = "cannot write the capture file " + path;
        return nullptr;
    }
    Bytes global;
    Put(global, 0xA1B2C3D4, 4);  // microsecond timestamps
    Put(global, 2, 2);
    Put(global, 4, 2);
    Put(global, 0, 4);  // UTC
    Put(global, 0, 4);
    Put(global, kSnapLength, 4);
    Put(global, kLinkTypeUsbPcap, 4);
    file.write(reinterpret_cast<const char*>(global.data()), static_cast<std::streamsize>(global.size()));
    file.flush();
    return std::unique_ptr<Capture>(new Capture(std::move(file)));
}

Capture::Capture(std::ofstream file) : file_(std::move(file)) {}

Capture::~Capture() {
    Detach();
    std::lock_guard<std::mutex> g(mutex_);
    for (const auto& [irp, h] : held_) queue_[h.slot - written_] = Submission(h, nullptr);
    held_.clear();
    Flush();
}

void Capture::Attach(sim::usb::BusDevice* bus) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        bus_ = bus;
    }
    bus->SetUrbObserver([this](PIRP irp, const URB& urb, bool completed) { OnUrb(irp, urb, completed); });
}

void Capture::Detach() {
    sim::usb::BusDevice* bus = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        std::swap(bus, bus_);
    }
    if (bus != nullptr) bus->SetUrbObserver(nullptr);
}

uint64_t Capture::Tick() {
    const uint64_t frame = bus_ != nullptr ? uint64_t{bus_->FrameNumber()} * 1000 : 0;
    time_ = std::max(frame, time_ + 1);
    return time_;
}

void Capture::Classify(Held* h) const {
    const URB& u = h->urb;
    const USHORT f = u.UrbHeader.Function;
    auto fromPipe = [this, h](USBD_PIPE_HANDLE pipe) {
        std::optional<sim::usb::PipeState> st = bus_ != nullptr ? bus_->Pipe(pipe) : std::nullopt;
        h->endpoint = st ? st->endpointAddress : 0;
        return st ? st->type : UsbdPipeTypeBulk;
    };
    if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        h->transfer = fromPipe(u.UrbBulkOrInterruptTransfer.PipeHandle) == UsbdPipeTypeInterrupt ? kInterrupt : kBulk;
    } else if (f == URB_FUNCTION_ISOCH_TRANSFER) {
        fromPipe(u.UrbIsochronousTransfer.PipeHandle);
        h->transfer = kIsochronous;
    } else if (std::optional<Setup> s = SetupOf(u, 0)) {
        h->transfer = kControl;
        h->endpoint = s->In() ? 0x80 : 0x00;
    } else {
        const bool pipe = f == URB_FUNCTION_ABORT_PIPE || f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
                          f == URB_FUNCTION_SYNC_RESET_PIPE || f == URB_FUNCTION_SYNC_CLEAR_STALL;
        if (pipe) fromPipe(u.UrbPipeRequest.PipeHandle);
        h->transfer = kIrpInfo;
    }
}

void Capture::OnUrb(PIRP irp, const URB& urb, bool completed) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!completed) {
        Held h;
        h.id = ++lastId_;
        h.time = Tick();
        std::memcpy(&h.urb, &urb, std::min<size_t>(urb.UrbHeader.Length, sizeof(URB)));
        Classify(&h);
        h.slot = written_ + queue_.size();
        queue_.emplace_back();
        held_[irp] = h;
        return;
    }
    auto it = held_.find(irp);
    if (it == held_.end()) return;  // submitted before the capture was attached
    const Held h = it->second;
    held_.erase(it);
    queue_[h.slot - written_] = Submission(h, &urb);
    queue_.emplace_back(Completion(h, urb, Tick()));
    Flush();
}

void Capture::Flush() {
    bool wrote = false;
    while (!queue_.empty() && queue_.front()) {
        const Bytes& b = *queue_.front();
        file_.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        queue_.pop_front();
        ++written_;
        wrote = true;
    }
    // Written through at once, so a run that ends in a bug check leaves what came before it.
    if (wrote) file_.flush();
}

}  // namespace kwsim
