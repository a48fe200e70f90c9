// kwsim: loads the driver into the host model, plugs in a simulated device and runs the built-in
// tour or a script on it. Exits 1 when a step did not do what was expected, 2 when the script or
// device description cannot be used; a verifier finding stops the process with a bug-check
// report (and a non-zero exit) where it happens.
#include "pcap.h"
#include "report.h"
#include "session.h"

#include "kernel/model.h"
#include "usb/device.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

struct Options {
    bool json = false;
    bool trace = false;
    std::string deviceFile;  // empty: the built-in test firmware
    std::string scriptFile;  // empty: the built-in tour
    std::string imageFile;   // empty: the host-built driver
    std::string pcapFile;    // empty: no capture
};

void Help() {
    std::cout << "usage: kwsim [--device FILE] [--script FILE] [--image FILE] [--json] [--trace] [--pcap FILE]\n"
                 "  Loads kwdrv into the host model, plugs in a simulated device and runs a tour or the\n"
                 "  script in FILE; then removes the device, unloads the driver and prints the\n"
                 "  verifier's summary.\n"
                 "  --device FILE  the device: a JSON description, a Linux sysfs `descriptors` file\n"
                 "                 (device descriptor, then the configuration sets) or a hex dump of\n"
                 "                 one; without it, the built-in test firmware and its tour. Another\n"
                 "                 device gets the tour of its own pipes (the \"tour\" command).\n"
                 "  --script FILE  run the script in FILE instead of a tour (language below)\n"
                 "  --json         one JSON object per step, with typed fields\n"
                 "  --trace        every request that crosses the hub's PDO, as it completes (a\n"
                 "                 failed start shows its last requests without it)\n"
                 "  --pcap FILE    write every URB that crosses the hub's PDO, submitted and\n"
                 "                 completed, to FILE as a capture Wireshark opens (USB with the\n"
                 "                 Windows pseudo-header, link type 249)\n"
                 "  --image FILE   run the kwdrv.sys in FILE, mapped into the model, instead of the\n"
                 "                 host-built driver (32-bit build with -DKWDRV_WINDOWS_ABI=ON only)\n\n"
              << kwsim::ScriptHelp() << "\nThe built-in tour:\n"
              << kwsim::TourScript();
}

int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            o->json = true;
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            o->trace = true;
        } else if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            o->deviceFile = argv[++i];
        } else if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc) {
            o->scriptFile = argv[++i];
        } else if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) {
            o->imageFile = argv[++i];
        } else if (std::strcmp(argv[i], "--pcap") == 0 && i + 1 < argc) {
            o->pcapFile = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Help();
            return 0;
        } else {
            std::cerr << "kwsim: unknown argument " << argv[i] << " (try --help)\n";
            return 2;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int early = ParseArgs(argc, argv, &opt);
    if (early >= 0) return early;

    // The built-in tour fits the built-in firmware; another device gets the tour of its pipes.
    std::string script = opt.deviceFile.empty() ? kwsim::TourScript() : kwsim::DeviceTourScript();
    if (!opt.scriptFile.empty()) {
        std::ifstream in(opt.scriptFile);
        if (!in) {
            std::cerr << "kwsim: cannot read " << opt.scriptFile << "\n";
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        script = text.str();
    }
    std::shared_ptr<sim::usb::Device> device = sim::usb::Device::Default();
    if (!opt.deviceFile.empty()) {
        try {
            device = kwsim::LoadDevice(opt.deviceFile);
        } catch (const std::exception& e) {
            std::cerr << "kwsim: " << e.what() << "\n";
            return 2;
        }
    }

    PDRIVER_INITIALIZE entry = nullptr;
    if (!opt.imageFile.empty()) {
        std::string error;
        entry = kwsim::LoadImageEntry(opt.imageFile, &error);
        if (entry == nullptr) {
            std::cerr << "kwsim: " << error << "\n";
            return 2;
        }
    }

    std::unique_ptr<kwsim::Capture> capture;
    if (!opt.pcapFile.empty()) {
        std::string error;
        capture = kwsim::Capture::Create(opt.pcapFile, &error);
        if (capture == nullptr) {
            std::cerr << "kwsim: " << error << "\n";
            return 2;
        }
    }

    kwsim::Reporter out(opt.json);
    bool usable = true;
    {
        kwsim::Session session(out, device, entry);
        session.SetTrace(opt.trace);
        session.SetCapture(capture.get());
        for (const kwsim::Command& c : kwsim::ParseScript(script)) {
            if (!session.Run(c)) {
                usable = false;
                break;
            }
        }
        session.Finish();
    }
    if (!opt.json) {
        std::cout << "\n"
                  << (!usable ? "kwsim: the script stopped early"
                              : out.Failures() == 0 ? "kwsim: all steps as expected" : "kwsim: some steps FAILED")
                  << "\n";
    }
    if (!usable) return 2;
    return out.Failures() == 0 ? 0 : 1;
}
