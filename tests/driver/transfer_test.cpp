// Opening pipes by name, bulk and interrupt reads and writes, from an application process.
#include "driver_fixture.h"
#include "foreign.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

using namespace drivertest;
using sim::app::Handle;
using sim::app::IoResult;
using sim::app::Overlapped;
using sim::usb::AnswerMode;

namespace {

using Bytes = std::vector<UCHAR>;

// What the USB stack saw of one bulk or interrupt transfer when it was submitted.
struct Submitted { _URB_BULK_OR_INTERRUPT_TRANSFER urb; PMDL irpMdl; int timesTracked; };

// How often the driver's transfer list holds this request (walked under the driver's lock).
int TimesTracked(PDEVICE_EXTENSION ext, PIRP irp) {
    int n = 0;
    KIRQL old;
    KeAcquireSpinLock(&ext->TransferLock, &old);
    for (PLIST_ENTRY e = ext->TransferList.Flink; e != &ext->TransferList; e = e->Flink)
        n += CONTAINING_RECORD(e, TRANSFER_CONTEXT, ListEntry)->Irp == irp;
    KeReleaseSpinLock(&ext->TransferLock, old);
    return n;
}

// Records every bulk or interrupt URB and answers it in `mode` with `status`, reporting `transferred`
// bytes (all asked by default) and moving none; with `model` set the device model answers instead.
struct FakeTransfers {
    struct { bool model; AnswerMode mode; NTSTATUS status; USBD_STATUS usbd; std::optional<ULONG> transferred; }
    script{false, AnswerMode::Inline, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt};
    PDEVICE_EXTENSION ext = nullptr;
    std::mutex m;
    std::vector<Submitted> sent;

    std::optional<sim::usb::Answer> Answer(PIRP irp, PIO_STACK_LOCATION s) {
        PURB urb = UrbOf(s, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        if (urb == nullptr) return std::nullopt;
        Submitted r{urb->UrbBulkOrInterruptTransfer, irp->MdlAddress, TimesTracked(ext, irp)};
        std::lock_guard<std::mutex> g(m);
        sent.push_back(r);
        if (script.model) return std::nullopt;
        return sim::usb::Answer{script.mode, script.status, script.usbd, 0, true, {},
                                [n = script.transferred](PIRP, PIO_STACK_LOCATION st) {
            auto& t = static_cast<PURB>(st->Parameters.Others.Argument1)->UrbBulkOrInterruptTransfer;
            t.TransferBufferLength = n.value_or(t.TransferBufferLength);
        }, {}};
    }
};

class TransferTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        usb.ext = ext();
        bus().SetScript([this](PIRP irp, PIO_STACK_LOCATION s) { return usb.Answer(irp, s); });
    }
    std::set<ULONG> HeldSlots() {
        std::set<ULONG> held;
        for (ULONG i = 0; i < KW_PIPE_TABLE_ENTRIES; ++i)
            if (ext()->PipeTable[i].Opened) held.insert(i);
        return held;
    }

    FakeTransfers usb;
};

// A create or close sent straight to the device with a file object (name bytes, FsContext) as set.
struct RawFile : ForeignFile {
    using ForeignFile::ForeignFile;
    NTSTATUS Send(PDEVICE_OBJECT fdo, UCHAR major) {
        sim::RequestResult r = sim::SendToStack(fdo, major, 0, [this](PIO_STACK_LOCATION s) { s->FileObject = &fo; });
        EXPECT_EQ(0u, r.information);
        return r.status;
    }
    PPIPE_CONTEXT Context() const { return static_cast<PPIPE_CONTEXT>(fo.FsContext); }
};

