// What Windows does for an application's requests, with MDLs and the simulated user address space underneath.
#include "test_stack.h"

#include "app/app.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

using namespace simtest;
using sim::app::AddressSpace;
using sim::app::OpenOptions;
using sim::app::Overlapped;
using sim::app::Process;
using namespace std::chrono_literals;

namespace {

const GUID kGuid = {0x3f1c2b7a, 0x58d4, 0x4e21, {0x9a, 0x0b, 0x6c, 0x2d, 0x11, 0xe5, 0x7f, 0x40}};
constexpr ULONG kTag = 0x74707041;   // "Appt"
constexpr UCHAR kCancelMark = 0xCC;  // logged when a cancel routine runs
const ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
const ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
using Io = std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)>;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct Seen { UCHAR major; PFILE_OBJECT fo; PETHREAD thread; KIRQL irql; };

// A function device over a PDO with an enabled interface, logging every request. Hold pends a request; its cancel
// routine completes it 20 ms later from the DPC thread, so a caller that does not wait for the completion is seen.
class Device {
    template <typename F>
    auto Locked(F f) {
        std::lock_guard<std::mutex> g(m_);
        return f();
    }

public:
    explicit Device(ULONG ioFlags) : stack_(2) {
        stack_.top()->Flags |= ioFlags;
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo(), &kGuid, nullptr, &link));
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
        path = sim::app::UserPath(sim::ToU16(&link));
        stack_[1].handler = [this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); };
    }
    ~Device() { IoSetDeviceInterfaceState(&link, FALSE); RtlFreeUnicodeString(&link); }
    PDEVICE_OBJECT pdo() { return stack_.bottom(); }
    std::vector<Seen> Log() { return Locked([this] { return seen_; }); }
    std::vector<UCHAR> Majors() {
        std::vector<UCHAR> out;
        for (auto& s : Log()) out.push_back(s.major);
        return out;
    }
    NTSTATUS Hold(PIRP irp) {
        IoMarkIrpPending(irp);
        irp->Tail.Overlay.DriverContext[0] = this;
        Locked([&] { held_.push_back(irp); IoSetCancelRoutine(irp, &Device::Cancel); });
        return STATUS_PENDING;
    }
    void CompleteHeld() {
        for (PIRP irp : Locked([this] { return std::exchange(held_, {}); })) {
            IoSetCancelRoutine(irp, nullptr);
            sim::QueueDpc([irp] { Complete(irp, STATUS_SUCCESS); });
        }
        sim::FlushDpcs();
    }

    UNICODE_STRING link{};
    std::u16string path;
    Io create = [](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, STATUS_SUCCESS); };
    Io io = create;

private:
    void Note(PIRP irp, UCHAR major, PFILE_OBJECT fo, PETHREAD thread) {  // a cancelled request is no longer held
        std::lock_guard<std::mutex> g(m_);
        seen_.push_back({major, fo, thread, KeGetCurrentIrql()});
        held_.erase(std::remove(held_.begin(), held_.end(), irp), held_.end());
    }
    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        Note(irp, s->MajorFunction, s->FileObject, irp->Tail.Overlay.Thread);
        if (s->MajorFunction == IRP_MJ_CREATE) return create(irp, s);
        if (s->MajorFunction == IRP_MJ_CLEANUP || s->MajorFunction == IRP_MJ_CLOSE) return Complete(irp, 0);
        return io(irp, s);
    }
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        static_cast<Device*>(irp->Tail.Overlay.DriverContext[0])->Note(irp, kCancelMark, nullptr, nullptr);
        sim::QueueDpc([irp] { std::this_thread::sleep_for(20ms); Complete(irp, STATUS_CANCELLED); });
    }
    Stack stack_;
    std::mutex m_;
    std::vector<Seen> seen_;
    std::vector<PIRP> held_;
};

class AppTest : public ModelTest {};

