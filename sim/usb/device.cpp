#include "usb/device.h"

#include <usbioctl.h>

#include <algorithm>
#include <cstdio>

namespace sim::usb {

namespace {
constexpr UCHAR kTypeMask = 0x60;
constexpr UCHAR kTypeStandard = 0x00;
constexpr UCHAR kTypeVendor = 0x40;
constexpr UCHAR kRecipientMask = 0x1F;
constexpr size_t kMaxQueuedReports = 64;

std::string EndpointName(UCHAR address) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", address);
    return b;
}

ControlResult Stall() { return ControlResult{true, {}}; }

ControlResult Data(Bytes data, USHORT wLength) {
    if (data.size() > wLength) data.resize(wLength);
    return ControlResult{false, std::move(data)};
}

// Appends UTF-16LE code units of one UTF-8 text; false on malformed UTF-8.
bool AppendUtf16(const std::string& utf8, Bytes& out) {
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= utf8.size()) return false;  // the sequence is cut off
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        i += extra + 1;
        auto unit = [&out](uint32_t u) {
            out.push_back(static_cast<UCHAR>(u & 0xFF));
            out.push_back(static_cast<UCHAR>(u >> 8));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 | (cp >> 10));
            unit(0xDC00 | (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return true;
}
}  // namespace

const char* BehaviourName(Behaviour b) {
    switch (b) {
        case Behaviour::Idle: return "idle";
        case Behaviour::Source: return "source";
        case Behaviour::Sink: return "sink";
        case Behaviour::Loopback: return "loopback";
        case Behaviour::Interrupt: return "interrupt";
    }
    return "?";
}

const char* HandshakeName(Handshake h) {
    switch (h) {
        case Handshake::Ack: return "ACK";
        case Handshake::Nak: return "NAK";
        case Handshake::Stall: return "STALL";
        case Handshake::NoResponse: return "no response";
    }
    return "?";
}

Bytes StringDescriptor(const std::string& utf8) {
    Bytes d{0, USB_STRING_DESCRIPTOR_TYPE};
    if (!AppendUtf16(utf8, d)) throw DeviceFormatError("string \"" + utf8 + "\" is not valid UTF-8");
    if (d.size() > 255) {
        throw DeviceFormatError("string \"" + utf8 + "\" needs " + std::to_string(d.size()) +
                                " bytes; a string descriptor holds at most 255");
    }
    d[0] = static_cast<UCHAR>(d.size());
    return d;
}

// ---------------------------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------------------------

Device::Device(DeviceDescription desc) : desc_(std::move(desc)), connected_(desc_.connected), enabled_(desc_.enabled) {
    const Bytes& d = desc_.device;
    if (d.size() != sizeof(USB_DEVICE_DESCRIPTOR) || d[0] != sizeof(USB_DEVICE_DESCRIPTOR) ||
        d[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        throw DeviceFormatError("device: a device descriptor is 18 bytes starting 12 01 (bLength 18, "
                                "bDescriptorType 1); got " + std::to_string(d.size()) + " bytes: " + ToHex(d));
    }
    const UCHAR mps0 = d[7];
    if (mps0 != 8 && mps0 != 16 && mps0 != 32 && mps0 != 64) {
        throw DeviceFormatError("device: bMaxPacketSize0 " + std::to_string(mps0) + " is not 8, 16, 32 or 64");
    }
    if (desc_.highSpeed && (mps0 != 64 || ReadWord(d.data() + 2) < 0x0200)) {
        throw DeviceFormatError("device: a high-speed device has bcdUSB 2.00 or later and bMaxPacketSize0 64");
    }
    if (d[17] == 0) throw DeviceFormatError("device: bNumConfigurations is 0");

    std::string error;
    const Bytes& c = desc_.configuration;
    std::optional<ConfigLayout> layout = WalkConfiguration(c.data(), c.size(), &error, &layout_);
    if (!layout && (!desc_.quirks.malformedConfiguration || c.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
        throw DeviceFormatError("configuration: " + error);
    }
    if (layout) {
        layout_ = *layout;
        error = CheckWellFormed(layout_, c.size(), desc_.highSpeed);
        if (!error.empty() && !desc_.quirks.malformedConfiguration) {
            throw DeviceFormatError("configuration: " + error +
                                    " (set quirks.malformedConfiguration to serve it anyway)");
        }
    }

    for (const auto& [index, s] : desc_.strings) {
        if (index == 0) throw DeviceFormatError("strings: index 0 is the language list; use \"languages\"");
        if (s.size() < 2 || s.size() > 255) {
            throw DeviceFormatError("strings." + std::to_string(index) + ": a string descriptor is 2 to 255 bytes");
        }
    }
    if (desc_.languages.empty() && !desc_.strings.empty()) desc_.languages.push_back(0x0409);

    for (const auto& [address, e] : desc_.endpoints) {
        const std::string where = "endpoints." + EndpointName(address) + ": ";
        const EndpointInfo* info = layout_.FindEndpoint(address);
        if (info == nullptr) throw DeviceFormatError(where + "no endpoint with this address in the configuration");
        const bool in = (address & USB_ENDPOINT_DIRECTION_MASK) != 0;
        const bool needsIn = e.behaviour == Behaviour::Source || e.behaviour == Behaviour::Interrupt;
        if (needsIn && !in) {
            throw DeviceFormatError(where + "behaviour \"" + BehaviourName(e.behaviour) + "\" needs an IN endpoint");
        }
        if (e.behaviour == Behaviour::Sink && in) {
            throw DeviceFormatError(where + "behaviour \"sink\" needs an OUT endpoint");
        }
        if (e.behaviour == Behaviour::Loopback && !in) {
            const UCHAR peer = e.peer != 0 ? e.peer : static_cast<UCHAR>(address | USB_ENDPOINT_DIRECTION_MASK);
            if ((peer & USB_ENDPOINT_DIRECTION_MASK) == 0 || layout_.FindEndpoint(peer) == nullptr) {
                throw DeviceFormatError(where + "loopback target " + EndpointName(peer) +
                                        " is not an IN endpoint of the configuration");
            }
            desc_.endpoints[address].peer = peer;
        }
        if (e.behaviour == Behaviour::Interrupt) {
            for (const Bytes& r : e.reports) {
                if (r.size() > info->PacketSize()) {
                    throw DeviceFormatError(where + "a report of " + std::to_string(r.size()) +
                                            " bytes does not fit the endpoint's packet size " +
                                            std::to_string(info->PacketSize()));
                }
            }
            if (e.everyFrames != 0 && e.pattern.size() > info->PacketSize()) {
                throw DeviceFormatError(where + "the periodic report does not fit the endpoint's packet size");
            }
        }
    }
    for (const auto& [request, v] : desc_.vendor) {
        if (v.in == VendorIn::Echo || v.out == VendorOut::Store) stored_[request] = v.initial;
    }
}

// ---------------------------------------------------------------------------------------------
// Default control pipe
// ---------------------------------------------------------------------------------------------

ControlResult Device::Control(const SetupPacket& setup, const Bytes& out) {
    std::lock_guard<std::mutex> g(m_);
    ControlResult r;
    switch (setup.bmRequestType & kTypeMask) {
        case kTypeStandard: r = Standard(setup, out); break;
        case kTypeVendor: r = Vendor(setup, out); break;
        default: r = Stall(); break;  // no class requests
    }
    ControlRecord rec;
    rec.setup = setup;
    if (!setup.In()) rec.out = out;
    rec.stalled = r.stall;
    rec.inLength = r.data.size();
    log_.push_back(std::move(rec));
    return r;
}

ControlResult Device::Standard(const SetupPacket& s, const Bytes& out) {
    (void)out;
    const UCHAR recipient = s.bmRequestType & kRecipientMask;
    switch (s.bRequest) {
        case USB_REQUEST_GET_STATUS:
            return s.In() ? GetStatus(s) : Stall();
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
            return s.In() || s.wLength != 0 ? Stall() : Feature(s, s.bRequest == USB_REQUEST_SET_FEATURE);
        case USB_REQUEST_SET_ADDRESS:
            return ControlResult{};
        case USB_REQUEST_GET_DESCRIPTOR:
            return s.In() && recipient == BMREQUEST_TO_DEVICE ? GetDescriptor(s) : Stall();
        case USB_REQUEST_GET_CONFIGURATION:
            return s.In() ? Data({configuration_}, s.wLength) : Stall();
        case USB_REQUEST_SET_CONFIGURATION:
            return s.In() ? Stall() : SetConfiguration(static_cast<UCHAR>(s.wValue & 0xFF));
        case USB_REQUEST_GET_INTERFACE: {
            if (!s.In() || configuration_ == 0) return Stall();
            auto it = alternates_.find(static_cast<UCHAR>(s.wIndex & 0xFF));
            return it == alternates_.end() ? Stall() : Data({it->second}, s.wLength);
        }
        case USB_REQUEST_SET_INTERFACE:
            return s.In() || recipient != BMREQUEST_TO_INTERFACE
                       ? Stall()
                       : SetInterface(static_cast<UCHAR>(s.wIndex & 0xFF), static_cast<UCHAR>(s.wValue & 0xFF));
        default:
            return Stall();
    }
}

bool Device::QuirkApplies(const std::vector<DescriptorQuirk>& list, UCHAR type, UCHAR index, ULONG read,
                          const DescriptorQuirk** which) const {
    for (const DescriptorQuirk& q : list) {
        if (q.type == type && q.index == index && (q.times == 0 || read < q.times)) {
            if (which != nullptr) *which = &q;
            return true;
        }
    }
    return false;
}

ControlResult Device::GetDescriptor(const SetupPacket& s) {
    const UCHAR type = static_cast<UCHAR>(s.wValue >> 8);
    const UCHAR index = static_cast<UCHAR>(s.wValue & 0xFF);
    const ULONG read = reads_[{type, index}]++;
    const Quirks& q = desc_.quirks;
    if (QuirkApplies(q.stallDescriptors, type, index, read, nullptr)) return Stall();
    Bytes data;
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            data = desc_.device;
            break;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
            if (index != 0) return Stall();  // one configuration is modelled
            const size_t n = q.configurationSequence.size();
            data = n == 0 ? desc_.configuration : q.configurationSequence[std::min<size_t>(read, n - 1)];
            if (!q.totalLengthSequence.empty()) {
                const USHORT total = q.totalLengthSequence[std::min<size_t>(read, q.totalLengthSequence.size() - 1)];
                if (data.size() >= 4) {
                    data[2] = static_cast<UCHAR>(total & 0xFF);
                    data[3] = static_cast<UCHAR>(total >> 8);
                }
                if (data.size() > total) data.resize(total);
            }
            break;
        }
        case USB_STRING_DESCRIPTOR_TYPE: {
            if (index == 0) {
                if (desc_.languages.empty()) return Stall();
                data.push_back(static_cast<UCHAR>(2 + 2 * desc_.languages.size()));
                data.push_back(USB_STRING_DESCRIPTOR_TYPE);
                for (USHORT l : desc_.languages) {
                    data.push_back(static_cast<UCHAR>(l & 0xFF));
                    data.push_back(static_cast<UCHAR>(l >> 8));
                }
                break;
            }
            auto it = desc_.strings.find(index);
            if (it == desc_.strings.end()) return Stall();
            data = it->second;
            break;
        }
        default:
            return Stall();  // no qualifier or other-speed descriptors are modelled
    }
    const DescriptorQuirk* shortRead = nullptr;
    if (QuirkApplies(q.shortDescriptors, type, index, read, &shortRead) && data.size() > shortRead->bytes) {
        data.resize(shortRead->bytes);
    }
    return Data(std::move(data), s.wLength);
}

void Device::Activate(const InterfaceInfo& setting) {
    for (const EndpointInfo& e : setting.endpoints) {
        EndpointState fresh;
        auto it = desc_.endpoints.find(e.address);
        if (it != desc_.endpoints.end()) {
            fresh.halted = it->second.halted && e.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS;
            fresh.reports.assign(it->second.reports.begin(), it->second.reports.end());
        }
        fresh.lastReportFrame = frame_;
        endpoints_[e.address] = std::move(fresh);
    }
}

ControlResult Device::SetConfiguration(UCHAR value) {
    if (desc_.quirks.stallSetConfiguration) return Stall();
    if (value != 0 && value != layout_.configurationValue) return Stall();
    configuration_ = value;
    alternates_.clear();
    endpoints_.clear();
    if (value == 0) return ControlResult{};
    for (UCHAR n : layout_.InterfaceNumbers()) {
        const InterfaceInfo* alt0 = layout_.Find(n, 0);
        if (alt0 == nullptr) continue;  // only in a set loaded as malformed
        alternates_[n] = 0;
        Activate(*alt0);
    }
    return ControlResult{};
}

ControlResult Device::SetInterface(UCHAR number, UCHAR alternate) {
    if (configuration_ == 0 || desc_.quirks.stallSetInterface) return Stall();
    const InterfaceInfo* setting = layout_.Find(number, alternate);
    if (setting == nullptr) return Stall();
    if (auto old = alternates_.find(number); old != alternates_.end()) {
        if (const InterfaceInfo* previous = layout_.Find(number, old->second)) {
            for (const EndpointInfo& e : previous->endpoints) endpoints_.erase(e.address);
        }
    }
    alternates_[number] = alternate;
    Activate(*setting);
    return ControlResult{};
}

const EndpointInfo* Device::Active(UCHAR endpoint) const {
    if (configuration_ == 0) return nullptr;
    for (const auto& [number, alternate] : alternates_) {
        const InterfaceInfo* setting = layout_.Find(number, alternate);
        if (setting == nullptr) continue;
        for (const EndpointInfo& e : setting->endpoints) {
            if (e.address == endpoint) return &e;
        }
    }
    return nullptr;
}

ControlResult Device::Feature(const SetupPacket& s, bool set) {
    switch (s.bmRequestType & kRecipientMask) {
        case BMREQUEST_TO_DEVICE:
            if (s.wValue != USB_FEATURE_REMOTE_WAKEUP) return Stall();
            remoteWakeup_ = set;
            return ControlResult{};
        case BMREQUEST_TO_ENDPOINT: {
            if (s.wValue != USB_FEATURE_ENDPOINT_STALL) return Stall();
            const UCHAR address = static_cast<UCHAR>(s.wIndex & 0xFF);
            if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0) return ControlResult{};  // endpoint 0 never stays halted
            const EndpointInfo* info = Active(address);
            if (info == nullptr) return Stall();
            EndpointState& st = endpoints_[address];
            if (info->Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS) return set ? Stall() : ControlResult{};
            if (set) {
                st.halted = true;
                return ControlResult{};
            }
            if (desc_.quirks.stallClearFeature) return Stall();
            // Clearing ENDPOINT_HALT always returns the endpoint's toggle to DATA0, halted or not.
            st.halted = false;
            st.toggle = 0;
            return ControlResult{};
        }
        default:
            return Stall();  // interfaces have no features
    }
}

