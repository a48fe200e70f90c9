// Isochronous reads and writes in a script: an optional start frame ahead of the current one
// ("at FRAMES"), the frame clock run until the request has completed (isochronous packets move
// only as frames pass), and each packet's status shown when one of them failed.
#include "session.h"

#include "usb/status.h"

#include <cstdlib>
#include <sstream>

namespace kwsim {

bool Session::TakeStartFrame(std::vector<std::string>* w, LONGLONG* offset) {
    *offset = 0;
    if (w->size() < 2 || (*w)[w->size() - 2] != "at") return true;
    const std::string& n = w->back();
    char* end = nullptr;
    const unsigned long long frames = std::strtoull(n.c_str(), &end, 0);
    if (n.empty() || *end != '\0' || frames > 0xFFFFFFFFull) return false;
    // A non-zero high half asks for the frame that many frames after the current one.
    *offset = static_cast<LONGLONG>((1ull << 32) | frames);
    w->resize(w->size() - 2);
    return true;
}

bool Session::IsIsochronous(sim::app::Handle h) const {
    PFILE_OBJECT fo = app_->FileObjectOf(h);
    auto pipe = fo != nullptr ? static_cast<PPIPE_CONTEXT>(fo->FsContext) : nullptr;
    return pipe != nullptr && pipe->PipeInfo != nullptr && pipe->PipeInfo->PipeType == UsbdPipeTypeIsochronous;
}

void Session::WatchIsochronous() {
    bus_->SetIsochronousObserver([this](const struct _URB_ISOCH_TRANSFER& u) {
        IsoRecord r{u.StartFrame, {}};
        for (ULONG i = 0; i < u.NumberOfPackets; ++i) r.statuses.push_back(u.IsoPacket[i].Status);
        std::lock_guard<std::mutex> g(isoMutex_);
        lastIso_[u.PipeHandle] = std::move(r);
    });
}

void Session::AwaitIsochronous(sim::app::Handle h, sim::app::Overlapped& ov) {
    for (ULONG frames = 0; IsIsochronous(h) && !ov.Signalled() && frames < (1u << 20); ++frames) {
        bus_->AdvanceFrames(1);
        sim::FlushDpcs();
    }
}

sim::app::IoResult Session::Transfer(bool read, sim::app::Handle h, PVOID buffer, ULONG length, LONGLONG offset,
                                     ULONG limit, bool* cancelled) {
    *cancelled = false;
    sim::app::IoResult r =
        read ? app_->Read(h, buffer, length, offset, &ov_) : app_->Write(h, buffer, length, offset, &ov_);
    if (r.status == STATUS_PENDING) AwaitIsochronous(h, ov_);
    if (r.status == STATUS_PENDING && limit != 0) {
        sim::FlushDpcs();
        for (ULONG frames = 0; !ov_.Signalled() && frames < limit; ++frames) {
            bus_->AdvanceFrames(1);
            sim::FlushDpcs();
        }
        if (!ov_.Signalled()) {
            app_->CancelIo(h);
            *cancelled = true;
        }
    }
    return sim::app::AwaitResult(r, ov_);
}

bool Session::TakeLimit(std::vector<std::string>* w, ULONG* limit) {
    *limit = 0;
    if (w->size() < 2 || (*w)[w->size() - 2] != "within") return true;
    char* end = nullptr;
    const unsigned long frames = std::strtoul(w->back().c_str(), &end, 0);
    if (w->back().empty() || *end != '\0' || frames == 0 || frames > 100000) return false;
    *limit = static_cast<ULONG>(frames);
    w->resize(w->size() - 2);
    return true;
}

void Session::AddPackets(Step& s, sim::app::Handle h) {
    PFILE_OBJECT fo = app_->FileObjectOf(h);
    if (!IsIsochronous(h)) return;
    const USBD_PIPE_HANDLE pipe = static_cast<PPIPE_CONTEXT>(fo->FsContext)->PipeInfo->PipeHandle;
    IsoRecord r;
    {
        std::lock_guard<std::mutex> g(isoMutex_);
        auto it = lastIso_.find(pipe);
        if (it == lastIso_.end()) return;
        r = it->second;
        lastIso_.erase(it);
    }
    s.details.push_back({"start frame", std::to_string(r.startFrame)});
    bool failed = false;
    for (USBD_STATUS st : r.statuses) failed = failed || !USBD_SUCCESS(st);
    if (!failed) return;
    // Runs of packets with the same status: "0-1 USBD_STATUS_ISO_NOT_ACCESSED_LATE (...), 2 ok".
    std::ostringstream packets;
    for (size_t i = 0, j; i < r.statuses.size(); i = j) {
        for (j = i + 1; j < r.statuses.size() && r.statuses[j] == r.statuses[i];) ++j;
        packets << (i == 0 ? "" : ", ") << i;
        if (j - 1 > i) packets << '-' << (j - 1);
        packets << ' ' << (USBD_SUCCESS(r.statuses[i]) ? "ok" : sim::usb::UsbdStatusName(r.statuses[i]));
    }
    s.details.push_back({"packets", packets.str()});
}

}  // namespace kwsim
