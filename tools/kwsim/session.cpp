#include "session.h"

#include "decode.h"
#include "pcap.h"

#include "kernel/model.h"

#include "kwdrv.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace kwsim {
namespace {

std::string Flags(ULONG f) {
    static const std::pair<ULONG, const char*> kNames[] = {
        {DO_BUFFERED_IO, "DO_BUFFERED_IO"}, {DO_EXCLUSIVE, "DO_EXCLUSIVE"},
        {DO_DIRECT_IO, "DO_DIRECT_IO"},     {DO_DEVICE_HAS_NAME, "DO_DEVICE_HAS_NAME"},
        {DO_DEVICE_INITIALIZING, "DO_DEVICE_INITIALIZING"}, {DO_POWER_PAGABLE, "DO_POWER_PAGABLE"},
    };
    std::string s;
    for (auto [bit, name] : kNames) {
        if (f & bit) s += (s.empty() ? "" : "|") + std::string(name);
    }
    return s.empty() ? "0" : s;
}

std::string DState(DEVICE_POWER_STATE d) {
    return d == PowerDeviceUnspecified ? "unspecified" : "D" + std::to_string(static_cast<int>(d) - 1);
}

std::string SState(SYSTEM_POWER_STATE s) {
    return s == PowerSystemUnspecified ? "unspecified" : "S" + std::to_string(static_cast<int>(s) - 1);
}

bool ParseNumber(const std::string& w, unsigned long* v) {
    char* end = nullptr;
    *v = std::strtoul(w.c_str(), &end, 0);
    return !w.empty() && end != nullptr && *end == '\0';
}

// "pattern N" or a list of hex bytes, starting at words[from].
bool ParseBytes(const std::vector<std::string>& w, size_t from, std::vector<UCHAR>* bytes) {
    bytes->clear();
    if (from < w.size() && w[from] == "pattern") {
        unsigned long n = 0;
        if (from + 2 != w.size() || !ParseNumber(w[from + 1], &n) || n > 1u << 20) return false;
        for (unsigned long i = 0; i < n; ++i) bytes->push_back(static_cast<UCHAR>(i));
        return true;
    }
    for (size_t i = from; i < w.size(); ++i) {
        char* end = nullptr;
        unsigned long b = std::strtoul(w[i].c_str(), &end, 16);
        if (w[i].empty() || *end != '\0' || b > 0xFF) return false;
        bytes->push_back(static_cast<UCHAR>(b));
    }
    return true;
}

std::string PipeNameOf(const std::string& word) {
    unsigned long index = 0;
    if (ParseNumber(word, &index) && index < 10) return "\\KWDrv" + std::to_string(index);
    return word.rfind('\\', 0) == 0 ? word : "\\" + word;
}

}  // namespace

std::vector<Command> ParseScript(const std::string& text) {
    std::vector<Command> out;
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        Command c;
        c.line = n;
        for (std::string w; words >> w;) c.words.push_back(w);
        if (!c.words.empty()) out.push_back(c);
    }
    return out;
}

const char* TourScript() {
    return R"(# The built-in tour of the test firmware.
plug                         # AddDevice
start                        # IRP_MN_START_DEVICE: descriptors, the selected setting, the pipes
open 0 as out                # every pipe by its name, \KWDrv0 to \KWDrv4
open 1 as in
open 2 as irq
open 3 as isoout
open 4 as isoin
write out pattern 200        # bulk loopback: what goes out on 0x01 comes back on 0x81
read in 200 expect pattern
write isoout pattern 768     # isochronous loopback: 256-byte packets, one per 1 ms frame,
read isoin 768 expect pattern  # out on 0x03 and back on 0x83
write isoout pattern 300 at 5  # a start frame 5 frames after the current one
read isoin 300 expect pattern
read irq 8 async report      # an interrupt read waits until the device has a report,
frames 10                    # which the firmware sends every 10 frames (10 ms)
wait report
descriptor device            # the copies the driver returns through device control
descriptor config
resetpipe in                 # IOCTL_KW_RESET_PIPE on the bulk IN pipe
vendor out 0C 11 22 33 44    # store a block: the record and four bytes
vendor in 0C 18 expect stored
vendor in 01 2 expect 00 01  # the firmware's version word
vendor out 02 de ad be ef value 0x10   # data from a buffer in the application
rebalance                    # QUERY_STOP, STOP, START: the pipes are selected again
write out 4b 57 64 76
read in 4 expect 4b 57 64 76
read in 64 async asleep      # a read waits in the USB stack while the system sleeps
sleep S3                     # QUERY_POWER, then D3 for the device before SET_POWER S3 goes down
wake                         # SET_POWER S0: the device gets D0 first
write out 01 02 03
wait asleep expect 01 02 03  # the read survived the sleep
read in 64 async pending     # nothing to read: the request stays in the USB stack
unplug                       # surprise removal with the read pending
wait pending
close out
close in
close irq
close isoout
close isoin
remove                       # IRP_MN_REMOVE_DEVICE once the last handle is closed
unload
)";
}

