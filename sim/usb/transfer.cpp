// Data transfers as the host controller runs them. Each pipe keeps its transfers in submission
// order. Bulk and interrupt: the transfer at the head moves packets of the pipe's
// MaximumPacketSize through the device model (usb/device.h) whenever something changes (a
// submission, a frame, a report, a halt); a NAK leaves it waiting with a cancel routine; it ends
// when its buffer is full, at a short packet, or at an error. Isochronous transfers are
// validated, scheduled and moved in usb/isoch.cpp. Either completes inline or from the DPC
// thread.
//
// The direction of a bulk or interrupt transfer is its endpoint's; the transfer flag is not
// consulted, as on Windows.
//
// Errors: every status the engine ends a transfer with in the 0xC0000000 range leaves the host
// pipe halted (that is what the high bits of a USBD status say), and every later transfer on
// the pipe fails with USBD_STATUS_ENDPOINT_HALTED until SYNC_RESET_PIPE(_AND_CLEAR_STALL).
#include "kernel/internal.h"
#include "usb/bus.h"
#include "usb/status.h"
#include "usb/urb_checks.h"

#include <algorithm>
#include <cstring>
#include <cstddef>

namespace sim::usb {

using stack::DataStage;
using stack::Fail;
using stack::HasBuffer;

NTSTATUS BusDevice::SubmitTransfer(PIRP irp, PURB urb, size_t traceIndex) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    if (r.Hdr.Length < sizeof r) return Deliver(irp, Fail(USBD_STATUS_INVALID_PARAMETER), traceIndex);
    Pending p;
    p.irp = irp;
    p.traceIndex = traceIndex;
    p.transfer = true;
    p.cancelable = false;  // until Enqueue gives it the cancel routine
    p.urb = urb;
    p.length = r.TransferBufferLength;
    p.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    std::optional<Answer> refused;
    {
        std::lock_guard<std::mutex> g(m_);
        p.pipe = LivePipe(r.PipeHandle);
        if (p.pipe == nullptr) {
            refused = Fail(USBD_STATUS_INVALID_PIPE_HANDLE);
        } else if (p.pipe->state.type != UsbdPipeTypeBulk && p.pipe->state.type != UsbdPipeTypeInterrupt) {
            refused = Fail(USBD_STATUS_INVALID_PARAMETER);
        } else if (p.pipe->state.maximumPacketSize == 0) {
            // An endpoint that declares no packet size moves nothing: no transfer can end on it.
            refused = Fail(USBD_STATUS_INVALID_PARAMETER);
        } else {
            // Windows moves data in the pipe's direction whatever USBD_TRANSFER_DIRECTION_IN says.
            p.in = (p.pipe->state.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
        }
    }
    if (!refused) stack::CheckInTarget(p.in, p.length, r.TransferBufferMDL, p.pipe->state.endpointAddress);
    if (!refused && p.length != 0 && !HasBuffer(r.TransferBuffer, r.TransferBufferMDL)) {
        refused = Fail(USBD_STATUS_INVALID_PARAMETER);
    }
    if (refused) {
        // The stack reports in TransferBufferLength the bytes it moved: none, so a refused
        // write never looks complete.
        r.TransferBufferLength = 0;
        return Deliver(irp, *refused, traceIndex);
    }
    p.data = DataStage(r.TransferBuffer, r.TransferBufferMDL, p.length, "BULK_OR_INTERRUPT_TRANSFER transfer buffer");
    if (p.data == nullptr && p.length != 0) return Deliver(irp, Fail(USBD_STATUS_INSUFFICIENT_RESOURCES), traceIndex);
    return Enqueue(p);
}

NTSTATUS BusDevice::Enqueue(Pending p) {
    const PIRP irp = p.irp;
    auto isMine = [irp](const Pending& e) { return e.irp == irp; };
    std::unique_lock<std::mutex> l(m_);
    if (!p.pipe->state.live) {  // the configuration went while the request was being checked
        l.unlock();
        return Deliver(irp, Fail(USBD_STATUS_INVALID_PIPE_HANDLE), p.traceIndex);
    }
    // Cancelled before it reached the stack (IoCancelIrp found no routine): it never runs.
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    const bool cancelledEarly = irp->Cancel;
    IoReleaseCancelSpinLock(old);
    if (cancelledEarly) {
        l.unlock();
        return Deliver(irp, Ended(p, USBD_STATUS_CANCELED), p.traceIndex);
    }
    if (p.iso && !ScheduleIsochronous(p)) {
        l.unlock();
        return Deliver(irp, Fail(USBD_STATUS_BAD_START_FRAME), p.traceIndex);
    }
    pending_.push_back(p);
    std::vector<Pending> done = ServiceLocked();
    auto mine = std::find_if(done.begin(), done.end(), isMine);
    // Inline only when nothing of the same pipe still waits to complete before it.
    const bool alone = std::none_of(done.begin(), done.end(),
                                    [&](const Pending& e) { return e.pipe == p.pipe && e.irp != irp; });
    if (mine != done.end() && transferMode_ == AnswerMode::Inline && alone && p.pipe->completing == 0) {
        const Pending ended = *mine;
        done.erase(mine);
        QueueCompletions(done);
        l.unlock();
        Answer a = Ended(ended, ended.outcome);
        return Deliver(irp, a, ended.traceIndex);
    }
    IoMarkIrpPending(irp);
    QueueCompletions(done);
    Pending cancelled;
    bool cancelNow = false;
    auto queued = std::find_if(pending_.begin(), pending_.end(), isMine);
    if (queued != pending_.end()) {
        // Still waiting: cancelable from now on. The cancel lock orders this with IoCancelIrp.
        IoAcquireCancelSpinLock(&old);
        IoSetCancelRoutine(irp, &BusDevice::CancelPending);
        queued->cancelable = true;
        // Cancelled before the routine was in place: nobody else will call it.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            cancelled = *queued;
            pending_.erase(queued);
            cancelNow = true;
        }
        IoReleaseCancelSpinLock(old);
    }
    l.unlock();
    if (cancelNow) CompleteCancelled({cancelled});
    return STATUS_PENDING;
}