// The create carries the path after the link (matched case-insensitively, after "\\?\" or "\\.\"); its file object
// comes with every later request of the handle. A failed open gets no cleanup or close. `expected` is also what the
// driver completes the create with; `seen` how many requests it sees; `path` (if any) alters the device's path.
TEST_F(AppTest, OpenResolvesTheInterfaceAndTheFileObjectFollowsTheHandle) {
    using Path = std::u16string (*)(Device&);
    Path dotUpper = [](Device& d) { for (auto& ch : d.path) ch = std::toupper(ch); return d.path.replace(2, 1, u"."); };
    const NTSTATUS notFound = STATUS_OBJECT_NAME_NOT_FOUND;
    struct Case { const char* what; Path path; std::u16string suffix; bool overlapped; NTSTATUS expected; int seen; };
    const Case cases[] = {
        {"suffix", nullptr, u"\\KWDrv0", false, STATUS_SUCCESS, 4},
        {"no suffix, overlapped", nullptr, u"", true, STATUS_SUCCESS, 4},
        {"\\\\.\\ and upper case", dotUpper, u"\\KWDrv1", false, STATUS_SUCCESS, 4},
        {"driver refuses", nullptr, u"", false, STATUS_ACCESS_DENIED, 1},
        {"disabled", [](Device& d) { IoSetDeviceInterfaceState(&d.link, FALSE); return d.path; }, u"", 0, notFound, 0},
        {"other interface", [](Device& d) { return d.path.replace(d.path.size() - 3, 2, u"00"); }, u"", 0, notFound, 0},
        {"name runs on past the link", nullptr, u"X", false, notFound, 0},
        {"not a device path", [](Device& d) { return d.path.substr(4); }, u"", false, STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device dev(DO_DIRECT_IO);
        PFILE_OBJECT fo = nullptr;
        {
            Process p;
            dev.create = [&](PIRP irp, PIO_STACK_LOCATION s) {
                fo = s->FileObject;
                EXPECT_EQ(c.suffix, sim::ToU16(&fo->FileName));
                EXPECT_EQ(c.suffix.empty(), fo->FileName.Buffer == nullptr);
                EXPECT_EQ(!c.overlapped, (fo->Flags & FO_SYNCHRONOUS_IO) != 0);
                EXPECT_EQ(UserMode, irp->RequestorMode);
                EXPECT_EQ(p.CurrentThread(), irp->Tail.Overlay.Thread);
                return Complete(irp, c.expected);
            };
            auto opened = p.Open((c.path ? c.path(dev) : dev.path) + c.suffix, OpenOptions{c.overlapped});
            EXPECT_EQ(c.expected, opened.status);
            if (opened.status == STATUS_SUCCESS) {
                Overlapped ov;
                EXPECT_EQ(STATUS_SUCCESS, p.Read(opened.handle, nullptr, 0, 0, c.overlapped ? &ov : nullptr).status);
                EXPECT_EQ(STATUS_SUCCESS, p.Close(opened.handle));
            }
        }
        std::vector<UCHAR> expected = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
        expected.resize(c.seen);
        EXPECT_EQ(expected, dev.Majors());
        for (auto& s : dev.Log()) EXPECT_EQ(fo, s.fo);
    }
}

// Handle access and exclusive devices are enforced; a synchronous handle serialises its requests: another thread's
// request waits until the pending one completes.
TEST_F(AppTest, HandleAccessExclusivityAndSerialisation) {
    Device dev(DO_BUFFERED_IO);
    dev.pdo()->Flags |= DO_EXCLUSIVE;
    Process p;
    auto h = p.Open(dev.path, OpenOptions{false, GENERIC_READ}).handle;
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.Open(dev.path).status);
    PVOID b = p.Alloc(4);
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.Write(h, b, 4).status);
    ULONG writeCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.DeviceIoControl(h, writeCode, nullptr, 0, nullptr, 0).status);
    EXPECT_EQ(STATUS_INVALID_HANDLE, p.Read(h + 1, b, 4).status);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
        return s->MajorFunction == IRP_MJ_READ ? dev.Hold(irp) : Complete(irp, STATUS_SUCCESS);
    };
    std::thread reader([&] { EXPECT_EQ(STATUS_SUCCESS, p.Read(h, b, 4).status); });
    for (int i = 0; i < 5000 && dev.Log().size() < 2; ++i) std::this_thread::sleep_for(1ms);
    std::thread control([&] { EXPECT_EQ(0, p.DeviceIoControl(h, kNeither, nullptr, 0, nullptr, 0).status); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(2u, dev.Majors().size());  // the control request waits
    dev.CompleteHeld();
    reader.join();
    control.join();
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL}), dev.Majors());
    p.Close(h);
    EXPECT_EQ(STATUS_SUCCESS, p.Open(dev.path).status);
}