ControlResult Device::GetStatus(const SetupPacket& s) {
    switch (s.bmRequestType & kRecipientMask) {
        case BMREQUEST_TO_DEVICE: {
            UCHAR bits = (layout_.attributes & USB_CONFIG_SELF_POWERED) ? USB_GETSTATUS_SELF_POWERED : 0;
            if (remoteWakeup_) bits |= USB_GETSTATUS_REMOTE_WAKEUP_ENABLED;
            return Data({bits, 0}, s.wLength);
        }
        case BMREQUEST_TO_INTERFACE:
            if (configuration_ == 0 || alternates_.count(static_cast<UCHAR>(s.wIndex & 0xFF)) == 0) return Stall();
            return Data({0, 0}, s.wLength);
        case BMREQUEST_TO_ENDPOINT: {
            const UCHAR address = static_cast<UCHAR>(s.wIndex & 0xFF);
            if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0) return Data({0, 0}, s.wLength);
            if (Active(address) == nullptr) return Stall();
            return Data({static_cast<UCHAR>(endpoints_[address].halted ? 1 : 0), 0}, s.wLength);
        }
        default:
            return Stall();
    }
}

ControlResult Device::Vendor(const SetupPacket& s, const Bytes& out) {
    auto it = desc_.vendor.find(s.bRequest);
    if (it == desc_.vendor.end()) return Stall();
    const VendorBehaviour& v = it->second;
    if (s.In()) {
        switch (v.in) {
            case VendorIn::Stall: return Stall();
            case VendorIn::Constant: return Data(v.data, s.wLength);
            case VendorIn::Echo: return Data(stored_[s.bRequest], s.wLength);
        }
        return Stall();
    }
    if (v.out == VendorOut::Stall || s.wLength > v.maxLength) return Stall();
    if (v.out == VendorOut::Store) stored_[s.bRequest] = out;
    return ControlResult{};
}