const char* ScriptHelp() {
    return R"(Script language: one command per line; '#' starts a comment; numbers may be decimal or 0x hex.
  plug                          plug the device in (AddDevice)
  start                         IRP_MN_START_DEVICE; shows descriptors, the selected setting, the pipes
  open PIPE [as NAME]           open the interface path plus a pipe name; PIPE is an index (1) or a
                                name (KWDrv1); NAME names the handle (default: the pipe name)
  close NAME                    close a handle (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE)
  write NAME BYTES... [at FRAMES]
                                write hex bytes (01 02 ff) or "pattern N" (N bytes 00 01 02 ...)
  read NAME LENGTH [expect BYTES...] [at FRAMES]
                                read LENGTH bytes; with expect, the data must match (BYTES as
                                for write; "expect pattern" alone means a pattern of LENGTH bytes)
                                On an isochronous handle the frame clock runs until the request
                                ends; "at FRAMES" asks for a start frame FRAMES after the current
                                one (0xFFFFFFFF: the one before it); the start frame is shown, and
                                every packet's status when one failed
  read NAME LENGTH fails        a read the device refuses (a halted endpoint): failing is expected
  read ... within FRAMES        (read or write) cancel the request if it has not ended after
                                FRAMES frames; shown as cancelled, a failure only with expect
  read NAME LENGTH async ID     start an overlapped read and go on
  wait ID [expect BYTES...]     wait for an overlapped read
  cancel NAME                   CancelIo on a handle
  frames N                      advance the bus's 1 ms frame clock by N frames (interrupt reports
                                fall due, waiting transfers move)
  rebalance                     QUERY_STOP, STOP and START again
  unplug                        the device is pulled out: IRP_MN_SURPRISE_REMOVAL
  remove                        IRP_MN_REMOVE_DEVICE (after QUERY_REMOVE unless the device was unplugged)
  sleep S1|S2|S3|S4             the system's sleep sequence: QUERY_POWER, then SET_POWER to the state
  wake                          the system resumes: SET_POWER S0
  power D0|D1|D2|D3             a device set-power request from the power policy owner's side
  waitwake                      arm a wait-wake request (IRP_MN_WAIT_WAKE) through the stack
  remotewake                    the device signals remote wake: the armed wait-wake completes
  tour                          open every pipe of the started device and exercise each as its
                                endpoint behaves (the tour of a --device description)
  descriptors | pipes           show the device's descriptors or the pipe table again
  open - as NAME                open the interface path alone: a handle without a pipe
  ioctl NAME CODE [in BYTES...] [out N] [expect BYTES...]
                                DeviceIoControl with CODE (hex), those input bytes and an output
                                buffer of N bytes; shows status, Information and the output bytes
  descriptor device|config      the descriptor copy the driver returns, checked against the device
  resetpipe NAME                reset the pipe of a handle
  resetport                     reset the hub port if the device is connected but its port disabled
  vendor in 0C|01 LENGTH [value V] [index I] [expect BYTES...|stored]
                                a device-to-host vendor request; "expect stored" means the block the
                                last "vendor out 0C" sent
  vendor out 0C|02|00 BYTES... [value V] [index I]
                                a host-to-device vendor request: 0C sends the record followed by
                                BYTES, 02 and 00 send BYTES from a buffer at DataAddress
  unload                        unload the driver
)";
}