// An open binds the first free entry whose name begins with the caller's name (or none: FsContext
// NULL). Before the first start no entry has a name.
TEST_F(TransferTest, NameMatching) {
    using namespace std::string_literals;
    struct Case { std::u16string name; std::set<ULONG> heldBefore; NTSTATUS status; int slot; } cases[] = {
        {u"\\KWDrv0", {}, STATUS_SUCCESS, 0},
        {u"\\KWDrv0\0"s, {}, STATUS_SUCCESS, 0},  // terminator counted in the length
        {u"\\KWDrv1", {0, 2, 3, 4}, STATUS_SUCCESS, 1},
        {u"\\KWDrv2", {0, 1, 3, 4}, STATUS_SUCCESS, 2},
        {u"\\KWDrv3", {2}, STATUS_SUCCESS, 3},
        {u"\\KWDrv4", {}, STATUS_SUCCESS, 4},
        {u"\\KWDrv", {0}, STATUS_SUCCESS, 1},
        {u"\\", {0, 1}, STATUS_SUCCESS, 2},
        {u"\\KWDrvX", {}, STATUS_SUCCESS, 5},
        {u"\\KWDrvX", {5}, STATUS_SUCCESS, 6},
        {u"", {}, STATUS_SUCCESS, -1},
        {u"\\kwdrv0", {}, STATUS_INSUFFICIENT_RESOURCES, -1},
        {u"\\KWDrv5", {}, STATUS_INSUFFICIENT_RESOURCES, -1},
        {u"\\KWDrv1", {1}, STATUS_INSUFFICIENT_RESOURCES, -1},
        {u"\\KWDrv0\0\0"s, {}, STATUS_INSUFFICIENT_RESOURCES, -1},  // longer than any name
        {u"\\KWDrv0\\more", {}, STATUS_INSUFFICIENT_RESOURCES, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Narrow(c.name) + " length " + std::to_string(c.name.size()));
        for (ULONG i : c.heldBefore) ext()->PipeTable[i].Opened = TRUE;
        RawFile f(c.name, reinterpret_cast<PVOID>(0x5A5A5A5A));
        EXPECT_EQ(c.status, f.Send(fdo(), IRP_MJ_CREATE));
        EXPECT_EQ(c.slot < 0 ? nullptr : &ext()->PipeTable[c.slot], f.Context());
        std::set<ULONG> expected = c.heldBefore;
        if (c.slot >= 0) expected.insert(static_cast<ULONG>(c.slot));
        EXPECT_EQ(expected, HeldSlots());
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(STATUS_SUCCESS, f.Send(fdo(), IRP_MJ_CLOSE));
            EXPECT_EQ(c.heldBefore, HeldSlots());
        }
        for (ULONG i : c.heldBefore) ext()->PipeTable[i].Opened = FALSE;
        EXPECT_EQ(1, ext()->OutstandingIo);
    }
    Remove();
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, RawFile(u"\\KWDrv0").Send(fdo(), IRP_MJ_CREATE));
}

// One tracked URB per request, over its MDL, in its direction, short transfers accepted; it ends with
// the stack's status and bytes, never more than the buffer holds. The firmware loops bulk data back.
TEST_F(TransferTest, BulkAndInterruptTransfers) {
    struct Case { const char* what; ULONG pipe; bool read; ULONG length; bool scripted; NTSTATUS status;
                  USBD_STATUS usbd; ULONG transferred, information; } cases[] = {
        {"bulk write", kBulkOut, false, 300, false, STATUS_SUCCESS, 0, 0, 300},
        {"bulk read of less than asked", kBulkIn, true, 512, false, STATUS_SUCCESS, 0, 0, 300},
        {"bulk write of whole packets", kBulkOut, false, 128, false, STATUS_SUCCESS, 0, 0, 128},
        {"bulk read of all asked", kBulkIn, true, 128, false, STATUS_SUCCESS, 0, 0, 128},
        {"interrupt read", kInterruptIn, true, 8, false, STATUS_SUCCESS, 0, 0, 8},
        {"stalled read", kBulkIn, true, 512, true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 0},
        {"CRC error on a write", kBulkOut, false, 512, true, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, 20, 20},
        {"more than the buffer reported", kBulkIn, true, 512, true, STATUS_SUCCESS, 0, 600, 512},
    };
    Bytes written;  // what the last write sent
    PVOID buffer = app().Alloc(4096, 0x123);  // above the driver's pool block sizes: not at a freed block
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        usb.script = {!c.scripted, AnswerMode::Pend, c.status, c.usbd, c.transferred};
        usb.sent.clear();
        Handle h = Open(c.pipe, true);
        Bytes out(c.length);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<UCHAR>(i * 3 + c.length);
        app().Store(buffer, out.data(), out.size());
        Overlapped ov;
        EXPECT_EQ(STATUS_PENDING, Transfer(c.read, h, buffer, c.length, &ov).status);
        bus().AdvanceFrames(10);  // the interrupt report falls due
        ov.Wait();
        EXPECT_EQ(c.status, ov.Internal());
        if (c.scripted || NT_SUCCESS(c.status)) {
            EXPECT_EQ(c.information, ov.InternalHigh());
        }
        ASSERT_EQ(1u, usb.sent.size());
        const Submitted& s = usb.sent[0];
        EXPECT_EQ(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), s.urb.Hdr.Length);
        EXPECT_EQ(ext()->InterfaceInfo->Pipes[c.pipe].PipeHandle, s.urb.PipeHandle);
        EXPECT_EQ(c.read ? 0x3u : 0x2u, s.urb.TransferFlags);  // short transfers OK, IN for a read
        EXPECT_EQ(c.length, s.urb.TransferBufferLength);
        ASSERT_NE(nullptr, s.irpMdl);
        EXPECT_EQ(s.irpMdl, s.urb.TransferBufferMDL);
        EXPECT_TRUE(s.urb.TransferBuffer == nullptr && s.urb.UrbLink == nullptr);
        EXPECT_EQ(1, s.timesTracked) << "tracked once while in the USB stack";
        Bytes got = app().Load(buffer, c.length);
        if (!c.read && !c.scripted) written.assign(out.begin(), out.begin() + c.information);
        if (c.read && !c.scripted && NT_SUCCESS(c.status)) {
            const Bytes report = {0x4b, 0x57, 0, 1, 0, 0, 0, 0};  // the firmware's interrupt report
            EXPECT_EQ(c.pipe == kInterruptIn ? report : written, Bytes(got.begin(), got.begin() + c.information));
            EXPECT_TRUE(std::equal(out.begin() + c.information, out.end(), got.begin() + c.information));
        }
        Close(h);
        ExpectQuiet();
    }
}