// ---------------------------------------------------------------------------------------------
// Data endpoints
// ---------------------------------------------------------------------------------------------

InPacket Device::In(UCHAR endpoint, ULONG maxBytes) {
    std::lock_guard<std::mutex> g(m_);
    InPacket p;
    const EndpointInfo* info = Active(endpoint);
    if (info == nullptr || !info->In()) {
        p.handshake = Handshake::NoResponse;
        return p;
    }
    const bool iso = info->Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    EndpointState& st = endpoints_[endpoint];
    if (!iso && st.halted) {
        p.handshake = Handshake::Stall;
        return p;
    }
    const ULONG size = std::min<ULONG>(maxBytes, info->PacketSize());
    auto desc = desc_.endpoints.find(endpoint);
    const Behaviour b = desc == desc_.endpoints.end() ? Behaviour::Idle : desc->second.behaviour;
    bool data = true;
    switch (b) {
        case Behaviour::Source: {
            const EndpointDescription& e = desc->second;
            const ULONG n = e.packetBytes != 0 ? std::min(size, e.packetBytes) : size;
            for (ULONG i = 0; i < n; ++i, ++st.position) {
                p.data.push_back(e.pattern.empty() ? static_cast<UCHAR>(st.position & 0xFF)
                                                   : e.pattern[st.position % e.pattern.size()]);
            }
            break;
        }
        case Behaviour::Loopback: {
            const size_t n = std::min<size_t>(size, st.fifo.size());
            p.data.assign(st.fifo.begin(), st.fifo.begin() + static_cast<std::ptrdiff_t>(n));
            st.fifo.erase(st.fifo.begin(), st.fifo.begin() + static_cast<std::ptrdiff_t>(n));
            data = n != 0;
            break;
        }
        case Behaviour::Interrupt:
            if (st.reports.empty()) {
                data = false;
            } else {
                p.data = std::move(st.reports.front());
                st.reports.pop_front();
                if (p.data.size() > size) p.data.resize(size);
            }
            break;
        case Behaviour::Idle:
        case Behaviour::Sink:
            data = false;
            break;
    }
    // An isochronous endpoint answers every token; without data it sends a zero-length packet.
    if (!data && !iso) {
        p.handshake = Handshake::Nak;
        return p;
    }
    p.handshake = Handshake::Ack;
    if (!iso) {
        p.toggle = st.toggle;
        st.toggle ^= 1;
    }
    return p;
}