Session::Session(Reporter& out, std::shared_ptr<sim::usb::Device> device, PDRIVER_INITIALIZE entry)
    : out_(out), device_(std::move(device)), entry_(entry != nullptr ? entry : DriverEntry) {
    app_ = std::make_unique<sim::app::Process>("kwsim.exe");
    Load();
}

Session::~Session() {
    if (capture_ != nullptr) capture_->Detach();
}

PDEVICE_EXTENSION Session::Ext() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }

std::u16string Session::InterfacePath() const { return sim::app::UserPath(link_); }

bool Session::Usage(const Command& c, const std::string& message) {
    std::cerr << "kwsim: script line " << c.line << ": " << message << "\n";
    return false;
}

bool Session::FindHandle(const std::string& name, sim::app::Handle* h) {
    auto it = handles_.find(name);
    if (it == handles_.end()) {
        std::cerr << "kwsim: no open handle named " << name << "\n";
        return false;
    }
    *h = it->second;
    return true;
}

bool Session::Run(const Command& c) {
    bool usable = RunCommand(c);
    ShowTrace();
    return usable;
}

bool Session::RunCommand(const Command& c) {
    const std::string& verb = c.words[0];
    const std::vector<std::string>& w = c.words;
    bool deviceNeeded = verb != "plug" && verb != "unload" && verb != "tour";
    if (deviceNeeded && (fdo_ == nullptr || !sim::DeviceExists(fdo_))) {
        return Usage(c, verb + " needs a plugged-in device");
    }
    if (verb == "plug" && w.size() == 1) return Plug();
    if (verb == "start" && w.size() == 1) return Start();
    if (verb == "open" && (w.size() == 2 || (w.size() == 4 && w[2] == "as"))) return Open(w);
    if (verb == "close" && w.size() == 2) return Close(w);
    std::vector<std::string> args = w;
    LONGLONG offset = 0;
    ULONG limit = 0;
    if ((verb == "write" || verb == "read") && (!TakeLimit(&args, &limit) || !TakeStartFrame(&args, &offset))) {
        return Usage(c, "at and within take a frame count");
    }
    if (verb == "write" && args.size() >= 3) return Write(args, offset, limit);
    if (verb == "read" && args.size() >= 3) return Read(args, offset, limit);
    if (verb == "tour" && w.size() == 1) return Tour();
    if (verb == "wait" && w.size() >= 2) return Wait(w);
    if (verb == "cancel" && w.size() == 2) return Cancel(w);
    if (verb == "frames" && w.size() == 2) return Frames(w);
    if (verb == "rebalance" && w.size() == 1) return Rebalance();
    if (verb == "unplug" && w.size() == 1) return Unplug();
    if (verb == "remove" && w.size() == 1) return Remove();
    if (verb == "unload" && w.size() == 1) return Unload();
    if ((verb == "descriptors" || verb == "pipes") && w.size() == 1) return Report(verb);
    if (verb == "ioctl" && w.size() >= 3) return Ioctl(w);
    if (verb == "descriptor" && w.size() == 2) return Descriptor(w);
    if ((verb == "resetpipe" && w.size() == 2) || (verb == "resetport" && w.size() == 1)) return Reset(w);
    if (verb == "vendor" && w.size() >= 3) return Vendor(w);
    if (IsPowerVerb(verb)) return RunPower(c);
    return Usage(c, "cannot run \"" + verb + "\" with these words (see kwsim --help)");
}

bool Session::Load() {
    out_.Note("loading the driver");
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    driver_ = sim::LoadDriver("kwdrv", entry_, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv",
                              &st);
    Step s("DriverEntry", st);
    s.failed = driver_ == nullptr;
    out_.Print(s);
    return driver_ != nullptr;
}