// Zero bytes, a handle without a usable pipe, a transfer against the endpoint's direction, a pipe
// that can carry no data and a removal begun: the request completes at once and nothing is sent
// (a read on an OUT pipe would send the caller's buffer, a write on an IN pipe would let the device
// write into a buffer locked for reading). `retype`: a pipe made a control pipe; `packet0`: a pipe
// whose maximum packet size is 0. A success is tried with zero bytes only.
TEST_F(TransferTest, ZeroByteAndRefusedRequestsSendNothing) {
    struct Case { const char* what; std::u16string name; NTSTATUS read, write; ULONG retype{kPipes};
                  bool removing{}; ULONG packet0{kPipes}; } cases[] = {
        {"bulk IN", PipeName(kBulkIn), STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {"bulk OUT", PipeName(kBulkOut), STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
        {"interrupt IN", PipeName(kInterruptIn), STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {"handle without a pipe", u"", STATUS_INVALID_HANDLE, STATUS_INVALID_HANDLE},
        {"entry without a pipe", u"\\KWDrvX", STATUS_INVALID_HANDLE, STATUS_INVALID_HANDLE},
        {"isochronous IN", PipeName(kIsoIn), STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {"isochronous OUT", PipeName(kIsoOut), STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
        {"control pipe", PipeName(kBulkIn), STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, kBulkIn},
        {"bulk IN, packet size 0", PipeName(kBulkIn), STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_PARAMETER,
         kPipes, false, kBulkIn},
        {"bulk OUT, packet size 0", PipeName(kBulkOut), STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_STATE,
         kPipes, false, kBulkOut},
        {"removal begun", PipeName(kBulkIn), STATUS_DELETE_PENDING, STATUS_DELETE_PENDING, kPipes, true},
    };
    PVOID buffer = app().Alloc(64);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::app::OpenResult o = app().Open(Path(c.name));
        ASSERT_EQ(STATUS_SUCCESS, o.status);
        USBD_PIPE_TYPE* retyped = c.retype < kPipes ? &ext()->InterfaceInfo->Pipes[c.retype].PipeType : nullptr;
        USBD_PIPE_TYPE saved = retyped ? std::exchange(*retyped, UsbdPipeTypeControl) : UsbdPipeTypeBulk;
        USHORT* packet = c.packet0 < kPipes ? &ext()->InterfaceInfo->Pipes[c.packet0].MaximumPacketSize : nullptr;
        USHORT savedPacket = packet ? std::exchange(*packet, USHORT{0}) : 0;
        ext()->AcceptingRequests = !c.removing;
        bus().ClearTrace();
        for (ULONG length : {0u, 64u}) for (bool read : {true, false}) {
            NTSTATUS expected = read ? c.read : c.write;
            if (length != 0 && expected == STATUS_SUCCESS) continue;
            IoResult r = Transfer(read, o.handle, buffer, length);
            EXPECT_EQ(expected, r.status) << length << (read ? " read" : " write");
            EXPECT_EQ(NT_SUCCESS(expected), r.iosbWritten);
            EXPECT_EQ(0u, r.iosb.Information);
        }
        if (c.removing) {
            RawFile f(PipeName(kBulkOut), reinterpret_cast<PVOID>(0x5A5A5A5A));
            EXPECT_EQ(STATUS_DELETE_PENDING, f.Send(fdo(), IRP_MJ_CREATE));
            EXPECT_EQ(reinterpret_cast<PVOID>(0x5A5A5A5A), f.fo.FsContext) << "the file object is left alone";
        }
        EXPECT_TRUE(bus().Trace().empty());
        if (retyped) *retyped = saved;
        if (packet) *packet = savedPacket;
        Close(o.handle);
        EXPECT_TRUE(HeldSlots().empty());
        ExpectQuiet();
        ext()->AcceptingRequests = TRUE;
    }
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {  // built by another driver: no file object
        EXPECT_EQ(STATUS_INVALID_HANDLE, sim::SendToStack(fdo(), major, 0).status);
    }
    ExpectQuiet();
}

// A restart keeps a pipe bound to its handle until that closes; a handle on a pipe the new interface
// lacks has no pipe information: its requests are refused and never reach a stale pipe handle.
TEST_F(TransferTest, HandleKeepsItsPipeAcrossARestart) {
    Handle gone = Open(kIsoIn), kept = Open(kBulkIn);
    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    bus().PlugIn(sim::usb::Device::FromJson(R"({"device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01",
        "configuration": ["09 02 29 00 01 01 00 80 32 09 04 00 00 00 ff 00 00 00 09 04 00 01 02 ff 00 00 00",
                          "07 05 01 02 40 00 00 07 05 81 02 40 00 00"]})"));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    ASSERT_EQ(nullptr, ext()->PipeTable[kIsoIn].PipeInfo);
    Baseline();  // the replaced copies are kept until removal
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, app().Open(Path(PipeName(kBulkIn))).status);
    PVOID buffer = app().Alloc(32);
    EXPECT_EQ(STATUS_INVALID_HANDLE, app().Read(gone, buffer, 32).status);
    EXPECT_TRUE(usb.sent.empty());
    EXPECT_EQ(STATUS_SUCCESS, app().Read(kept, buffer, 32).status);
    ASSERT_EQ(1u, usb.sent.size());
    EXPECT_EQ(ext()->InterfaceInfo->Pipes[kBulkIn].PipeHandle, usb.sent[0].urb.PipeHandle);
    ExpectQuiet();
    Close(kept);
    Close(Open(kBulkIn));
}

// No cap on transfers in flight: 64 reads held in the USB stack over three pipes all go down and a
// write still goes through; CancelIo ends the reads of its handle, each through its completion
// routine, and a stop ends every other one; each completed once.
TEST_F(TransferTest, SixtyFourReadsInFlightThenCancelIoAndAStop) {
    usb.script.mode = AnswerMode::Hold;
    const ULONG pipes[] = {kBulkIn, kInterruptIn, kBulkIn};
    std::vector<Handle> handles;
    for (ULONG pipe : {kBulkIn, kInterruptIn}) handles.push_back(Open(pipe, true));
    PVOID buffer = app().Alloc(64);
    std::vector<Overlapped> ov(64);
    std::vector<bool> pended(ov.size());
    for (size_t i = 0; i < ov.size(); ++i) {
        ULONG pipe = pipes[i % 3];
        pended[i] = app().Read(handles[pipe == kBulkIn ? 0 : 1], buffer, 8, 0, &ov[i]).status == STATUS_PENDING;
        EXPECT_TRUE(pended[i]) << "read " << i << " refused";
    }
    EXPECT_EQ(64u, usb.sent.size());
    EXPECT_EQ(1 + 64, ext()->OutstandingIo);
    usb.script.mode = AnswerMode::Inline;
    Handle out = Open(kBulkOut);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(out, buffer, 8).status);
    EXPECT_EQ(STATUS_SUCCESS, app().CancelIo(handles[1]));
    for (size_t i = 1; i < ov.size(); i += 3) {
        EXPECT_TRUE(ov[i].Signalled()) << "interrupt read " << i;
    }
    EXPECT_EQ(1 + 64 - 21, ext()->OutstandingIo);
    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    for (size_t i = 0; i < ov.size(); ++i) {
        if (!pended[i]) continue;
        ov[i].Wait();
        EXPECT_EQ(STATUS_CANCELLED, ov[i].Internal());
    }
    ExpectQuiet();
}

// A transfer in the USB stack holds a reference on the driver's device object, taken when its
// completion routine is set (IoSetCompletionRoutineEx) and released only after the routine has
// returned: a removal that the routine's last IoDecrement lets through cannot have the driver
// unloaded while the routine still runs.
TEST_F(TransferTest, TransferInFlightKeepsTheDriverLoaded) {
    usb.script.mode = AnswerMode::Hold;
    Handle h = Open(kBulkIn, true);
    PVOID buffer = app().Alloc(64);
    Overlapped ov[2];
    for (Overlapped& o : ov) ASSERT_EQ(STATUS_PENDING, app().Read(h, buffer, 64, 0, &o).status);
    EXPECT_EQ(2, fdo()->ReferenceCount);
    bus().CompleteHeld(sim::usb::Answer{});
    ov[0].Wait();
    EXPECT_EQ(1, fdo()->ReferenceCount);
    bus().CompleteHeld(sim::usb::Answer{});
    ov[1].Wait();
    EXPECT_EQ(0, fdo()->ReferenceCount);
    ExpectQuiet();
}

// Every allocation of a read or write failed in turn: STATUS_INSUFFICIENT_RESOURCES, nothing sent or kept.
TEST_F(TransferTest, ReadWriteFaultSweep) {
    Handle in = Open(kBulkIn), out = Open(kBulkOut);
    PVOID buffer = app().Alloc(128);
    for (bool read : {true, false}) {
        SCOPED_TRACE(read ? "read" : "write");
        sim::faults::Clear();
        ASSERT_EQ(STATUS_SUCCESS, Transfer(read, read ? in : out, buffer, 128).status);
        const uint64_t calls = sim::faults::CallCount();
        ASSERT_GE(calls, 2u);  // the URB and its context
        for (uint64_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE(n);
            sim::faults::Clear();
            sim::faults::FailOrdinal(n);
            usb.sent.clear();
            NTSTATUS st = Transfer(read, read ? in : out, buffer, 128).status;
            EXPECT_EQ(1u, sim::faults::InjectedCount());
            sim::faults::Clear();
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, st);
            EXPECT_TRUE(usb.sent.empty());
            ExpectQuiet();
        }
    }
}

// Opens racing for one pipe: one wins; for a name several entries carry: each binds its own entry.
TEST_F(TransferTest, ConcurrencyOpensRaceForPipes) {
    const int threadCount = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 6);
    for (const std::u16string& name : {std::u16string(u"\\KWDrv1"), std::u16string(u"\\KWDrv")}) {
        SCOPED_TRACE(sim::Narrow(name));
        const size_t winners = name.size() == 7 ? 1 : threadCount;  // entries that carry the name
        for (int round = 0; round < 400; ++round) {
            std::vector<std::unique_ptr<RawFile>> files;
            for (int t = 0; t < threadCount; ++t) files.push_back(std::make_unique<RawFile>(name));
            std::vector<NTSTATUS> status(threadCount);
            std::atomic<int> ready{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < threadCount; ++t)
                threads.emplace_back([&, t] {
                    for (ready.fetch_add(1); ready.load() < threadCount;) continue;  // released together
                    status[t] = files[t]->Send(fdo(), IRP_MJ_CREATE);
                });
            for (auto& t : threads) t.join();
            std::set<PPIPE_CONTEXT> bound;
            for (int t = 0; t < threadCount; ++t)
                if (NT_SUCCESS(status[t])) bound.insert(files[t]->Context());
            ASSERT_EQ(winners, bound.size()) << "round " << round;
            ASSERT_EQ(winners, static_cast<size_t>(std::count(status.begin(), status.end(), STATUS_SUCCESS)));
            ASSERT_EQ(winners, HeldSlots().size());
            for (int t = 0; t < threadCount; ++t)
                if (NT_SUCCESS(status[t])) files[t]->Send(fdo(), IRP_MJ_CLOSE);
            ASSERT_TRUE(HeldSlots().empty());  // every close gave its pipe back
        }
    }
    EXPECT_EQ(1, ext()->OutstandingIo);
}

