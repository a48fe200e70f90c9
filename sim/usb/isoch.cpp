// Isochronous transfers as the host controller runs them: validation of the URB, the frames it
// is scheduled in, and the packets moved as the frame clock advances.
//
// A full-speed pipe moves one packet per 1 ms frame; a high-speed pipe one packet per bus
// interval of its own (2^(Interval-1) microframes, so 8, 4, 2 or 1 packets a frame). Packet i of
// a URB belongs to frame StartFrame + i / PacketsPerFrame. A packet whose frame has begun before
// the host could send it is late (USBD_STATUS_ISO_NOT_ACCESSED_LATE) and moves nothing; every
// other packet gets the device's answer. The URB succeeds unless every packet failed. The
// direction is the endpoint's; the URB's USBD_TRANSFER_DIRECTION_IN flag is not consulted.
#include "kernel/internal.h"
#include "usb/bus.h"
#include "usb/status.h"
#include "usb/urb_checks.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim::usb {

using stack::DataStage;
using stack::Fail;
using stack::HasBuffer;

namespace {

// The most packets one URB may carry: 255 at full speed, 1024 at high speed.
constexpr ULONG kMaxIsoPacketsFullSpeed = 255;
constexpr ULONG kMaxIsoPacketsHighSpeed = 1024;

}  // namespace

void BusDevice::SetHighSpeed(bool highSpeed) {
    std::lock_guard<std::mutex> g(m_);
    highSpeed_ = highSpeed;
}

bool BusDevice::HighSpeed() const {
    std::lock_guard<std::mutex> g(m_);
    return highSpeed_;
}

void BusDevice::SetFrameNumberMode(AnswerMode mode) {
    if (mode == AnswerMode::Hold) {
        BugCheck(kBugDriverVerifierViolation, "ModelBadFrameNumberMode",
                 "the frame number is answered inline or pends");
    }
    std::lock_guard<std::mutex> g(m_);
    frameMode_ = mode;
}

void BusDevice::SetIsochronousObserver(IsochronousObserver observer) {
    std::lock_guard<std::mutex> g(m_);
    isoObserver_ = std::move(observer);
}

ULONG BusDevice::PacketsPerFrame(const PipeSlot& slot) const {
    if (!highSpeed_) return 1;
    // Interval 1 to 4: every 1, 2, 4 or 8 microframes. Longer periods are served as 8 (one a frame).
    const UCHAR interval = std::clamp<UCHAR>(slot.state.interval, 1, 4);
    return 8u >> (interval - 1);
}

