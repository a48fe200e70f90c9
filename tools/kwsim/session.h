// One kwsim run: the driver loaded into the model, a simulated device, an application process,
// and the steps a tour or a script performs on them.
#pragma once

#include "report.h"

#include "app/app.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::power {
class WaitWake;
}

namespace kwsim {

class Capture;

// One step of a script: a verb and its words, as written.
struct Command {
    int line = 0;
    std::vector<std::string> words;
};

// Parses a script: one command per line, words separated by blanks, '#' starts a comment.
std::vector<Command> ParseScript(const std::string& text);

// The built-in tour, written in the script language.
const char* TourScript();
// The tour of a device description: plug, start and the "tour" command.
const char* DeviceTourScript();

// The DriverEntry of the kwdrv.sys image at `path`, mapped into the model (image.cpp); nullptr
// with *error saying why when it cannot be loaded.
PDRIVER_INITIALIZE LoadImageEntry(const std::string& path, std::string* error);

// A device description from FILE (devicefile.cpp): JSON, a sysfs `descriptors` file (the device
// descriptor followed by the configuration sets) or a hex dump of one. Throws
// sim::usb::DeviceFormatError saying why a file cannot be used.
std::shared_ptr<sim::usb::Device> LoadDevice(const std::string& path);
// The device instance ID the hub gives the device: its VID and PID, then the port's instance.
std::string InstanceIdOf(const sim::usb::Device& device);

// The script language, for --help and README.md.
const char* ScriptHelp();

class Session {
public:
    // `entry` is the DriverEntry to load: the host-built driver's when null, or a loaded image's.
    Session(Reporter& out, std::shared_ptr<sim::usb::Device> device, PDRIVER_INITIALIZE entry = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // --trace: every request that crosses the hub's PDO is shown as it completes.
    void SetTrace(bool on) { trace_ = on; }
    // --pcap: every URB that crosses the hub's PDO is written to `capture` (pcap.h), which must
    // outlive the session.
    void SetCapture(Capture* capture) { capture_ = capture; }
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
    };

    bool RunCommand(const Command& c);
    bool Load();
    bool Plug();
    bool Start();
    bool Open(const std::vector<std::string>& w);
    bool Close(const std::vector<std::string>& w);
    bool Write(const std::vector<std::string>& w, LONGLONG offset, ULONG limit);
    bool Read(const std::vector<std::string>& w, LONGLONG offset, ULONG limit);
    // The tour of a device description (tour.cpp): every pipe of the started device.
    bool Tour();
    // A transfer that was cancelled when its limit passed: shown, and a failure only when the
    // step expected data.
    static void MarkCancelled(Step& s, ULONG limit, bool expected);
    bool Wait(const std::vector<std::string>& w);
    bool Cancel(const std::vector<std::string>& w);
    bool Frames(const std::vector<std::string>& w);
    bool Rebalance();
    bool Unplug();
    bool Remove();
    bool Unload();
    bool Report(const std::string& what);
    // Power commands (power.cpp): sleep, wake, power, waitwake, remotewake.
    static bool IsPowerVerb(const std::string& verb);
    bool RunPower(const Command& c);
    bool Sleep(const std::string& state);
    bool Wake();
    bool DevicePower(const std::string& state);
    bool ArmWaitWake();
    bool RemoteWake();
    // Prints a power step with the states it left behind and the power requests the bus saw.
    void PrintPower(Step s, size_t traceFrom);
    // Ends an armed wait-wake request (Finish).
    void FinishPower();

    // Device-control commands (control.cpp).
    struct IoctlReply {
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR info = 0;
        std::vector<UCHAR> out;  // the Information bytes of the output buffer
    };
    IoctlReply SendIoctl(sim::app::Handle h, ULONG code, const std::vector<UCHAR>& in, ULONG outLength);
    // A handle on the interface path alone, opened on first use for the named commands and closed
    // before removal.
    bool ControlHandle(sim::app::Handle* h);
    void CloseControlHandle();
    bool Ioctl(const std::vector<std::string>& w);
    bool Descriptor(const std::vector<std::string>& w);
    bool Reset(const std::vector<std::string>& w);
    bool Vendor(const std::vector<std::string>& w);

    bool Usage(const Command& c, const std::string& message);
    PDEVICE_EXTENSION Ext() const;
    std::u16string InterfacePath() const;
    bool FindHandle(const std::string& name, sim::app::Handle* h);

    // Isochronous handles (isoch.cpp).
    struct IsoRecord {
        ULONG startFrame = 0;
        std::vector<USBD_STATUS> statuses;  // per packet
    };
    // Takes a trailing "at FRAMES" off w: the byte offset that asks for a start frame FRAMES
    // after the current one (0, as soon as possible, without it). False for a bad count.
    static bool TakeStartFrame(std::vector<std::string>* w, LONGLONG* offset);
    bool IsIsochronous(sim::app::Handle h) const;
    void WatchIsochronous();  // records each isochronous URB's packets as the stack ends it
    // Runs the frame clock until an isochronous request on h has completed.
    void AwaitIsochronous(sim::app::Handle h, sim::app::Overlapped& ov);
    // A read or write that is waited for (running the clock on an isochronous handle).
    // With a limit, a request still pending after that many frames is cancelled (*cancelled).
    sim::app::IoResult Transfer(bool read, sim::app::Handle h, PVOID buffer, ULONG length, LONGLONG offset,
                                ULONG limit, bool* cancelled);
    // Takes a trailing "within FRAMES" off w. False for a bad count.
    static bool TakeLimit(std::vector<std::string>* w, ULONG* limit);
    // The start frame of the last transfer on h's pipe and, when a packet failed, every packet's status.
    void AddPackets(Step& s, sim::app::Handle h);

    // The hub PDO's trace (trace.cpp): one request as a step; after each command, the requests
    // completed since the last one (shown with --trace; the trace is emptied when it grows long
    // and nothing is outstanding); the last requests of a failed start, from trace entry `from`.
    Step RequestStep(const sim::usb::TraceEntry& e) const;
    void ShowTrace();
    void ShowFailedStart(size_t from);

    Reporter& out_;
    bool trace_ = false;
    Capture* capture_ = nullptr;
    size_t traceShown_ = 0;          // trace entries before it have been shown
    std::set<size_t> shownEarly_;    // entries after it, shown while an earlier one was outstanding
    std::shared_ptr<sim::usb::Device> device_;
    PDRIVER_INITIALIZE entry_ = nullptr;
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
    sim::app::Handle control_ = sim::app::kInvalidHandle;
    std::vector<UCHAR> lastBlock_;  // what the last "vendor out 0C" sent, record first
    std::shared_ptr<sim::power::WaitWake> waitWake_;
    std::mutex isoMutex_;
    std::map<USBD_PIPE_HANDLE, IsoRecord> lastIso_;  // by pipe, until a step shows it
};

}  // namespace kwsim