bool Session::Plug() {
    if (driver_ == nullptr || bus_ != nullptr) {
        std::cerr << "kwsim: plug needs a loaded driver and an empty port\n";
        return false;
    }
    out_.Note("plugging in the device");
    bus_ = std::make_unique<sim::usb::BusDevice>(InstanceIdOf(*device_), device_);
    if (capture_ != nullptr) capture_->Attach(bus_.get());
    NTSTATUS st = sim::pnp::AddDevice(driver_, bus_->Pdo());
    Step add("AddDevice", st);
    add.failed = !NT_SUCCESS(st);
    if (NT_SUCCESS(st)) {
        fdo_ = sim::pnp::TopOfStack(bus_->Pdo());
        PDEVICE_EXTENSION e = Ext();
        link_ = e->InterfaceLinkName;
        bool enabled = sim::QueryInterfaceState(link_) == sim::InterfaceState::Enabled;
        add.details = {
            {"instance", bus_->InstanceId()},
            {"device object", sim::DeviceName(fdo_) + " above " + sim::DeviceName(e->LowerDeviceObject)},
            {"stack size", std::to_string(fdo_->StackSize)},
            {"flags", Flags(fdo_->Flags)},
            {"interface", sim::Narrow(link_) + (enabled ? " (enabled)" : " (NOT enabled)")},
            {"capabilities", "DeviceWake " + DState(e->DeviceCapabilities.DeviceWake) + ", SystemWake " +
                                 SState(e->DeviceCapabilities.SystemWake)},
            {"OutstandingIo", std::to_string(e->OutstandingIo)},
        };
        add.failed = !enabled || e->OutstandingIo != 1 || (fdo_->Flags & DO_DEVICE_INITIALIZING);
        WatchIsochronous();
    }
    out_.Print(add);
    return true;
}

bool Session::Start() {
    out_.Note("starting the device");
    const size_t traceFrom = bus_->Trace().size();
    sim::pnp::StartResult r = sim::pnp::Start(bus_->Pdo());
    Step start("IRP_MN_START_DEVICE", r.start.status);
    start.failed = !NT_SUCCESS(r.start.status);
    if (r.removed) start.details = {{"PnP manager", "removed the device after the failed start"}};
    out_.Print(start);
    if (start.failed && !trace_) ShowFailedStart(traceFrom);
    if (r.removed) return true;
    started_ = true;
    return Report("descriptors") && Report("pipes");
}

bool Session::Report(const std::string& what) {
    PDEVICE_EXTENSION e = Ext();
    if (what == "descriptors") {
        if (e->DeviceDescriptor == nullptr) {
            std::cerr << "kwsim: the device has not been started\n";
            return false;
        }
        Step dev("device descriptor");
        dev.details = DecodeDeviceDescriptor(*e->DeviceDescriptor);
        dev.fields["deviceDescriptor"] = DeviceDescriptorFields(*e->DeviceDescriptor);
        out_.Print(dev);
        Step config("configuration descriptor set");
        PUSB_CONFIGURATION_DESCRIPTOR set = FetchConfigurationDescriptor(fdo_);
        if (set != nullptr) {
            config.details = DecodeConfigurationSet(reinterpret_cast<const UCHAR*>(set), set->wTotalLength);
            config.fields["descriptors"] = ConfigurationSetFields(reinterpret_cast<const UCHAR*>(set), set->wTotalLength);
            KwFreePool(set);
        } else {
            config.details = {{"!", "the set could not be read again"}};
            config.failed = true;
        }
        out_.Print(config);
        return true;
    }
    if (e->InterfaceInfo == nullptr) {
        std::cerr << "kwsim: no configuration is selected\n";
        return false;
    }
    Step chosen("selected setting");
    const USBD_INTERFACE_INFORMATION* info = e->InterfaceInfo;
    chosen.fields = {{"interfaceNumber", info->InterfaceNumber},
                     {"alternateSetting", info->AlternateSetting},
                     {"numberOfPipes", info->NumberOfPipes}};
    chosen.details = {{"interface", std::to_string(info->InterfaceNumber) + " alternate setting " +
                                        std::to_string(info->AlternateSetting) + ", " +
                                        std::to_string(info->NumberOfPipes) + " pipe(s)"},
                      {"why", info->AlternateSetting == 1
                                  ? "interface 0 offers alternate setting 1, which the driver prefers"
                                  : "interface 0 has no alternate setting 1: the default selection"}};
    out_.Print(chosen);
    Step pipes("pipe table");
    pipes.details = DecodePipeTable(*e);
    pipes.fields["pipes"] = PipeTableFields(*e);
    out_.Print(pipes);
    return true;
}

