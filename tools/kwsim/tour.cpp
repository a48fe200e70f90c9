// The tour of a device description (--device without --script): every pipe the driver selected
// is opened and exercised as the description says its endpoint behaves, and no request is
// waited for without a limit.
#include "session.h"

#include "decode.h"

#include "kernel/model.h"
#include "usb/device.h"

#include <iostream>

namespace kwsim {
namespace {

// A request the device does not answer is cancelled after this many 1 ms frames.
constexpr int kAnswerFrames = 50;

struct TourPipe {
    std::string handle;  // the handle's name in the tour
    UCHAR endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    ULONG maxPacket = 0;
    sim::usb::EndpointDescription behaviour;  // Idle for an endpoint the description leaves out
};

std::string Within() { return " within " + std::to_string(kAnswerFrames); }

}  // namespace

const char* DeviceTourScript() {
    return R"(# The tour of a device description.
plug
start
tour                         # open every pipe and exercise it as its endpoint behaves
)";
}

bool Session::Tour() {
    if (fdo_ == nullptr || !sim::DeviceExists(fdo_)) {
        out_.Note("nothing to tour: the device is not there (its start failed)");
        return true;
    }
    PDEVICE_EXTENSION e = Ext();
    if (e->InterfaceInfo == nullptr) {
        std::cerr << "kwsim: tour needs a started device\n";
        return false;
    }
    out_.Note("the tour of " + (device_->Description().name.empty() ? std::string("the device")
                                                                     : device_->Description().name));
    std::vector<TourPipe> pipes;
    std::vector<Command> steps;
    auto add = [&steps](const std::string& text) { steps.push_back(ParseScript(text).front()); };
    for (size_t i = 0; i < KW_PIPE_TABLE_ENTRIES; ++i) {
        const PIPE_CONTEXT& p = e->PipeTable[i];
        if (p.PipeInfo == nullptr) continue;
        TourPipe t;
        t.handle = sim::Narrow(std::u16string(p.Name));
        if (t.handle.rfind('\\', 0) == 0) t.handle.erase(0, 1);
        t.endpoint = p.PipeInfo->EndpointAddress;
        t.type = p.PipeInfo->PipeType;
        t.maxPacket = p.PipeInfo->MaximumPacketSize;
        auto d = device_->Description().endpoints.find(t.endpoint);
        if (d != device_->Description().endpoints.end()) t.behaviour = d->second;
        pipes.push_back(t);
        add("open " + t.handle);
    }
    auto inPipe = [&pipes](UCHAR address) -> const TourPipe* {
        for (const TourPipe& t : pipes) {
            if (t.endpoint == address) return &t;
        }
        return nullptr;
    };
    using sim::usb::Behaviour;
    for (const TourPipe& t : pipes) {
        if (t.maxPacket == 0) {
            out_.Note(t.handle + " has packet size 0 in this setting: it moves no data");
            continue;
        }
        const bool in = (t.endpoint & 0x80) != 0;
        const bool iso = t.type == UsbdPipeTypeIsochronous;
        // Two full packets and a short one for bulk and interrupt; three packets, one a frame, for
        // isochronous pipes. Never more than a loopback endpoint buffers.
        ULONG n = iso ? 3 * t.maxPacket : 2 * t.maxPacket + 3;
        if (t.behaviour.behaviour == Behaviour::Loopback && n > t.behaviour.fifoLimit) n = t.behaviour.fifoLimit;
        const std::string count = std::to_string(n);
        if (in) {
            // Loopback IN pipes are read after their OUT pipe has written; the rest now.
            if (t.behaviour.behaviour == Behaviour::Loopback) continue;
            // Whole packets: a device that sends a full packet into a shorter rest overruns it.
            const std::string whole = std::to_string((iso ? 3 : 2) * t.maxPacket);
            add("read " + t.handle + " " + whole + (t.behaviour.halted ? " fails" : "") + (iso ? "" : Within()));
            continue;
        }
        const TourPipe* peer = nullptr;
        if (t.behaviour.behaviour == Behaviour::Loopback) {
            peer = inPipe(t.behaviour.peer != 0 ? t.behaviour.peer : static_cast<UCHAR>(t.endpoint | 0x80));
        }
        add("write " + t.handle + " pattern " + count + (iso ? "" : Within()));
        if (peer != nullptr) add("read " + peer->handle + " " + count + " expect pattern" + (iso ? "" : Within()));
    }
    // A loopback IN pipe that no OUT pipe of the setting feeds is read like the rest.
    for (const TourPipe& t : pipes) {
        if (!(t.endpoint & 0x80) || t.behaviour.behaviour != Behaviour::Loopback) continue;
        bool fed = false;
        for (const TourPipe& o : pipes) {
            const bool loops = !(o.endpoint & 0x80) && o.behaviour.behaviour == Behaviour::Loopback;
            fed = fed || (loops && (o.behaviour.peer != 0 ? o.behaviour.peer : (o.endpoint | 0x80)) == t.endpoint);
        }
        if (!fed && t.maxPacket != 0) add("read " + t.handle + " " + std::to_string(t.maxPacket) +
                      (t.type == UsbdPipeTypeIsochronous ? "" : Within()));
    }
    for (const TourPipe& t : pipes) add("close " + t.handle);
    for (const Command& c : steps) {
        if (!Run(c)) return false;
    }
    return true;
}

}  // namespace kwsim