// Direct I/O: a locked MDL over the user buffer, none for zero bytes. Buffered: a system buffer, of which only
// Information bytes come back after a read. Neither: the user address alone.
TEST_F(AppTest, ReadAndWriteBuffersFollowTheDeviceFlags) {
    constexpr ULONG kLength = 0x2100;  // from page offset 0x123: three pages
    std::vector<unsigned char> data(kLength);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    for (int i = 0; i < 12; ++i) {
        const ULONG flags = std::vector<ULONG>{DO_DIRECT_IO, DO_BUFFERED_IO, 0}[i / 4];
        const bool read = i & 2;
        const ULONG length = i & 1 ? 0 : kLength;
        const ULONG information = read ? length / 2 : length;
        SCOPED_TRACE(testing::Message() << "flags " << flags << (read ? " read " : " write ") << length);
        Device dev(flags);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID buf = p.Alloc(kLength, 0x123);
        std::vector<unsigned char> want = read ? p.Load(buf, kLength) : data;
        if (!read) p.Store(buf, data.data(), kLength);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION) {
            EXPECT_EQ(buf, irp->UserBuffer);
            PMDL m = irp->MdlAddress;
            void* sys = irp->AssociatedIrp.SystemBuffer;
            EXPECT_EQ(flags == DO_DIRECT_IO && length != 0, m != nullptr);
            if (m != nullptr) {
                EXPECT_EQ(nullptr, sys);
                EXPECT_EQ(buf, MmGetMdlVirtualAddress(m));
                EXPECT_EQ(length, MmGetMdlByteCount(m));
                EXPECT_EQ(read, (m->MdlFlags & MDL_WRITE_OPERATION) != 0);
                sys = MmGetSystemAddressForMdlSafe(m, NormalPagePriority);
            }
            EXPECT_EQ(flags != 0 && length != 0, sys != nullptr);
            EXPECT_FALSE(sim::app::IsUserAddress(sys));
            if (sys != nullptr && read) std::memcpy(sys, data.data(), length);
            EXPECT_TRUE(sys == nullptr || read || std::memcmp(sys, data.data(), length) == 0);
            return Complete(irp, STATUS_SUCCESS, information);
        };
        auto r = read ? p.Read(h, buf, length) : p.Write(h, buf, length);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(information, r.iosb.Information);
        if (read && flags != 0) std::copy_n(data.begin(), flags == DO_DIRECT_IO ? length : information, want.begin());
        EXPECT_EQ(want, p.Load(buf, kLength));
    }
}