// Transfers on several pipes at once, completed from the DPC thread: each tracked in one slot of its own.
TEST_F(TransferTest, ConcurrencyTransfersShareTheSlotTable) {
    usb.script.mode = AnswerMode::Pend;
    usb.script.transferred = 5;
    std::vector<std::thread> threads;
    for (ULONG pipe : {kBulkOut, kBulkIn, kInterruptIn}) {
        Handle h = Open(pipe);
        PVOID buffer = app().Alloc(32);
        threads.emplace_back([this, h, pipe, buffer] {
            for (int i = 0; i < 200; ++i) {
                IoResult r = Transfer(pipe != kBulkOut, h, buffer, 32);
                ASSERT_EQ(STATUS_SUCCESS, r.status);
                ASSERT_EQ(5u, r.iosb.Information);
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(3u * 200, usb.sent.size());
    for (const Submitted& s : usb.sent) ASSERT_EQ(1, s.timesTracked);
    ExpectQuiet();
}

}  // namespace

namespace {

// The value of `key` in the INF's device section ("HKR,,Key,flags,value"), with %strings% resolved.
std::string InfValue(const std::string& key) {
    const std::string path = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../../windows/kwdrv.inf";
    std::ifstream inf(path);
    std::string line, value, section;
    std::map<std::string, std::string> strings;
    while (std::getline(inf, line)) {
        if (line.find('"') == std::string::npos) line = line.substr(0, line.find(';'));  // a comment
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!line.empty() && line[0] == '[') section = line;
        size_t eq = line.find('=');
        if (section == "[Strings]" && eq != std::string::npos) {
            std::string name = line.substr(0, line.find_first_of(" =")), v = line.substr(eq + 1);
            v = v.substr(v.find('"') + 1);
            strings[name] = v.substr(0, v.rfind('"'));
        }
        if (section == "[KwdrvDevice_AddReg]" && line.rfind("HKR,," + key + ",", 0) == 0) value = line.substr(line.rfind(',') + 1);
    }
    if (value.size() > 2 && value.front() == '%') value = strings[value.substr(1, value.size() - 2)];
    return value;
}

// Opens of a pipe name are checked against the device's access control list: the driver's device
// object is FILE_DEVICE_SECURE_OPEN by itself (even without the INF's characteristics), and the INF
// gives the device a descriptor and the same characteristic.
TEST_F(TransferTest, PipeOpensAreCheckedAgainstTheDeviceAcl) {
    const std::string sddl = InfValue("Security");
    ASSERT_FALSE(sddl.empty());
    EXPECT_EQ(static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN), std::stoul(InfValue("DeviceCharacteristics"), nullptr, 0));
    struct Case { const char* who; std::set<std::string> groups; ACCESS_MASK access; NTSTATUS status; } cases[] = {
        {"administrator", {"WD", "AU", "BA"}, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
        {"interactive user", {"WD", "AU", "IU"}, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
        {"local service", {"WD", "AU", "LS"}, GENERIC_READ, STATUS_ACCESS_DENIED},
        {"network logon", {"WD", "NU"}, GENERIC_READ | GENERIC_WRITE, STATUS_ACCESS_DENIED},
    };
    sim::app::SetDeviceSecurity(bus().Pdo(), sddl);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.who);
        sim::app::Process p(c.who);
        p.SetCallerGroups(c.groups);
        for (const std::u16string& name : {PipeName(kBulkIn), std::u16string()}) {
            sim::app::OpenResult r = p.Open(Path(name), sim::app::OpenOptions{false, c.access});
            EXPECT_EQ(c.status, r.status) << sim::Narrow(name);
            if (NT_SUCCESS(r.status)) {
                EXPECT_EQ(STATUS_SUCCESS, p.Close(r.handle));
            }
        }
        p.Flush();
    }
    sim::app::ForgetDeviceSecurity(bus().Pdo());
    EXPECT_TRUE(HeldSlots().empty());
}

}  // namespace