bool Session::Open(const std::vector<std::string>& w) {
    // A close the I/O manager still owes (a handle closed while a request held its file object,
    // which has since completed) reaches the driver first, so a script that reopens a pipe after
    // its wait returned does not race the pipe's release.
    app_->Flush();
    // "-" opens the interface path alone, a handle without a pipe.
    std::string pipe = w[1] == "-" ? "" : PipeNameOf(w[1]);
    std::string name = w.size() == 4 ? w[3] : pipe.empty() ? "" : pipe.substr(1);
    if (name.empty()) {
        std::cerr << "kwsim: open - needs a name: open - as NAME\n";
        return false;
    }
    if (handles_.count(name) != 0) {
        std::cerr << "kwsim: a handle named " << name << " is already open\n";
        return false;
    }
    // Handles are overlapped, so a script can leave a read pending and go on.
    sim::app::OpenResult r = app_->Open(InterfacePath() + sim::Widen(pipe), sim::app::OpenOptions{true});
    Step s("open " + (pipe.empty() ? std::string("(interface path)") : pipe), r.status);
    s.details = {{"handle", name}};
    s.failed = !NT_SUCCESS(r.status);
    if (NT_SUCCESS(r.status)) handles_[name] = r.handle;
    out_.Print(s);
    return true;
}

bool Session::Close(const std::vector<std::string>& w) {
    sim::app::Handle h;
    if (!FindHandle(w[1], &h)) return false;
    NTSTATUS st = app_->Close(h);
    app_->Flush();
    handles_.erase(w[1]);
    Step s("close " + w[1], st);
    s.failed = !NT_SUCCESS(st);
    out_.Print(s);
    return true;
}

void Session::MarkCancelled(Step& s, ULONG limit, bool expected) {
    s.details.push_back({"limit", "the device did not answer within " + std::to_string(limit) + " frames: cancelled"});
    s.fields["cancelledAfterFrames"] = limit;
    s.failed = expected;
}

bool Session::Write(const std::vector<std::string>& w, LONGLONG offset, ULONG limit) {
    sim::app::Handle h;
    std::vector<UCHAR> data;
    if (!FindHandle(w[1], &h)) return false;
    if (!ParseBytes(w, 2, &data)) {
        std::cerr << "kwsim: write takes hex bytes or \"pattern N\"\n";
        return false;
    }
    PVOID buffer = app_->Alloc(data.empty() ? 1 : data.size());
    if (!data.empty()) app_->Store(buffer, data.data(), data.size());
    bool cancelled = false;
    sim::app::IoResult r = Transfer(false, h, buffer, static_cast<ULONG>(data.size()), offset, limit, &cancelled);
    Step s("write " + w[1], r.status, r.iosb.Information);
    s.details = {{"data", data.empty() ? "(none)" : Bytes(data.data(), data.size())}};
    s.fields["bytes"] = data;
    // Isochronous packets that were late are not retried: a short write is reported, not a failure.
    s.failed = !NT_SUCCESS(r.status) || (r.iosb.Information != data.size() && !IsIsochronous(h));
    if (cancelled) MarkCancelled(s, limit, false);
    AddPackets(s, h);
    out_.Print(s);
    app_->Free(buffer);
    return true;
}