NTSTATUS BusDevice::SubmitIsochronous(PIRP irp, PURB urb, size_t traceIndex) {
    auto& r = urb->UrbIsochronousTransfer;
    const size_t fixed = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    auto refuse = [&](USBD_STATUS usbd) { return Deliver(irp, Fail(usbd), traceIndex); };
    if (r.Hdr.Length < fixed) return refuse(USBD_STATUS_INVALID_PARAMETER);
    Pending p;
    p.irp = irp;
    p.traceIndex = traceIndex;
    p.transfer = true;
    p.iso = true;
    p.cancelable = false;
    p.urb = urb;
    p.length = r.TransferBufferLength;
    p.packets = r.NumberOfPackets;
    USHORT mps = 0;
    ULONG perFrame = 1, limit = kMaxIsoPacketsFullSpeed;
    USBD_STATUS pipeStatus = USBD_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(m_);
        p.pipe = LivePipe(r.PipeHandle);
        if (p.pipe == nullptr) {
            pipeStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (p.pipe->state.type != UsbdPipeTypeIsochronous) {
            pipeStatus = USBD_STATUS_INVALID_PARAMETER;
        } else {
            p.in = (p.pipe->state.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
            mps = p.pipe->state.maximumPacketSize;
            perFrame = PacketsPerFrame(*p.pipe);
            limit = highSpeed_ ? kMaxIsoPacketsHighSpeed : kMaxIsoPacketsFullSpeed;
        }
    }
    if (pipeStatus != USBD_STATUS_SUCCESS) return refuse(pipeStatus);
    // The data moves the endpoint's way whatever USBD_TRANSFER_DIRECTION_IN says, as on Windows.
    stack::CheckInTarget(p.in, p.length, r.TransferBufferMDL, p.pipe->state.endpointAddress);
    // At high speed a URB covers whole frames: a multiple of the packets a frame holds.
    if (p.packets == 0 || p.packets > limit || p.packets % perFrame != 0 ||
        r.Hdr.Length < fixed + size_t{p.packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    if (p.length == 0 || !HasBuffer(r.TransferBuffer, r.TransferBufferMDL)) {
        return refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    // Packet i runs from Offset[i] to Offset[i + 1] (the last to the end of the buffer); the
    // offsets climb and no packet is larger than the pipe's packet size.
    for (ULONG i = 0; i < p.packets; ++i) {
        const ULONG begin = r.IsoPacket[i].Offset;
        const ULONG end = i + 1 < p.packets ? r.IsoPacket[i + 1].Offset : p.length;
        if (begin > end || end > p.length || end - begin > mps) return refuse(USBD_STATUS_INVALID_PARAMETER);
    }
    p.data = DataStage(r.TransferBuffer, r.TransferBufferMDL, p.length, "ISOCH_TRANSFER transfer buffer");
    if (p.data == nullptr) return refuse(USBD_STATUS_INSUFFICIENT_RESOURCES);
    return Enqueue(p);
}

bool BusDevice::ScheduleIsochronous(Pending& p) {
    // ASAP follows the pipe's previous URB (the first after more than USBD_ISO_START_FRAME_RANGE
    // idle frames, or after RESET_PIPE or ABORT_PIPE, starts at the next frame); an explicit
    // StartFrame must lie within USBD_ISO_START_FRAME_RANGE of the current frame.
    auto& r = p.urb->UrbIsochronousTransfer;
    PipeSlot& slot = *p.pipe;
    const bool busy =
        std::any_of(pending_.begin(), pending_.end(), [&](const Pending& e) { return e.pipe == &slot; });
    if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        const bool lapsed = !busy && static_cast<LONG>(frame_ - slot.isoNext) >= USBD_ISO_START_FRAME_RANGE;
        r.StartFrame = slot.isoScheduled && !lapsed ? slot.isoNext : frame_ + 1;
    } else {
        const LONG distance = static_cast<LONG>(r.StartFrame - frame_);
        if (distance >= USBD_ISO_START_FRAME_RANGE || distance <= -USBD_ISO_START_FRAME_RANGE) return false;
    }
    p.startFrame = r.StartFrame;
    p.perFrame = PacketsPerFrame(slot);
    slot.isoScheduled = true;
    slot.isoNext = p.startFrame + p.packets / p.perFrame;
    return true;
}

void BusDevice::ServiceIsochronous(std::vector<Pending>& done) {
    auto head = [this](PipeSlot* pipe) {
        return std::find_if(pending_.begin(), pending_.end(),
                            [pipe](const Pending& e) { return e.iso && e.pipe == pipe && !e.finished; });
    };
    auto waiting = [this] {
        return std::any_of(pending_.begin(), pending_.end(), [](const Pending& e) { return e.iso && !e.finished; });
    };
    // Frame f's packets go out as the clock reaches f. A URB submitted in frame f (or not at the
    // head of its pipe by then) has missed frame f and every earlier one.
    for (ULONG f = isoServiced_; waiting(); ++f) {
        for (PipeSlot* pipe : openPipes_) {
            if (pipe->state.type != UsbdPipeTypeIsochronous) continue;
            // Nothing goes out beyond the current frame.
            ULONG budget = f == frame_ ? 0 : PacketsPerFrame(*pipe);
            for (auto e = head(pipe); e != pending_.end(); e = head(pipe)) {
                if (!IsoStep(*pipe, *e, f, budget)) break;
                TakeEnded(e, done);
            }
        }
        if (f == frame_) break;
    }
    isoServiced_ = frame_;
}

bool BusDevice::IsoStep(PipeSlot& slot, Pending& e, ULONG frame, ULONG& budget) {
    auto& r = e.urb->UrbIsochronousTransfer;
    auto frameOf = [&e](ULONG packet) { return e.startFrame + packet / e.perFrame; };
    // Packets whose frame is this one or earlier, and not sent: the host had no chance.
    while (e.nextPacket < e.packets && static_cast<LONG>(frameOf(e.nextPacket) - frame) <= 0) {
        r.IsoPacket[e.nextPacket].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
        if (e.in) r.IsoPacket[e.nextPacket].Length = 0;
        ++e.errors;
        ++e.nextPacket;
    }
    while (budget != 0 && e.nextPacket < e.packets && frameOf(e.nextPacket) == frame + 1) {
        --budget;
        SendIsoPacket(slot, e, e.nextPacket++);
    }
    if (e.nextPacket < e.packets) return false;
    e.outcome = e.errors == e.packets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    e.finished = true;
    if (isoObserver_) isoObserver_(r);
    return true;
}

void BusDevice::SendIsoPacket(PipeSlot& slot, Pending& e, ULONG i) {
    auto& r = e.urb->UrbIsochronousTransfer;
    const ULONG begin = r.IsoPacket[i].Offset;
    const ULONG size = (i + 1 < e.packets ? r.IsoPacket[i + 1].Offset : e.length) - begin;
    const ULONG port = device_ ? device_->PortStatus() : 0;
    USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING;
    const bool up = (port & USBD_PORT_CONNECTED) && (port & USBD_PORT_ENABLED);
    if (up && e.in) {
        InPacket packet = device_->In(slot.state.endpointAddress, slot.state.maximumPacketSize);
        ULONG n = 0;
        if (packet.handshake == Handshake::Ack) {
            n = std::min(size, static_cast<ULONG>(packet.data.size()));
            if (n != 0) std::memcpy(e.data + begin, packet.data.data(), n);
            status = packet.data.size() > size ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS;
        }
        // IN: Length is the bytes received. OUT: the stack leaves Length as the caller set it.
        r.IsoPacket[i].Length = n;
        e.moved += n;
    } else if (up) {
        const Bytes chunk = size == 0 ? Bytes{} : Bytes(e.data + begin, e.data + begin + size);
        if (device_->Out(slot.state.endpointAddress, chunk, 0).handshake == Handshake::Ack) {
            status = USBD_STATUS_SUCCESS;
            e.moved += size;
        }
    }
    r.IsoPacket[i].Status = status;
    if (!USBD_SUCCESS(status)) ++e.errors;
}

}  // namespace sim::usb