OutResult Device::Out(UCHAR endpoint, const Bytes& data, int toggle) {
    std::lock_guard<std::mutex> g(m_);
    OutResult r;
    const EndpointInfo* info = Active(endpoint);
    if (info == nullptr || info->In()) {
        r.handshake = Handshake::NoResponse;
        return r;
    }
    const bool iso = info->Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    EndpointState& st = endpoints_[endpoint];
    if (!iso && st.halted) {
        r.handshake = Handshake::Stall;
        return r;
    }
    if (data.size() > info->PacketSize()) {
        // More than the endpoint's buffer: the firmware halts the endpoint.
        if (!iso) st.halted = true;
        r.handshake = iso ? Handshake::Ack : Handshake::Stall;
        return r;
    }
    auto desc = desc_.endpoints.find(endpoint);
    // An OUT endpoint without a listed behaviour takes data as a sink.
    const Behaviour b = desc == desc_.endpoints.end() ? Behaviour::Sink : desc->second.behaviour;
    if (b == Behaviour::Idle) {
        r.handshake = iso ? Handshake::Ack : Handshake::Nak;
        return r;
    }
    EndpointState* peer = nullptr;
    if (b == Behaviour::Loopback) {
        peer = &endpoints_[desc->second.peer];
        if (peer->fifo.size() + data.size() > desc->second.fifoLimit) {
            // Isochronous data has no flow control: what does not fit is lost.
            r.handshake = iso ? Handshake::Ack : Handshake::Nak;
            return r;
        }
    }
    r.handshake = Handshake::Ack;
    if (!iso) {
        if (toggle != st.toggle) return r;  // a repeat of a packet already taken: ACKed, not used
        st.toggle ^= 1;
    }
    r.accepted = true;
    if (peer != nullptr) {
        peer->fifo.insert(peer->fifo.end(), data.begin(), data.end());
    } else {
        st.sunk += data.size();
    }
    return r;
}