bool Session::Read(const std::vector<std::string>& w, LONGLONG offset, ULONG limit) {
    sim::app::Handle h;
    unsigned long length = 0;
    if (!FindHandle(w[1], &h)) return false;
    if (!ParseNumber(w[2], &length) || length > 1u << 20) {
        std::cerr << "kwsim: read takes a length\n";
        return false;
    }
    if (w.size() == 5 && w[3] == "async" && async_.count(w[4]) != 0) {
        // Its OVERLAPPED must live until the request completes: the name stays taken until a wait.
        std::cerr << "kwsim: an overlapped read named " << w[4] << " is still outstanding\n";
        return false;
    }
    PVOID buffer = app_->Alloc(length == 0 ? 1 : length);
    if (w.size() == 5 && w[3] == "async") {
        Async a;
        a.overlapped = std::make_unique<sim::app::Overlapped>();
        a.buffer = buffer;
        a.length = static_cast<ULONG>(length);
        a.handle = w[1];
        sim::app::IoResult r = app_->Read(h, buffer, a.length, offset, a.overlapped.get());
        Step s("read " + w[1] + " (overlapped " + w[4] + ")", r.status);
        out_.Print(s);
        // A read that failed without being pended never signals its OVERLAPPED: nothing to wait for.
        if (r.status == STATUS_PENDING || a.overlapped->Signalled()) {
            async_[w[4]] = std::move(a);
        } else {
            app_->Free(buffer);
        }
        return true;
    }
    std::vector<UCHAR> expected;
    bool expect = w.size() > 3 && w[3] == "expect";
    bool patternOfLength = expect && w.size() == 5 && w[4] == "pattern";
    for (unsigned long i = 0; patternOfLength && i < length; ++i) expected.push_back(static_cast<UCHAR>(i));
    // "fails": the device is known to refuse the read (a halted endpoint), so a failure is expected.
    const bool fails = w.size() == 4 && w[3] == "fails";
    if ((w.size() > 3 && !expect && !fails) || (expect && !patternOfLength && !ParseBytes(w, 4, &expected))) {
        std::cerr << "kwsim: read NAME LENGTH [expect BYTES...] or read NAME LENGTH async ID\n";
        return false;
    }
    bool cancelled = false;
    sim::app::IoResult r = Transfer(true, h, buffer, static_cast<ULONG>(length), offset, limit, &cancelled);
    std::vector<UCHAR> got = app_->Load(buffer, r.iosb.Information);
    Step s("read " + w[1], r.status, r.iosb.Information);
    s.details = {{"data", got.empty() ? "(none)" : Bytes(got.data(), got.size())}};
    s.fields["bytes"] = got;
    AddPackets(s, h);
    s.failed = fails ? NT_SUCCESS(r.status) : !NT_SUCCESS(r.status) || (expect && got != expected);
    if (expect && got != expected) s.details.push_back({"expected", Bytes(expected.data(), expected.size())});
    if (cancelled) MarkCancelled(s, limit, expect);
    out_.Print(s);
    app_->Free(buffer);
    return true;
}

bool Session::Wait(const std::vector<std::string>& w) {
    auto it = async_.find(w[1]);
    if (it == async_.end()) {
        std::cerr << "kwsim: no overlapped request named " << w[1] << "\n";
        return false;
    }
    Async& a = it->second;
    sim::app::Handle h;
    if (handles_.count(a.handle) != 0 && FindHandle(a.handle, &h)) AwaitIsochronous(h, *a.overlapped);
    a.overlapped->Wait();
    NTSTATUS st = a.overlapped->Internal();
    ULONG_PTR info = a.overlapped->InternalHigh();
    std::vector<UCHAR> got = app_->Load(a.buffer, info);
    Step s("wait " + w[1], st, info);
    s.details = {{"data", got.empty() ? "(none)" : Bytes(got.data(), got.size())}};
    s.fields["bytes"] = got;
    std::vector<UCHAR> expected;
    if (w.size() > 2) {
        if (w[2] != "expect" || !ParseBytes(w, 3, &expected)) return Usage(Command{0, w}, "wait ID [expect BYTES...]");
        s.failed = !NT_SUCCESS(st) || got != expected;
    }
    out_.Print(s);
    app_->Free(a.buffer);
    async_.erase(it);
    return true;
}

bool Session::Cancel(const std::vector<std::string>& w) {
    sim::app::Handle h;
    if (!FindHandle(w[1], &h)) return false;
    Step s("cancel " + w[1], app_->CancelIo(h));
    out_.Print(s);
    return true;
}

bool Session::Frames(const std::vector<std::string>& w) {
    unsigned long n = 0;
    if (!ParseNumber(w[1], &n) || n > 100000) {
        std::cerr << "kwsim: frames takes a count\n";
        return false;
    }
    bus_->AdvanceFrames(static_cast<ULONG>(n));
    sim::FlushDpcs();
    Step s("frames " + w[1]);
    s.details = {{"frame number", std::to_string(bus_->FrameNumber())}};
    out_.Print(s);
    return true;
}

