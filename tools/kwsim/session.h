// One kwsim run: the driver loaded into the model, a simulated device, an application process,
// and the steps a tour or a script performs on them.
#pragma once

#include "report.h"

#include "app/app.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kwsim {

// One step of a script: a verb and its words, as written.
struct Command {
    int line = 0;
    std::vector<std::string> words;
};

// Parses a script: one command per line, words separated by blanks, '#' starts a comment.
std::vector<Command> ParseScript(const std::string& text);

// The built-in tour, written in the script language.
const char* TourScript();

// The script language, for --help and README.md.
const char* ScriptHelp();

class Session {
public:
    Session(Reporter& out, std::shared_ptr<sim::usb::Device> device);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one command and prints its step. Returns false when the command could not be run
    // at all (unknown verb, wrong words, a name that does not exist); the run stops there.
    bool Run(const Command& c);
    // Closes what is still open, removes the device and unloads the driver if the script did
    // not, then prints the verifier's summary.
    void Finish();

private:
    struct Async {
        std::unique_ptr<sim::app::Overlapped> overlapped;
        PVOID buffer = nullptr;
        ULONG length = 0;
        std::string handle;
        // The read failed without being pended: the I/O manager signals nothing, so a wait
        // reports this status instead of waiting.
        std::optional<NTSTATUS> failedAtOnce;
    };

    bool Load();
    bool Plug();
    bool Start();
    bool Open(const std::vector<std::string>& w);
    bool Close(const std::vector<std::string>& w);
    bool Write(const std::vector<std::string>& w);
    bool Read(const std::vector<std::string>& w);
    bool Wait(const std::vector<std::string>& w);
    bool Cancel(const std::vector<std::string>& w);
    bool Frames(const std::vector<std::string>& w);
    bool Rebalance();
    bool Unplug();
    bool Remove();
    bool Unload();
    bool Report(const std::string& what);

    bool Usage(const Command& c, const std::string& message);
    // A request made on an overlapped handle, waited for when it went pending.
    sim::app::IoResult Complete(sim::app::IoResult r, sim::app::Overlapped& ov);
    PDEVICE_EXTENSION Ext() const;
    std::u16string InterfacePath() const;
    bool FindHandle(const std::string& name, sim::app::Handle* h);

    Reporter& out_;
    std::shared_ptr<sim::usb::Device> device_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::usb::BusDevice> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::u16string link_;
    bool started_ = false;
    bool surpriseRemoved_ = false;
    std::unique_ptr<sim::app::Process> app_;
    std::map<std::string, sim::app::Handle> handles_;
    std::map<std::string, Async> async_;
    sim::app::Overlapped ov_;  // for the requests a step waits for
};

}  // namespace kwsim