void Device::AdvanceFrames(ULONG frames) {
    {
        std::lock_guard<std::mutex> g(m_);
        const ULONG now = frame_ + frames;
        for (auto& [address, st] : endpoints_) {
            auto desc = desc_.endpoints.find(address);
            if (desc == desc_.endpoints.end() || desc->second.behaviour != Behaviour::Interrupt) continue;
            const ULONG every = desc->second.everyFrames;
            if (every == 0 || Active(address) == nullptr) continue;
            while (now - st.lastReportFrame >= every) {
                st.lastReportFrame += every;
                if (st.reports.size() < kMaxQueuedReports) st.reports.push_back(desc->second.pattern);
            }
        }
        frame_ = now;
    }
    Notify();
}

ULONG Device::Frame() const {
    std::lock_guard<std::mutex> g(m_);
    return frame_;
}

void Device::QueueReport(UCHAR endpoint, Bytes report) {
    {
        std::lock_guard<std::mutex> g(m_);
        auto desc = desc_.endpoints.find(endpoint);
        if (desc == desc_.endpoints.end() || desc->second.behaviour != Behaviour::Interrupt) {
            throw std::logic_error("QueueReport: endpoint " + EndpointName(endpoint) + " has no interrupt behaviour");
        }
        endpoints_[endpoint].reports.push_back(std::move(report));
    }
    Notify();
}

