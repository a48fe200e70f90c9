// kwsim scripts against the test firmware: plug, start, open, read, write, cancel, frames,
// close, rebalance, unplug, remove, unload in any order, run by kwsim's own session.
//
// The input is script text. Steps an application could legitimately wait on forever are
// rewritten so that every run ends and a wait that does not end is a fault: a synchronous
// read becomes an overlapped read, 20 frames, CancelIo on its handle and a wait; every wait
// first advances 20 frames and cancels its handle; writes are dropped once a script has written
// the 4096 bytes the firmware's loopback FIFO holds; frame counts are capped. What kwsim
// refuses as a usage error ends the script, as it does in kwsim.
#include "harness.h"

#include "report.h"
#include "session.h"

#include <map>
#include <set>
#include <string>

namespace {

constexpr unsigned long kFifoBytes = 4096;

unsigned long Number(const std::string& w) { return std::strtoul(w.c_str(), nullptr, 0); }

// Bytes a write command sends, as kwsim counts them ("pattern N" or one per hex word).
unsigned long WriteBytes(const std::vector<std::string>& w) {
    if (w.size() == 4 && w[2] == "pattern") return Number(w[3]);
    return w.size() - 2;
}

std::vector<kwsim::Command> Rewrite(const std::vector<kwsim::Command>& script) {
    std::vector<kwsim::Command> out;
    std::map<std::string, std::string> asyncHandle;  // overlapped read ID -> handle name
    std::set<std::string> closed;                    // handle names closed since opened
    unsigned long written = 0;
    int synthetic = 0;
    for (const kwsim::Command& c : script) {
        const std::vector<std::string>& w = c.words;
        auto add = [&](std::vector<std::string> words) { out.push_back({c.line, std::move(words)}); };
        if (w[0] == "write" && w.size() >= 3) {
            unsigned long n = WriteBytes(w);
            if (n > kFifoBytes - written) continue;
            written += n;
            add(w);
        } else if (w[0] == "read" && w.size() == 5 && w[3] == "async") {
            asyncHandle[w[4]] = w[1];
            add(w);
        } else if (w[0] == "read" && w.size() >= 3) {
            std::string id = "~sync" + std::to_string(++synthetic);
            add({"read", w[1], w[2], "async", id});
            add({"frames", "20"});
            add({"cancel", w[1]});
            std::vector<std::string> wait{"wait", id};
            if (w.size() > 3) wait.insert(wait.end(), w.begin() + 3, w.end());
            if (w.size() == 5 && w[3] == "expect" && w[4] == "pattern") wait.push_back(w[2]);  // pattern of LENGTH
            add(wait);
        } else if (w[0] == "wait" && w.size() >= 2) {
            add({"frames", "20"});
            auto it = asyncHandle.find(w[1]);
            if (it != asyncHandle.end() && closed.count(it->second) == 0) add({"cancel", it->second});
            add(w);
        } else if (w[0] == "close" && w.size() == 2) {
            closed.insert(w[1]);
            add(w);
        } else if (w[0] == "open" && w.size() == 4) {
            closed.erase(w[3]);
            add(w);
        } else if (w[0] == "frames" && w.size() == 2) {
            add({"frames", std::to_string(std::min(Number(w[1]), 1000ul))});
        } else {
            add(w);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return -1;
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<kwsim::Command> script = Rewrite(kwsim::ParseScript(text));
    if (script.size() > 64) return -1;  // long scripts only repeat what short ones show
    kwsim::Reporter out(false);
    {
        kwsim::Session session(out, std::make_shared<sim::usb::Device>(fuzz::TestFirmware()));
        for (const kwsim::Command& c : script) {
            if (!session.Run(c)) break;
        }
        session.Finish();
    }
    return 0;
}