bool Session::Rebalance() {
    out_.Note("resource rebalance");
    sim::pnp::RebalanceResult r = sim::pnp::Rebalance(bus_->Pdo());
    out_.Print(Step("IRP_MN_QUERY_STOP_DEVICE", r.queryStop.status));
    if (!r.stopped) {
        out_.Print(Step("IRP_MN_CANCEL_STOP_DEVICE", r.cancelStop.status));
        return true;
    }
    Step stop("IRP_MN_STOP_DEVICE", r.stop.status);
    stop.failed = !NT_SUCCESS(r.stop.status);
    out_.Print(stop);
    Step start("IRP_MN_START_DEVICE", r.restart.start.status);
    start.failed = !NT_SUCCESS(r.restart.start.status);
    out_.Print(start);
    return NT_SUCCESS(r.restart.start.status) ? Report("pipes") : true;
}

bool Session::Unplug() {
    out_.Note("surprise removal");
    bus_->Unplug();
    out_.Print(Step("device unplugged"));
    sim::RequestResult r = sim::pnp::SurpriseRemoval(bus_->Pdo());
    out_.Print(Step("IRP_MN_SURPRISE_REMOVAL", r.status));
    surpriseRemoved_ = true;
    return true;
}

bool Session::Remove() {
    out_.Note("removal");
    CloseControlHandle();
    if (!handles_.empty()) {
        std::cerr << "kwsim: close every handle first: Windows sends IRP_MN_REMOVE_DEVICE only then\n";
        return false;
    }
    // A closed handle's file object lives on while a request holds it. The PnP manager sends the
    // removal only after its last close, so the completions under way (a request the surprise
    // removal ended, still queued as a DPC) finish and the closes they make due are delivered first.
    sim::FlushDpcs();
    app_->Flush();
    PDEVICE_OBJECT device = fdo_;
    if (surpriseRemoved_) {
        sim::RequestResult r = sim::pnp::Remove(bus_->Pdo());
        out_.Print(Step("IRP_MN_REMOVE_DEVICE", r.status));
    } else {
        sim::pnp::OrderlyRemovalResult r = sim::pnp::OrderlyRemove(bus_->Pdo());
        Step query("IRP_MN_QUERY_REMOVE_DEVICE", r.queryRemove.status);
        query.failed = !r.removed;
        out_.Print(query);
        if (!r.removed) return true;  // vetoed: the device stays, and so does fdo_
        out_.Print(Step("IRP_MN_REMOVE_DEVICE", r.remove.status));
    }
    Step after("after removal");
    bool disabled = sim::QueryInterfaceState(link_) == sim::InterfaceState::Disabled;
    after.details = {{"device object", sim::DeviceExists(device) ? "still present" : "deleted"},
                     {"interface", disabled ? "disabled" : "STILL ENABLED"}};
    after.failed = sim::DeviceExists(device) || !disabled;
    out_.Print(after);
    fdo_ = nullptr;
    return true;
}

bool Session::Unload() {
    if (driver_ == nullptr) return false;
    if (fdo_ != nullptr && sim::DeviceExists(fdo_)) {
        std::cerr << "kwsim: remove the device before unloading the driver\n";
        return false;
    }
    out_.Note("unloading the driver");
    ShowTrace();
    if (capture_ != nullptr) capture_->Detach();
    bus_.reset();
    sim::UnloadDriver(driver_);
    driver_ = nullptr;
    out_.Print(Step("DriverUnload"));
    return true;
}

void Session::Finish() {
    FinishPower();
    for (auto& [id, a] : async_) {
        sim::app::Handle h;
        if (handles_.count(a.handle) != 0 && FindHandle(a.handle, &h)) app_->CancelIo(h);
    }
    std::vector<std::string> open;
    for (auto& [name, h] : handles_) open.push_back(name);
    for (const std::string& name : open) Close({"close", name});
    // A cancelled read ends later, from the stack's DPC, and one whose handle the script closed
    // is ended by the driver (at the close or the surprise removal); the I/O manager signals each
    // OVERLAPPED, which therefore lives until then. One never ended is the watchdog's finding.
    for (auto& [id, a] : async_) a.overlapped->Wait("an outstanding overlapped read to end");
    async_.clear();
    CloseControlHandle();
    if (fdo_ != nullptr && sim::DeviceExists(fdo_)) Remove();
    if (driver_ != nullptr) Unload();
    app_.reset();
    sim::VerifierSummary summary = sim::Summary();
    sim::EndScenario();
    Step verdict("verifier");
    verdict.details = {{"summary", sim::FormatSummary(summary)}};
    out_.Print(verdict);
}

}  // namespace kwsim