// The I/O manager probes the caller's buffer itself; a bad one never reaches the driver.
TEST_F(AppTest, InvalidUserBuffersAreRefusedBeforeTheDriver) {
    static unsigned char kernelMemory[64];
    const NTSTATUS av = STATUS_ACCESS_VIOLATION;
    struct Case { const char* what; ULONG ioFlags; bool read; PVOID (*buffer)(Process&); NTSTATUS expected; };
    const Case cases[] = {
        {"kernel address", DO_DIRECT_IO, true, [](Process&) -> PVOID { return kernelMemory; }, av},
        {"never allocated", DO_BUFFERED_IO, false, [](Process& p) { return PVOID(p.Memory().Base() + 16); }, av},
        {"too short", DO_DIRECT_IO, false, [](Process& p) { return p.Alloc(15); }, av},
        {"starts before", 0, false, [](Process& p) -> PVOID { return static_cast<char*>(p.Alloc(16, 0x20)) - 1; }, av},
        {"freed", 0, true, [](Process& p) { PVOID b = p.Alloc(16); p.Free(b); return b; }, av},
        {"read into read-only", DO_BUFFERED_IO, true, [](Process& p) { return p.Alloc(16, 0, true); }, av},
        {"write from read-only", DO_DIRECT_IO, false, [](Process& p) { return p.Alloc(16, 0, true); }, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device dev(c.ioFlags);
        Process p;
        auto h = p.Open(dev.path).handle;
        EXPECT_EQ(c.expected, (c.read ? p.Read(h, c.buffer(p), 16) : p.Write(h, c.buffer(p), 16)).status);
        EXPECT_EQ(c.expected == STATUS_SUCCESS ? 2u : 1u, dev.Log().size());
    }
}

// METHOD_BUFFERED: one system buffer of max(in, out) holding the input. The status block and event are written unless
// the status is an error (always if pended on an overlapped handle); Information bytes return on no error but VERIFY.
TEST_F(AppTest, BufferedDeviceControlStatusBlockAndCopyBack) {
    struct Case { bool overlapped, pend; NTSTATUS status; bool written, copied; };
    const Case cases[] = {
        {false, false, STATUS_SUCCESS, true, true},           {false, false, STATUS_BUFFER_OVERFLOW, true, true},
        {false, true, STATUS_BUFFER_OVERFLOW, true, true},    {false, false, STATUS_INVALID_PARAMETER, false, false},
        {false, true, STATUS_DEVICE_NOT_CONNECTED, false, false}, {false, false, STATUS_VERIFY_REQUIRED, true, false},
        {true, false, STATUS_SUCCESS, true, true},            {true, false, STATUS_INVALID_PARAMETER, false, false},
        {true, true, STATUS_SUCCESS, true, true},             {true, true, STATUS_INVALID_PARAMETER, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.overlapped << c.pend << sim::StatusName(c.status));
        Device dev(DO_DIRECT_IO);
        Process p;
        auto h = p.Open(dev.path, OpenOptions{c.overlapped}).handle;
        PVOID in = p.Alloc(12), out = p.Alloc(10);  // the input is the longer
        p.Store(in, "ping-ping-ok", 12);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION) {
            auto* sys = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(0, std::memcmp(sys, "ping-ping-ok", 12));
            std::memcpy(sys, "pongpong", 8);
            irp->IoStatus.Information = 6;
            return (c.pend ? PendThenComplete(c.status) : CompleteWith(c.status))(nullptr, irp);
        };
        Overlapped o;
        auto r = p.DeviceIoControl(h, kBuffered, in, 12, out, 10, c.overlapped ? &o : nullptr);
        EXPECT_EQ(c.overlapped && c.pend ? STATUS_PENDING : c.status, r.status);
        if (c.overlapped && c.pend) o.Wait();
        EXPECT_EQ(c.written, c.overlapped ? o.Signalled() : r.iosbWritten);
        EXPECT_EQ(c.written ? c.status : c.overlapped ? STATUS_PENDING : 0,
                  c.overlapped ? o.Internal() : r.iosb.Status);
        EXPECT_EQ(c.written ? 6u : 0u, c.overlapped ? o.InternalHigh() : r.iosb.Information);
        auto got = p.Load(out, 10);
        EXPECT_EQ(c.copied ? "pongpo\xBE\xBE\xBE\xBE" : std::string(10, '\xBE'), std::string(got.begin(), got.end()));
    }
}