void Device::SetChangeHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(m_);
    hook_ = std::move(hook);
}

void Device::Notify() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(m_);
        hook = hook_;
    }
    if (hook) hook();
}

void Device::Reset() {
    std::lock_guard<std::mutex> g(m_);
    configuration_ = 0;
    alternates_.clear();
    endpoints_.clear();
    remoteWakeup_ = false;
}

// ---------------------------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------------------------

UCHAR Device::Configuration() const {
    std::lock_guard<std::mutex> g(m_);
    return configuration_;
}

std::optional<UCHAR> Device::AlternateSetting(UCHAR interfaceNumber) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = alternates_.find(interfaceNumber);
    if (configuration_ == 0 || it == alternates_.end()) return std::nullopt;
    return it->second;
}

bool Device::EndpointActive(UCHAR endpoint) const {
    std::lock_guard<std::mutex> g(m_);
    return Active(endpoint) != nullptr;
}

bool Device::Halted(UCHAR endpoint) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = endpoints_.find(endpoint);
    return it != endpoints_.end() && it->second.halted;
}

int Device::Toggle(UCHAR endpoint) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.toggle;
}

void Device::Halt(UCHAR endpoint) {
    {
        std::lock_guard<std::mutex> g(m_);
        if (Active(endpoint) == nullptr) {
            throw std::logic_error("Halt: endpoint " + EndpointName(endpoint) + " is not in the current configuration");
        }
        endpoints_[endpoint].halted = true;
    }
    Notify();
}

size_t Device::SinkBytes(UCHAR endpoint) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.sunk;
}

size_t Device::FifoBytes(UCHAR endpoint) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.fifo.size();
}

Bytes Device::Stored(UCHAR request) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = stored_.find(request);
    return it == stored_.end() ? Bytes{} : it->second;
}

ULONG Device::PortStatus() const {
    std::lock_guard<std::mutex> g(m_);
    return (connected_ ? USBD_PORT_CONNECTED : 0u) | (connected_ && enabled_ ? USBD_PORT_ENABLED : 0u);
}

void Device::SetPort(bool connected, bool enabled) {
    {
        std::lock_guard<std::mutex> g(m_);
        connected_ = connected;
        enabled_ = enabled;
    }
    Notify();
}

std::vector<ControlRecord> Device::ControlLog() const {
    std::lock_guard<std::mutex> g(m_);
    return log_;
}

void Device::ClearControlLog() {
    std::lock_guard<std::mutex> g(m_);
    log_.clear();
}

ULONG Device::DescriptorReads(UCHAR type, UCHAR index) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = reads_.find({type, index});
    return it == reads_.end() ? 0 : it->second;
}

}  // namespace sim::usb