void BusDevice::Service() {
    std::lock_guard<std::mutex> g(m_);
    QueueCompletions(ServiceLocked());
}

void BusDevice::TakeEnded(std::list<Pending>::iterator it, std::vector<Pending>& done) {
    // A NULL previous routine means IoCancelIrp has taken it: its cancel routine completes it,
    // and the next transfer of the pipe may start meanwhile.
    if (!it->cancelable || IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
        done.push_back(*it);
        pending_.erase(it);
    }
}

std::vector<BusDevice::Pending> BusDevice::ServiceLocked() {
    std::vector<Pending> done;
    if (power_ != PowerDeviceD0) return done;  // a suspended port moves nothing
    ServiceIsochronous(done);
    for (bool progress = true; progress;) {
        progress = false;
        for (PipeSlot* pipe : openPipes_) {
            if (pipe->state.type == UsbdPipeTypeIsochronous) continue;
            auto head = std::find_if(pending_.begin(), pending_.end(), [pipe](const Pending& e) {
                return e.transfer && e.pipe == pipe && !e.finished;
            });
            if (head == pending_.end()) continue;
            progress = Step(*pipe, *head) || progress;
            if (!head->finished) continue;
            progress = true;
            TakeEnded(head, done);
        }
    }
    return done;
}

bool BusDevice::Step(PipeSlot& slot, Pending& e) {
    PipeState& pipe = slot.state;
    // Ends the transfer; `halt` leaves the host pipe halted.
    auto End = [&e](PipeState& p, USBD_STATUS status, bool halt) {
        e.outcome = status;
        e.finished = true;
        if (halt) p.halted = true;
    };
    bool moved = false;
    while (!e.finished) {
        if (pipe.halted) {
            End(pipe, USBD_STATUS_ENDPOINT_HALTED, false);
            break;
        }
        const ULONG port = device_ ? device_->PortStatus() : 0;
        if ((port & USBD_PORT_CONNECTED) == 0) {
            End(pipe, USBD_STATUS_DEVICE_GONE, false);
            break;
        }
        if ((port & USBD_PORT_ENABLED) == 0) {  // no SOF, no tokens: the device never answers
            End(pipe, USBD_STATUS_DEV_NOT_RESPONDING, true);
            break;
        }
        const ULONG mps = pipe.maximumPacketSize;
        Handshake h = Handshake::Nak;
        if (e.in) {
            InPacket packet = device_->In(pipe.endpointAddress, mps);
            h = packet.handshake;
            if (h == Handshake::Ack) {
                moved = true;
                // A packet whose toggle the host has already seen is a repeat: acknowledged and
                // dropped (after a CLEAR_FEATURE without RESET_PIPE this loses real data).
                if (packet.toggle != pipe.toggle) continue;
                pipe.toggle ^= 1;
                const ULONG room = e.length - e.moved;
                const ULONG size = static_cast<ULONG>(packet.data.size());
                const ULONG n = std::min(size, room);
                if (n != 0) std::memcpy(e.data + e.moved, packet.data.data(), n);
                e.moved += n;
                if (size > room) {
                    End(pipe, USBD_STATUS_DATA_OVERRUN, true);  // the device sent more than the buffer holds
                } else if (size < mps && e.moved < e.length) {
                    const bool accept = e.shortOk || shortRule_ == ShortTransferRule::Accept;
                    End(pipe, accept ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN, !accept);
                } else if (size < mps || e.moved == e.length) {
                    End(pipe, USBD_STATUS_SUCCESS, false);
                }
                continue;
            }
        } else {
            const ULONG n = std::min(mps, e.length - e.moved);  // a zero-length transfer sends one empty packet
            const Bytes chunk = n == 0 ? Bytes{} : Bytes(e.data + e.moved, e.data + e.moved + n);
            OutResult out = device_->Out(pipe.endpointAddress, chunk, pipe.toggle);
            h = out.handshake;
            if (h == Handshake::Ack) {
                moved = true;
                pipe.toggle ^= 1;  // acknowledged: the host counts it sent, repeat or not
                e.moved += n;
                if (e.moved == e.length) End(pipe, USBD_STATUS_SUCCESS, false);
                continue;
            }
        }
        if (h == Handshake::Nak) return moved;
        End(pipe, h == Handshake::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING, true);
    }
    return true;
}

}  // namespace sim::usb