// IN/OUT_DIRECT: the input in a system buffer, an MDL over the output (written only for OUT). NEITHER: the user
// addresses alone, which the driver locks and maps (which can fail); locked pages outlive the application's free.
TEST_F(AppTest, DirectAndNeitherDeviceControlBuffers) {
    const char text[] = "0123456789abcdefghijklmnopqrstu";
    for (ULONG method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        SCOPED_TRACE(method);
        Device dev(0);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID in = p.Alloc(32, 0xFF0), out = p.Alloc(5);  // the input crosses a page boundary
        p.Store(in, text, 32);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
            auto* user = static_cast<char*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
            EXPECT_EQ(method == METHOD_NEITHER ? in : nullptr, user);
            if (method != METHOD_NEITHER) {
                EXPECT_EQ(0, std::memcmp(irp->AssociatedIrp.SystemBuffer, text, 32));
                EXPECT_EQ(out, MmGetMdlVirtualAddress(irp->MdlAddress));
                EXPECT_EQ(method == METHOD_OUT_DIRECT, (irp->MdlAddress->MdlFlags & MDL_WRITE_OPERATION) != 0);
                return Complete(irp, STATUS_SUCCESS, 5);
            }
            EXPECT_EQ(out, irp->UserBuffer);
            PMDL m = IoAllocateMdl(user, 32, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(m, irp->RequestorMode, IoReadAccess);
            p.Free(in);
            PMDL part = IoAllocateMdl(user + 16, 16, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(m, part, user + 16, 0);  // zero: the rest of the source
            EXPECT_EQ(16u, part->ByteCount);
            sim::faults::FailKind(sim::FaultKind::MapMdl, 1);
            EXPECT_EQ(nullptr, MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
            auto* sys = static_cast<char*>(MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
            EXPECT_EQ(0, std::memcmp(sys, text, 32));
            EXPECT_EQ(sys + 16, MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
            EXPECT_EQ(nullptr, p.Memory().Translate(reinterpret_cast<uintptr_t>(in), 1, AddressSpace::Access::Read));
            IoFreeMdl(part);
            MmUnlockPages(m);
            IoFreeMdl(m);
            return Complete(irp, STATUS_SUCCESS);
        };
        ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, method, FILE_ANY_ACCESS);
        EXPECT_EQ(STATUS_SUCCESS, p.DeviceIoControl(h, code, in, 32, out, 5).status);
    }
}

// CancelIo cancels the calling thread's requests on the handle and waits for them; thread exit the thread's others;
// process exit the rest. Close sends cleanup at once, close when no request holds the file object (or from a worker).
TEST_F(AppTest, CancellationAndCloseFollowTheRequestsThreadAndHandle) {
    Device dev(DO_DIRECT_IO);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION) { return dev.Hold(irp); };
    Overlapped mine, a, b, c, late;
    PETHREAD me;
    {
        Process p;
        me = p.CurrentThread();
        auto h1 = p.Open(dev.path, OpenOptions{true}).handle;
        auto h2 = p.Open(dev.path, OpenOptions{true}).handle;
        EXPECT_EQ(STATUS_PENDING, p.Read(h1, nullptr, 0, 0, &mine).status);
        std::thread([&] {
            EXPECT_EQ(STATUS_PENDING, p.Read(h1, nullptr, 0, 0, &a).status);
            EXPECT_EQ(STATUS_PENDING, p.DeviceIoControl(h1, kNeither, nullptr, 0, nullptr, 0, &b).status);
            EXPECT_EQ(STATUS_PENDING, p.Read(h2, nullptr, 0, 0, &c).status);
            EXPECT_EQ(STATUS_SUCCESS, p.CancelIo(h1));
            EXPECT_TRUE(a.Signalled() && b.Signalled() && !c.Signalled());
            p.ExitThread();
            EXPECT_TRUE(c.Signalled());
        }).join();
        for (Overlapped* o : {&a, &b, &c}) EXPECT_EQ(STATUS_CANCELLED, o->Internal());
        EXPECT_FALSE(mine.Signalled());
        EXPECT_EQ(STATUS_SUCCESS, p.Close(h1));
        EXPECT_EQ(STATUS_INVALID_HANDLE, p.Close(h1));
        EXPECT_EQ(IRP_MJ_CLEANUP, dev.Majors().back());  // the close waits for `mine`
        dev.CompleteHeld();
        mine.Wait();
        p.Flush();
        EXPECT_EQ(STATUS_PENDING, p.Read(h2, nullptr, 0, 0, &late).status);
    }
    EXPECT_EQ(STATUS_CANCELLED, late.Internal());
    std::vector<UCHAR> expected = {IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_READ,    IRP_MJ_READ,    IRP_MJ_DEVICE_CONTROL,
                                   IRP_MJ_READ,   kCancelMark,   kCancelMark,    kCancelMark,    IRP_MJ_CLEANUP,
                                   IRP_MJ_CLOSE,  IRP_MJ_READ,   kCancelMark,    IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    ASSERT_EQ(expected, dev.Majors());
    auto log = dev.Log();
    EXPECT_EQ(me, log[9].thread);
    EXPECT_NE(me, log[10].thread);
    EXPECT_EQ(me, log[14].thread);
    for (auto& s : {log[10], log[14]}) EXPECT_EQ(PASSIVE_LEVEL, s.irql);
}

// A request holds its file object no more once its caller can see it completed: the close
// that follows the wait goes out at once, so a removal right after it finds no open file.
TEST_F(AppTest, CloseRightAfterAnOverlappedWaitIsNotDeferred) {
    Device dev(DO_DIRECT_IO);
    dev.io = [](PIRP irp, PIO_STACK_LOCATION) {
        IoMarkIrpPending(irp);
        sim::QueueDpc([irp] { Complete(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    Process p;
    for (int i = 0; i < 100; ++i) {
        auto h = p.Open(dev.path, OpenOptions{true}).handle;
        Overlapped o;
        EXPECT_EQ(STATUS_PENDING, p.Read(h, nullptr, 0, 0, &o).status);
        o.Wait();
        EXPECT_EQ(0u, p.OutstandingRequests());
        EXPECT_EQ(STATUS_SUCCESS, p.Close(h));
        ASSERT_EQ(IRP_MJ_CLOSE, dev.Majors().back()) << "iteration " << i;
    }
}

// Probes `length` bytes of a fresh 16-byte user buffer as driver code running in `inContext`.
void ProbeUser(ULONG length, KPROCESSOR_MODE mode, bool inContext) {
    Process p;
    PVOID u = p.Alloc(16);
    sim::app::ProcessContext context(inContext ? &p.Memory() : nullptr);
    MmProbeAndLockPages(IoAllocateMdl(u, length, FALSE, FALSE, nullptr), mode, IoReadAccess);
}

PMDL PoolMdl(ULONG poolBytes, ULONG mdlBytes, bool build = false) {
    PMDL m = IoAllocateMdl(ExAllocatePoolWithTag(NonPagedPool, poolBytes, kTag), mdlBytes, FALSE, FALSE, nullptr);
    if (build) MmBuildMdlForNonPagedPool(m);
    return m;
}

char* Va(PMDL m) { return static_cast<char*>(MmGetMdlVirtualAddress(m)); }

// An 8-byte read on a device whose read routine runs `io`, then completes with `information`.
void ReadThrough(ULONG ioFlags, void (*io)(PIRP), ULONG_PTR information = 0) {
    Device dev(ioFlags);
    dev.io = [=](PIRP irp, PIO_STACK_LOCATION) { io(irp); return Complete(irp, STATUS_SUCCESS, information); };
    Process p;
    p.Read(p.Open(dev.path).handle, p.Alloc(8), 8);
}

TEST_F(AppTest, MdlsWithinWindowsLimits) {
    auto* base = reinterpret_cast<unsigned char*>(uintptr_t{0x12340000});
    // A 16-bit MDL size on i686 holds 16376 pages; 2 GB or more is refused too; the allocation can fail.
    IoFreeMdl(IoAllocateMdl(base, 16376 * 4096, FALSE, FALSE, nullptr));  // a null MDL is a bug check
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 16376 * 4096 + 1, FALSE, FALSE, nullptr));
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 0x80000000u, FALSE, FALSE, nullptr));
    sim::faults::FailKind(sim::FaultKind::AllocateMdl, 1);
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 8, FALSE, FALSE, nullptr));
    // Nonpaged pool needs no mapping (so none can fail); a partial MDL maps to its own bytes.
    sim::faults::FailKind(sim::FaultKind::MapMdl);
    PMDL pool = PoolMdl(3 * 4096, 3 * 4096, true), part = IoAllocateMdl(Va(pool) + 5000, 9, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(pool, part, Va(pool) + 5000, 9);
    EXPECT_EQ(Va(pool), MmGetSystemAddressForMdlSafe(pool, NormalPagePriority));
    EXPECT_EQ(Va(pool) + 5000, MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    ExFreePoolWithTag(Va(pool), kTag);
    IoFreeMdl(part);
    IoFreeMdl(pool);
}

TEST_F(AppTest, RuleBreaksAreBugChecksNamingTheRule) {
    const std::pair<const char*, void (*)()> cases[] = {
        {"ZeroLengthMdl", [] { PoolMdl(8, 0); }},
        {"FreeLockedMdl",
         [] { PMDL m = PoolMdl(16, 16); MmProbeAndLockPages(m, KernelMode, IoReadAccess); IoFreeMdl(m); }},
        {"MdlDoubleFree", [] { PMDL m = PoolMdl(16, 16); IoFreeMdl(m); IoFreeMdl(m); }},
        {"FreeForeignMdl", [] { MDL local{}; IoFreeMdl(&local); }},
        {"MdlUsedAfterFree", [] { PMDL m = PoolMdl(16, 16); IoFreeMdl(m); MmBuildMdlForNonPagedPool(m); }},
        {"UnlockUnlockedMdl", [] { MmUnlockPages(PoolMdl(16, 16)); }},
        {"MapUnpreparedMdl", [] { MmGetSystemAddressForMdlSafe(PoolMdl(16, 16), NormalPagePriority); }},
        {"MdlNotFresh", [] { MmProbeAndLockPages(PoolMdl(16, 16, true), KernelMode, IoReadAccess); }},
        {"MdlBeyondPoolBlock", [] { MmBuildMdlForNonPagedPool(PoolMdl(16, 32)); }},
        {"IrpMdlReplaced",
         [] { PIRP irp = IoAllocateIrp(1, 0); IoAllocateMdl(irp, 8, 0, 0, irp); IoAllocateMdl(irp, 8, 0, 0, irp); }},
        {"ExceptionNotHandled", [] { ProbeUser(17, UserMode, true); }},
        {"ExceptionNotHandled", [] { MmProbeAndLockPages(PoolMdl(16, 16), UserMode, IoReadAccess); }},
        {"KernelProbeOfUserAddress", [] { ProbeUser(16, KernelMode, true); }},
        {"UserAddressOutsideProcess", [] { ProbeUser(16, UserMode, false); }},
        {"MdlCallIrql", [] { sim::RunAtIrql(DISPATCH_LEVEL, [] { ProbeUser(16, UserMode, true); }); }},
        {"ProcessHasLockedPages", [] { ProbeUser(16, UserMode, true); }},
        {"BuildMdlForUserBuffer",
         [] { Process p; MmBuildMdlForNonPagedPool(IoAllocateMdl(p.Alloc(8), 8, FALSE, FALSE, nullptr)); }},
        {"PartialMdlOfUnlockedSource", [] { IoBuildPartialMdl(PoolMdl(16, 16), PoolMdl(16, 16), nullptr, 8); }},
        {"PartialMdlOutOfRange",
         [] { PMDL m = PoolMdl(16, 16, true); IoBuildPartialMdl(m, PoolMdl(8, 8), Va(m) + 8, 9); }},
        {"PartialMdlTooSmall",
         [] { PMDL m = PoolMdl(5000, 5000, true); IoBuildPartialMdl(m, PoolMdl(1, 1), Va(m), 0); }},
        {"ScenarioLeak", [] { static char local[16]; IoAllocateMdl(local, 16, 0, 0, nullptr); sim::EndScenario(); }},
        {"InformationExceedsBuffer", [] { ReadThrough(DO_BUFFERED_IO, [](PIRP) {}, 9); }},
        {"BadMdlOnCompletedRequest", [] { ReadThrough(DO_DIRECT_IO, [](PIRP i) { MmUnlockPages(i->MdlAddress); }); }},
        {"UserAddressDereferenced", [] { ReadThrough(0, [](PIRP i) { *static_cast<char*>(i->UserBuffer) = 1; }); }},
    };
    for (const auto& [rule, breakIt] : cases) EXPECT_DEATH(breakIt(), std::string("BUGCHECK .* ") + rule);
}

}  // namespace
