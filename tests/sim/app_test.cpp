// What Windows does for an application's requests (the I/O manager's user side), with MDLs and
// the simulated user address space underneath.
#include "test_stack.h"

#include "app/app.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

using namespace simtest;
using sim::app::AddressSpace;
using sim::app::IoResult;
using sim::app::OpenOptions;
using sim::app::Overlapped;
using sim::app::Process;

namespace {

const GUID kGuid = {0x3f1c2b7a, 0x58d4, 0x4e21, {0x9a, 0x0b, 0x6c, 0x2d, 0x11, 0xe5, 0x7f, 0x40}};
constexpr ULONG kTag = 0x74707041;  // "Appt"
constexpr UCHAR kCancelMark = 0xCC;  // logged when a cancel routine runs
const ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
const ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// What the function device saw of one request.
struct Seen {
    UCHAR major;
    PFILE_OBJECT fo;
    PETHREAD thread;
    KIRQL irql;
};

// A PDO with a device interface and a function device above it. Create, cleanup and close
// succeed at once; `io` handles the rest; `inspect` sees every request first.
class Device {
public:
    explicit Device(ULONG ioFlags, bool enable = true) : stack_(2) {
        stack_.top()->Flags |= ioFlags;
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo(), &kGuid, nullptr, &link_));
        if (enable) {
            EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link_, TRUE));
        }
        path = sim::app::UserPath(sim::ToU16(&link_));
        stack_[1].handler = [this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); };
    }
    ~Device() {
        IoSetDeviceInterfaceState(&link_, FALSE);  // as a driver does on removal; may be off already
        RtlFreeUnicodeString(&link_);
    }
    PDEVICE_OBJECT pdo() { return stack_.bottom(); }
    PUNICODE_STRING link() { return &link_; }
    void Note(UCHAR mark) {
        std::lock_guard<std::mutex> g(m_);
        seen_.push_back({mark, nullptr, nullptr, KeGetCurrentIrql()});
    }
    std::vector<Seen> Log() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }
    std::vector<UCHAR> Majors() {
        std::vector<UCHAR> out;
        for (auto& s : Log()) out.push_back(s.major);
        return out;
    }

    std::u16string path;
    NTSTATUS createStatus = STATUS_SUCCESS;
    std::function<void(PIRP, PIO_STACK_LOCATION)> inspect = [](PIRP, PIO_STACK_LOCATION) {};
    std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)> io = [](PIRP irp, PIO_STACK_LOCATION) {
        return Complete(irp, STATUS_SUCCESS);
    };

private:
    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        {
            std::lock_guard<std::mutex> g(m_);
            seen_.push_back({s->MajorFunction, s->FileObject, irp->Tail.Overlay.Thread, KeGetCurrentIrql()});
        }
        inspect(irp, s);
        switch (s->MajorFunction) {
            case IRP_MJ_CREATE: return Complete(irp, createStatus);
            case IRP_MJ_CLEANUP:
            case IRP_MJ_CLOSE: return Complete(irp, STATUS_SUCCESS);
            default: return io(irp, s);
        }
    }
    Stack stack_;
    UNICODE_STRING link_{};
    std::mutex m_;
    std::vector<Seen> seen_;
};

// Keeps requests pending, optionally cancelable. The cancel routine completes from the DPC
// thread a little later, so a caller that returns early would be seen doing so.
class Holder {
public:
    explicit Holder(Device& dev) : dev_(dev) {}
    NTSTATUS Hold(PIRP irp, bool cancelable) {
        IoMarkIrpPending(irp);
        irp->Tail.Overlay.DriverContext[0] = this;
        {
            std::lock_guard<std::mutex> g(m_);
            irps_.push_back(irp);
        }
        if (cancelable) IoSetCancelRoutine(irp, &Holder::Cancel);
        return STATUS_PENDING;
    }
    void CompleteAll(NTSTATUS status) {
        std::vector<PIRP> irps;
        {
            std::lock_guard<std::mutex> g(m_);
            irps.swap(irps_);
        }
        for (PIRP irp : irps) {
            IoSetCancelRoutine(irp, nullptr);
            sim::QueueDpc([irp, status] { Complete(irp, status); });
        }
        sim::FlushDpcs();
    }
    size_t Held() {
        std::lock_guard<std::mutex> g(m_);
        return irps_.size();
    }
    std::vector<std::thread::id> cancelThreads;

private:
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        auto* self = static_cast<Holder*>(irp->Tail.Overlay.DriverContext[0]);
        {
            std::lock_guard<std::mutex> g(self->m_);
            auto it = std::find(self->irps_.begin(), self->irps_.end(), irp);
            if (it != self->irps_.end()) self->irps_.erase(it);
            self->cancelThreads.push_back(std::this_thread::get_id());
        }
        self->dev_.Note(kCancelMark);
        sim::QueueDpc([irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Complete(irp, STATUS_CANCELLED);
        });
    }
    Device& dev_;
    std::mutex m_;
    std::vector<PIRP> irps_;
};

void WaitUntil(const std::function<bool()>& ready) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(ready());
}

class AppTest : public ModelTest {};

// ---------------------------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------------------------

// The create carries the rest of the path with its backslash; the same file object then arrives
// with every request of the handle, cleanup and close included.
TEST_F(AppTest, CreateCarriesTheRemainingNameAndItsFileObjectFollows) {
    struct Case {
        std::u16string suffix;
        bool mangleCase;  // user mode compares the link name case-insensitively, "\\.\" works too
        bool overlapped;
    } cases[] = {{u"\\KWDrv0", false, false}, {u"", false, true}, {u"\\KWDrv1", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Narrow(c.suffix));
        Device dev(DO_DIRECT_IO);
        Process p;
        std::u16string path = dev.path + c.suffix;
        if (c.mangleCase) {
            path[2] = u'.';
            for (size_t i = 4; i < dev.path.size(); ++i) path[i] = static_cast<char16_t>(std::toupper(path[i]));
        }
        dev.inspect = [&](PIRP irp, PIO_STACK_LOCATION s) {
            if (s->MajorFunction != IRP_MJ_CREATE) return;
            PFILE_OBJECT fo = s->FileObject;
            EXPECT_EQ(IO_TYPE_FILE, fo->Type);
            EXPECT_EQ(sizeof(FILE_OBJECT), static_cast<size_t>(fo->Size));
            EXPECT_EQ(dev.pdo(), fo->DeviceObject);
            EXPECT_EQ(nullptr, fo->RelatedFileObject);
            EXPECT_EQ(c.suffix, sim::ToU16(&fo->FileName));
            EXPECT_EQ(c.suffix.empty(), fo->FileName.Buffer == nullptr);
            EXPECT_EQ(!c.overlapped, (fo->Flags & FO_SYNCHRONOUS_IO) != 0);
            EXPECT_EQ(UserMode, irp->RequestorMode);
            EXPECT_EQ(p.CurrentThread(), irp->Tail.Overlay.Thread);
            EXPECT_EQ(1u, s->Parameters.Create.Options >> 24);  // FILE_OPEN
            ACCESS_MASK rw = FILE_READ_DATA | FILE_WRITE_DATA;
            EXPECT_EQ(rw, s->Parameters.Create.SecurityContext->DesiredAccess & rw);
            EXPECT_EQ(FILE_SHARE_READ | FILE_SHARE_WRITE, s->Parameters.Create.ShareAccess);
        };
        auto opened = p.Open(path, OpenOptions{c.overlapped});
        ASSERT_EQ(STATUS_SUCCESS, opened.status);
        Overlapped ov;
        EXPECT_EQ(STATUS_SUCCESS, p.Read(opened.handle, nullptr, 0, 0, c.overlapped ? &ov : nullptr).status);
        PFILE_OBJECT fo = p.FileObjectOf(opened.handle);
        EXPECT_EQ(STATUS_SUCCESS, p.Close(opened.handle));
        EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), dev.Majors());
        for (auto& s : dev.Log()) EXPECT_EQ(fo, s.fo);
    }
}

TEST_F(AppTest, OpenFailsWithoutAnEnabledInterfaceOrWhenRefused) {
    struct Case {
        const char* what;
        std::function<void(Device&)> setup;
        std::function<std::u16string(const std::u16string&)> path;
        NTSTATUS expected;
        size_t creates;  // how many creates the driver saw (a failed one gets no cleanup or close)
    } cases[] = {
        {"disabled interface", [](Device& d) { IoSetDeviceInterfaceState(d.link(), FALSE); },
         [](auto& p) { return p; }, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"no such interface", {}, [](auto& p) { return p.substr(0, p.size() - 3) + u"00}"; },
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"name runs on past the link", {}, [](auto& p) { return p + u"X"; }, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"not a device path", {}, [](auto& p) { return p.substr(4); }, STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        {"driver refuses", [](Device& d) { d.createStatus = STATUS_ACCESS_DENIED; }, [](auto& p) { return p; },
         STATUS_ACCESS_DENIED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device dev(DO_DIRECT_IO);
        if (c.setup) c.setup(dev);
        {
            Process p;
            auto r = p.Open(c.path(dev.path));
            EXPECT_EQ(c.expected, r.status);
            EXPECT_EQ(sim::app::kInvalidHandle, r.handle);
        }
        EXPECT_EQ(std::vector<UCHAR>(c.creates, IRP_MJ_CREATE), dev.Majors());
    }
}

TEST_F(AppTest, ExclusiveDeviceAndHandleAccessAreEnforced) {
    Device dev(DO_BUFFERED_IO);
    dev.pdo()->Flags |= DO_EXCLUSIVE;
    Process p;
    auto first = p.Open(dev.path, OpenOptions{false, GENERIC_READ});
    ASSERT_EQ(STATUS_SUCCESS, first.status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.Open(dev.path).status);
    PVOID b = p.Alloc(4);
    EXPECT_EQ(STATUS_SUCCESS, p.Read(first.handle, b, 4).status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.Write(first.handle, b, 4).status);
    ULONG writeCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    EXPECT_EQ(STATUS_ACCESS_DENIED, p.DeviceIoControl(first.handle, writeCode, nullptr, 0, nullptr, 0).status);
    EXPECT_EQ(STATUS_INVALID_HANDLE, p.Read(first.handle + 1, b, 4).status);
    p.Close(first.handle);
    auto second = p.Open(dev.path);
    EXPECT_EQ(STATUS_SUCCESS, second.status);
}

// ---------------------------------------------------------------------------------------------
// Read and write
// ---------------------------------------------------------------------------------------------

TEST_F(AppTest, DirectIoMdlDescribesTheLockedUserBuffer) {
    constexpr ULONG kLength = 0x2100;
    constexpr LONGLONG kOffset = 0x100000005LL;
    for (bool read : {true, false}) {
        SCOPED_TRACE(read ? "read" : "write");
        Device dev(DO_DIRECT_IO);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID buf = p.Alloc(kLength, 0x123);
        std::vector<unsigned char> data(kLength);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
        if (!read) p.Store(buf, data.data(), kLength);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
            PMDL m = irp->MdlAddress;
            EXPECT_EQ(buf, MmGetMdlVirtualAddress(m));
            EXPECT_EQ(kLength, MmGetMdlByteCount(m));
            EXPECT_EQ(0x123u, MmGetMdlByteOffset(m));
            EXPECT_EQ(nullptr, m->Next);
            EXPECT_NE(0, m->MdlFlags & MDL_PAGES_LOCKED);
            EXPECT_EQ(read, (m->MdlFlags & MDL_WRITE_OPERATION) != 0);
            EXPECT_EQ(buf, irp->UserBuffer);
            EXPECT_EQ(nullptr, irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(kLength, s->Parameters.Read.Length);
            EXPECT_EQ(kOffset, s->Parameters.Read.ByteOffset.QuadPart);
            EXPECT_EQ(UserMode, irp->RequestorMode);
            auto* sys = static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
            EXPECT_FALSE(sim::app::IsUserAddress(sys));
            if (read) std::memcpy(sys, data.data(), kLength);
            else EXPECT_EQ(0, std::memcmp(sys, data.data(), kLength));
            return Complete(irp, STATUS_SUCCESS, kLength);
        };
        IoResult r = read ? p.Read(h, buf, kLength, kOffset) : p.Write(h, buf, kLength, kOffset);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(kLength, r.iosb.Information);
        EXPECT_EQ(data, p.Load(buf, kLength));
        EXPECT_EQ(0u, sim::LiveMdlCount());
    }
}

TEST_F(AppTest, ZeroLengthDirectIoArrivesWithoutAnMdl) {
    Device dev(DO_DIRECT_IO);
    Process p;
    auto h = p.Open(dev.path).handle;
    int calls = 0;
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
        ++calls;
        EXPECT_EQ(nullptr, irp->MdlAddress);
        EXPECT_EQ(0u, s->Parameters.Read.Length);
        return Complete(irp, STATUS_SUCCESS);
    };
    for (PVOID buf : {static_cast<PVOID>(nullptr), p.Alloc(8)}) {
        EXPECT_EQ(STATUS_SUCCESS, p.Read(h, buf, 0).status);
        EXPECT_EQ(STATUS_SUCCESS, p.Write(h, buf, 0).status);
    }
    EXPECT_EQ(4, calls);
}

// The I/O manager probes the caller's buffer itself; a bad one never reaches the driver.
TEST_F(AppTest, InvalidUserBuffersAreRefusedBeforeTheDriver) {
    static unsigned char kernelMemory[64];
    struct Case {
        const char* what;
        ULONG ioFlags;
        bool read;
        std::function<PVOID(Process&)> buffer;
        NTSTATUS expected;
    } cases[] = {
        {"kernel address", DO_DIRECT_IO, true, [](Process&) { return static_cast<PVOID>(kernelMemory); },
         STATUS_ACCESS_VIOLATION},
        {"never allocated", DO_BUFFERED_IO, false,
         [](Process& p) { return reinterpret_cast<PVOID>(p.Memory().Base() + 16); }, STATUS_ACCESS_VIOLATION},
        {"too short", DO_DIRECT_IO, false, [](Process& p) { return p.Alloc(15); }, STATUS_ACCESS_VIOLATION},
        {"freed", 0, true,
         [](Process& p) {
             PVOID b = p.Alloc(16);
             p.Free(b);
             return b;
         },
         STATUS_ACCESS_VIOLATION},
        {"read into read-only", DO_DIRECT_IO, true, [](Process& p) { return p.Alloc(16, 0, true); },
         STATUS_ACCESS_VIOLATION},
        {"write from read-only", DO_DIRECT_IO, false, [](Process& p) { return p.Alloc(16, 0, true); }, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device dev(c.ioFlags);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID b = c.buffer(p);
        EXPECT_EQ(c.expected, (c.read ? p.Read(h, b, 16) : p.Write(h, b, 16)).status);
        EXPECT_EQ(c.expected == STATUS_SUCCESS ? 2u : 1u, dev.Log().size());
        EXPECT_EQ(0u, sim::LiveMdlCount());
    }
}

TEST_F(AppTest, BufferedReadAndWriteUseASystemBuffer) {
    Device dev(DO_BUFFERED_IO);
    Process p;
    auto h = p.Open(dev.path).handle;
    PVOID buf = p.Alloc(8);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
        bool read = s->MajorFunction == IRP_MJ_READ;
        auto* sys = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_FALSE(sim::app::IsUserAddress(sys));
        EXPECT_EQ(nullptr, irp->MdlAddress);
        EXPECT_EQ(buf, irp->UserBuffer);
        ULONG flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        EXPECT_EQ(read ? flags | IRP_INPUT_OPERATION | IRP_READ_OPERATION : flags | IRP_WRITE_OPERATION, irp->Flags);
        if (read) std::memcpy(sys, "hello", 5);
        else EXPECT_EQ(0, std::memcmp(sys, "abcdefgh", 8));
        return Complete(irp, STATUS_SUCCESS, read ? 5 : 8);
    };
    p.Store(buf, "abcdefgh", 8);
    EXPECT_EQ(8u, p.Write(h, buf, 8).iosb.Information);
    EXPECT_EQ(5u, p.Read(h, buf, 8).iosb.Information);
    auto got = p.Load(buf, 8);
    EXPECT_EQ("hellofgh", std::string(got.begin(), got.end()));  // only Information bytes come back
}

// METHOD_BUFFERED: one system buffer of max(in, out) holding the input; Information bytes go
// back to the output buffer unless the final status is an error (warnings copy).
TEST_F(AppTest, BufferedDeviceControlCopiesBackUnlessTheStatusIsAnError) {
    struct Case {
        NTSTATUS status;
        bool pend;
        bool copied;
        bool iosbWritten;
    } cases[] = {
        {STATUS_SUCCESS, false, true, true},           {STATUS_BUFFER_OVERFLOW, false, true, true},
        {STATUS_BUFFER_OVERFLOW, true, true, true},    {STATUS_INVALID_PARAMETER, false, false, false},
        {STATUS_INVALID_PARAMETER, true, false, false}, {STATUS_VERIFY_REQUIRED, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::StatusName(c.status) << (c.pend ? " pended" : ""));
        Device dev(DO_DIRECT_IO);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID in = p.Alloc(12);  // longer than the output: the system buffer takes the larger
        PVOID out = p.Alloc(10);
        p.Store(in, "ping-ping-ok", 12);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
            EXPECT_EQ(kBuffered, s->Parameters.DeviceIoControl.IoControlCode);
            EXPECT_EQ(12u, s->Parameters.DeviceIoControl.InputBufferLength);
            EXPECT_EQ(10u, s->Parameters.DeviceIoControl.OutputBufferLength);
            EXPECT_EQ(ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION), irp->Flags);
            EXPECT_EQ(out, irp->UserBuffer);
            EXPECT_EQ(nullptr, irp->MdlAddress);
            auto* sys = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(0, std::memcmp(sys, "ping-ping-ok", 12));
            std::memcpy(sys, "pongpong", 8);
            irp->IoStatus.Information = 6;
            if (!c.pend) return Complete(irp, c.status, 6);
            IoMarkIrpPending(irp);
            sim::QueueDpc([irp, &c] { Complete(irp, c.status, 6); });
            return STATUS_PENDING;
        };
        IoResult r = p.DeviceIoControl(h, kBuffered, in, 12, out, 10);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.iosbWritten, r.iosbWritten);
        auto got = p.Load(out, 10);
        std::string expected = c.copied ? "pongpo\xBE\xBE\xBE\xBE" : std::string(10, '\xBE');
        EXPECT_EQ(expected, std::string(got.begin(), got.end()));
    }
}

TEST_F(AppTest, DirectAndNeitherDeviceControlBuffers) {
    for (ULONG method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        SCOPED_TRACE(method);
        ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, method, FILE_ANY_ACCESS);
        Device dev(0);
        Process p;
        auto h = p.Open(dev.path).handle;
        PVOID in = p.Alloc(3);
        PVOID out = p.Alloc(5);
        p.Store(in, "abc", 3);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
            bool neither = method == METHOD_NEITHER;
            EXPECT_EQ(neither ? in : nullptr, s->Parameters.DeviceIoControl.Type3InputBuffer);
            EXPECT_EQ(neither ? out : nullptr, irp->UserBuffer);
            if (neither) {
                EXPECT_EQ(nullptr, irp->MdlAddress);
                EXPECT_EQ(nullptr, irp->AssociatedIrp.SystemBuffer);
            } else {
                EXPECT_EQ(0, std::memcmp(irp->AssociatedIrp.SystemBuffer, "abc", 3));
                EXPECT_EQ(out, MmGetMdlVirtualAddress(irp->MdlAddress));
                EXPECT_EQ(5u, MmGetMdlByteCount(irp->MdlAddress));
                EXPECT_EQ(method == METHOD_OUT_DIRECT, (irp->MdlAddress->MdlFlags & MDL_WRITE_OPERATION) != 0);
            }
            return Complete(irp, STATUS_SUCCESS, neither ? 0 : 5);
        };
        EXPECT_EQ(STATUS_SUCCESS, p.DeviceIoControl(h, code, in, 3, out, 5).status);
    }
}

// When the I/O status block and the event are written (the syscall's return value is the
// dispatch routine's, or the final status for a synchronous handle that pended).
TEST_F(AppTest, SynchronousAndOverlappedStatusReporting) {
    struct Case {
        bool overlapped;
        bool pend;
        NTSTATUS status;
        bool written;
    } cases[] = {
        {false, false, STATUS_SUCCESS, true},         {false, false, STATUS_INVALID_PARAMETER, false},
        {false, false, STATUS_BUFFER_OVERFLOW, true}, {false, true, STATUS_SUCCESS, true},
        {false, true, STATUS_DEVICE_NOT_CONNECTED, false}, {true, false, STATUS_SUCCESS, true},
        {true, false, STATUS_INVALID_PARAMETER, false}, {true, true, STATUS_SUCCESS, true},
        {true, true, STATUS_INVALID_PARAMETER, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.overlapped ? "overlapped " : "synchronous ") << (c.pend ? "pended " : "")
                                        << sim::StatusName(c.status));
        Device dev(DO_DIRECT_IO);
        dev.io = [&c](PIRP irp, PIO_STACK_LOCATION) {
            return (c.pend ? PendThenComplete(c.status) : CompleteWith(c.status))(nullptr, irp);
        };
        Process p;
        auto h = p.Open(dev.path, OpenOptions{c.overlapped}).handle;
        Overlapped ov;
        IoResult r = p.Read(h, nullptr, 0, 0, c.overlapped ? &ov : nullptr);
        if (!c.overlapped) {
            EXPECT_EQ(c.status, r.status);
            EXPECT_EQ(c.written, r.iosbWritten);
            EXPECT_EQ(c.written ? c.status : 0, r.iosb.Status);
            continue;
        }
        EXPECT_EQ(c.pend ? STATUS_PENDING : c.status, r.status);
        if (c.pend) ov.Wait();
        EXPECT_EQ(c.written, ov.Signalled());
        EXPECT_EQ(c.written ? c.status : STATUS_PENDING, ov.Internal());
    }
}

// A thread's CancelIo cancels its own requests on that handle through their cancel routines and
// returns when they have completed; other threads' and other handles' requests stay pending.
TEST_F(AppTest, CancelIoCancelsTheThreadsRequestsAndWaitsForThem) {
    Device dev(DO_DIRECT_IO);
    Holder held(dev);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION) { return held.Hold(irp, true); };
    Process p;
    auto h1 = p.Open(dev.path, OpenOptions{true}).handle;
    auto h2 = p.Open(dev.path, OpenOptions{true}).handle;
    Overlapped mine, otherHandle, otherThread;
    EXPECT_EQ(STATUS_PENDING, p.Read(h1, nullptr, 0, 0, &mine).status);
    EXPECT_EQ(STATUS_PENDING, p.Read(h2, nullptr, 0, 0, &otherHandle).status);
    std::thread([&] { EXPECT_EQ(STATUS_PENDING, p.Read(h1, nullptr, 0, 0, &otherThread).status); }).join();
    EXPECT_EQ(STATUS_SUCCESS, p.CancelIo(h1));
    EXPECT_TRUE(mine.Signalled());
    EXPECT_EQ(STATUS_CANCELLED, mine.Internal());
    EXPECT_EQ((std::vector<std::thread::id>{std::this_thread::get_id()}), held.cancelThreads);
    EXPECT_FALSE(otherHandle.Signalled());
    EXPECT_FALSE(otherThread.Signalled());
    EXPECT_EQ(2u, held.Held());
    held.CompleteAll(STATUS_SUCCESS);
}

TEST_F(AppTest, ThreadExitAndProcessExitCancelOutstandingRequests) {
    Device dev(DO_DIRECT_IO);
    Holder held(dev);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION) { return held.Hold(irp, true); };
    Overlapped a, b, last;
    {
        Process p;
        auto h = p.Open(dev.path, OpenOptions{true}).handle;
        EXPECT_EQ(STATUS_PENDING, p.Read(h, nullptr, 0, 0, &last).status);
        std::thread([&] {
            EXPECT_EQ(STATUS_PENDING, p.Read(h, nullptr, 0, 0, &a).status);
            EXPECT_EQ(STATUS_PENDING, p.DeviceIoControl(h, kNeither, nullptr, 0, nullptr, 0, &b).status);
            p.ExitThread();
            EXPECT_TRUE(a.Signalled() && b.Signalled());
        }).join();
        EXPECT_EQ(STATUS_CANCELLED, a.Internal());
        EXPECT_EQ(STATUS_CANCELLED, b.Internal());
        EXPECT_FALSE(last.Signalled());
        EXPECT_EQ(1u, p.OutstandingRequests());
    }
    EXPECT_EQ(STATUS_CANCELLED, last.Internal());
    std::vector<UCHAR> expected = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL, kCancelMark,
                                   kCancelMark, kCancelMark, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(expected, dev.Majors());
}

// ---------------------------------------------------------------------------------------------
// Closing
// ---------------------------------------------------------------------------------------------

// Cleanup comes when the handle closes; close once no request holds the file object: from the
// closing thread, or from a system thread at PASSIVE_LEVEL when the last request completed later.
TEST_F(AppTest, CloseSendsCleanupNowAndCloseAfterTheLastRequest) {
    for (bool pending : {false, true}) {
        SCOPED_TRACE(pending ? "request outstanding" : "nothing outstanding");
        Device dev(DO_DIRECT_IO);
        Holder held(dev);
        dev.io = [&](PIRP irp, PIO_STACK_LOCATION) { return held.Hold(irp, false); };
        Process p;
        auto h = p.Open(dev.path, OpenOptions{true}).handle;
        Overlapped ov;
        if (pending) {
            EXPECT_EQ(STATUS_PENDING, p.Read(h, nullptr, 0, 0, &ov).status);
        }
        EXPECT_EQ(STATUS_SUCCESS, p.Close(h));
        EXPECT_EQ(STATUS_INVALID_HANDLE, p.Close(h));
        std::vector<UCHAR> majors = dev.Majors();
        EXPECT_EQ(pending ? IRP_MJ_CLEANUP : IRP_MJ_CLOSE, majors.back());
        if (pending) {
            held.CompleteAll(STATUS_SUCCESS);
            ov.Wait();
            p.Flush();
        }
        auto log = dev.Log();
        ASSERT_EQ(IRP_MJ_CLOSE, log.back().major);
        Seen cleanup = log[log.size() - 2];
        EXPECT_EQ(IRP_MJ_CLEANUP, cleanup.major);
        EXPECT_EQ(p.CurrentThread(), cleanup.thread);
        EXPECT_EQ(!pending, p.CurrentThread() == log.back().thread);
        EXPECT_EQ(PASSIVE_LEVEL, log.back().irql);
    }
}

// A synchronous handle serialises its requests: a second thread's request waits until the
// first one completes.
TEST_F(AppTest, SynchronousHandleSerialisesItsRequests) {
    Device dev(DO_DIRECT_IO);
    Holder held(dev);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
        return s->MajorFunction == IRP_MJ_READ ? held.Hold(irp, false) : Complete(irp, STATUS_SUCCESS);
    };
    Process p;
    auto h = p.Open(dev.path).handle;
    std::thread reader([&] { EXPECT_EQ(STATUS_SUCCESS, p.Read(h, nullptr, 0).status); });
    WaitUntil([&] { return held.Held() == 1; });
    std::thread controller([&] { EXPECT_EQ(STATUS_SUCCESS, p.DeviceIoControl(h, kNeither, nullptr, 0, nullptr, 0).status); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ}), dev.Majors());
    held.CompleteAll(STATUS_SUCCESS);
    reader.join();
    controller.join();
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL}), dev.Majors());
}

// ---------------------------------------------------------------------------------------------
// The address space and MDLs
// ---------------------------------------------------------------------------------------------

TEST_F(AppTest, UserAddressesTranslateOnlyInsideLiveBuffers) {
    AddressSpace s(1 << 20);
    uintptr_t a = s.Allocate(100, 0x20);
    uintptr_t ro = s.Allocate(8, 0, true);
    uintptr_t gone = s.Allocate(8);
    s.Free(gone);
    int local = 0;
    auto host = reinterpret_cast<uintptr_t>(&local);
    using A = AddressSpace::Access;
    struct Case {
        uintptr_t address;
        size_t length;
        A access;
        bool valid;
    } cases[] = {{a, 100, A::Write, true}, {a + 99, 1, A::Read, true}, {a + 100, 0, A::Read, true},
                 {a, 101, A::Read, false}, {a - 1, 1, A::Read, false}, {a + 100, 1, A::Read, false},
                 {ro, 8, A::Read, true},   {ro, 8, A::Write, false},   {gone, 1, A::Read, false},
                 {host, 1, A::Read, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << "+" << c.length);
        EXPECT_EQ(c.valid, s.Translate(c.address, c.length, c.access) != nullptr);
    }
    EXPECT_EQ(0x20u, a & 0xFFF);
    EXPECT_TRUE(sim::app::IsUserAddress(reinterpret_cast<void*>(a)));
    EXPECT_FALSE(sim::app::IsUserAddress(&local));
    AddressSpace other(1 << 20);
    EXPECT_FALSE(other.Contains(a));
    // Pages an MDL holds locked stay backed after the application frees them.
    uint64_t pin = 0;
    auto* bytes = static_cast<unsigned char*>(s.Lock(a, 100, A::Write, &pin));
    s.Free(a);
    EXPECT_EQ(nullptr, s.Translate(a, 1, A::Read));
    std::memset(bytes, 1, 100);
    EXPECT_EQ(1u, s.LockedBuffers());
    s.Unlock(pin);
    EXPECT_EQ(0u, s.LockedBuffers());
}

TEST_F(AppTest, IoAllocateMdlDescribesTheRangeWithinWindowsLimits) {
    struct Case {
        uintptr_t offset;
        ULONG length;
        size_t pages;
    } cases[] = {{0, 1, 1}, {0xFFF, 2, 2}, {0x10, 23 * 4096 - 0x10, 23}, {0, 24 * 4096, 24}};
    auto* base = reinterpret_cast<unsigned char*>(uintptr_t{0x12340000});
    for (const Case& c : cases) {
        PMDL m = IoAllocateMdl(base + c.offset, c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(base, m->StartVa);
        EXPECT_EQ(c.offset, m->ByteOffset);
        EXPECT_EQ(c.length, m->ByteCount);
        EXPECT_EQ(sizeof(MDL) + c.pages * sizeof(PFN_NUMBER), static_cast<size_t>(m->Size));
        EXPECT_EQ(c.pages <= 23, (m->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) != 0);
        EXPECT_EQ(1u, sim::LiveMdlCount());
        IoFreeMdl(m);
    }
    // A 16-bit MDL size on i686 holds 16376 pages; 2 GB or more is refused too.
    PMDL largest = IoAllocateMdl(base, 16376 * 4096, FALSE, FALSE, nullptr);
    EXPECT_NE(nullptr, largest);
    IoFreeMdl(largest);
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 16376 * 4096 + 1, FALSE, FALSE, nullptr));
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 0x80000000u, FALSE, FALSE, nullptr));
    sim::faults::FailKind(sim::FaultKind::AllocateMdl, 1);
    EXPECT_EQ(nullptr, IoAllocateMdl(base, 8, FALSE, FALSE, nullptr));
    // With an IRP: the first MDL becomes MdlAddress, a secondary one is chained behind it.
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(base, 8, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(base, 8, TRUE, FALSE, irp);
    EXPECT_EQ(first, irp->MdlAddress);
    EXPECT_EQ(second, first->Next);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

TEST_F(AppTest, NonPagedPoolAndPartialMdlsMapToTheirOwnBytes) {
    auto* buf = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 3 * 4096, kTag));
    PMDL m = IoAllocateMdl(buf, 3 * 4096, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(m);
    EXPECT_NE(0, m->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    sim::faults::FailKind(sim::FaultKind::MapMdl);  // nothing to map: cannot fail
    EXPECT_EQ(buf, MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
    PMDL part = IoAllocateMdl(buf + 5000, 100, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(m, part, buf + 5000, 100);
    EXPECT_NE(0, part->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(100u, part->ByteCount);
    EXPECT_EQ(buf + 5000, MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    IoFreeMdl(part);
    IoFreeMdl(m);
    ExFreePoolWithTag(buf, kTag);
}

// A driver reaches a METHOD_NEITHER buffer through an MDL it probes in the caller's context.
TEST_F(AppTest, DriverLocksAUserBufferInTheCallersContext) {
    Device dev(0);
    Process p;
    auto h = p.Open(dev.path).handle;
    PVOID in = p.Alloc(32, 0xFF0);  // crosses a page boundary
    const char text[] = "0123456789abcdefghijklmnopqrstu";
    p.Store(in, text, 32);
    dev.io = [&](PIRP irp, PIO_STACK_LOCATION s) {
        auto* user = static_cast<char*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
        PMDL m = IoAllocateMdl(user, 32, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(m, irp->RequestorMode, IoReadAccess);
        EXPECT_EQ(MDL_PAGES_LOCKED, m->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION));
        PMDL part = IoAllocateMdl(user + 16, 16, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(m, part, user + 16, 0);  // zero: the rest of the source
        EXPECT_EQ(16u, part->ByteCount);
        auto* partSys = static_cast<char*>(MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
        sim::faults::FailKind(sim::FaultKind::MapMdl, 1);
        EXPECT_EQ(nullptr, MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
        auto* sys = static_cast<char*>(MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
        EXPECT_FALSE(sim::app::IsUserAddress(sys));
        EXPECT_EQ(0, std::memcmp(sys, text, 32));
        EXPECT_EQ(sys + 16, partSys);
        IoFreeMdl(part);
        MmUnlockPages(m);
        IoFreeMdl(m);
        return Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(STATUS_SUCCESS, p.DeviceIoControl(h, kNeither, in, 32, nullptr, 0).status);
    EXPECT_EQ(0u, p.Memory().LockedBuffers());
}

// ---------------------------------------------------------------------------------------------
// Rules: each break is a bug check naming it
// ---------------------------------------------------------------------------------------------

// Probes `length` bytes of a fresh 16-byte user buffer as driver code running in `inContext`.
void ProbeUser(ULONG length, KPROCESSOR_MODE mode, bool inContext) {
    Process p;
    PVOID u = p.Alloc(16);
    sim::app::ProcessContext context(inContext ? &p.Memory() : nullptr);
    MmProbeAndLockPages(IoAllocateMdl(u, length, FALSE, FALSE, nullptr), mode, IoReadAccess);
}

PMDL PoolMdl(ULONG poolBytes, ULONG mdlBytes) {
    return IoAllocateMdl(ExAllocatePoolWithTag(NonPagedPool, poolBytes, kTag), mdlBytes, FALSE, FALSE, nullptr);
}

// A read of `bytes` on a device whose read routine is `io`.
void ReadThrough(ULONG ioFlags, ULONG bytes, std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)> io) {
    Device dev(ioFlags);
    dev.io = std::move(io);
    Process p;
    auto h = p.Open(dev.path).handle;
    p.Read(h, p.Alloc(bytes), bytes);
}

TEST_F(AppTest, RuleBreaksAreBugChecks) {
    struct RuleCase {
        const char* rule;
        std::function<void()> breakIt;
    } cases[] = {
        {"ZeroLengthMdl", [] { PoolMdl(8, 0); }},
        {"FreeLockedMdl",
         [] {
             PMDL m = PoolMdl(16, 16);
             MmProbeAndLockPages(m, KernelMode, IoReadAccess);
             IoFreeMdl(m);
         }},
        {"MdlDoubleFree",
         [] {
             PMDL m = PoolMdl(16, 16);
             IoFreeMdl(m);
             IoFreeMdl(m);
         }},
        {"FreeForeignMdl", [] { MDL local{}; IoFreeMdl(&local); }},
        {"MdlUsedAfterFree",
         [] {
             PMDL m = PoolMdl(16, 16);
             IoFreeMdl(m);
             MmBuildMdlForNonPagedPool(m);
         }},
        {"UnlockUnlockedMdl", [] { MmUnlockPages(PoolMdl(16, 16)); }},
        {"MapUnpreparedMdl", [] { MmGetSystemAddressForMdlSafe(PoolMdl(16, 16), NormalPagePriority); }},
        {"MdlNotFresh",
         [] {
             PMDL m = PoolMdl(16, 16);
             MmBuildMdlForNonPagedPool(m);
             MmProbeAndLockPages(m, KernelMode, IoReadAccess);
         }},
        {"MdlBeyondPoolBlock", [] { MmBuildMdlForNonPagedPool(PoolMdl(16, 32)); }},
        {"IrpMdlReplaced",
         [] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoAllocateMdl(&irp, 8, FALSE, FALSE, irp);
             IoAllocateMdl(&irp, 8, FALSE, FALSE, irp);
         }},
        {"ProbeOfInvalidUserBuffer", [] { ProbeUser(17, UserMode, true); }},
        {"ProbeOfInvalidUserBuffer", [] { MmProbeAndLockPages(PoolMdl(16, 16), UserMode, IoReadAccess); }},
        {"KernelProbeOfUserAddress", [] { ProbeUser(16, KernelMode, true); }},
        {"UserAddressOutsideProcess", [] { ProbeUser(16, UserMode, false); }},
        {"MdlCallIrql", [] { sim::RunAtIrql(DISPATCH_LEVEL, [] { ProbeUser(16, UserMode, true); }); }},
        {"BuildMdlForUserBuffer",
         [] {
             Process p;
             MmBuildMdlForNonPagedPool(IoAllocateMdl(p.Alloc(8), 8, FALSE, FALSE, nullptr));
         }},
        {"PartialMdlOfUnlockedSource", [] { IoBuildPartialMdl(PoolMdl(16, 16), PoolMdl(16, 16), nullptr, 8); }},
        {"PartialMdlOutOfRange",
         [] {
             PMDL m = PoolMdl(16, 16);
             MmBuildMdlForNonPagedPool(m);
             IoBuildPartialMdl(m, PoolMdl(16, 16), static_cast<char*>(MmGetMdlVirtualAddress(m)) + 8, 9);
         }},
        {"PartialMdlTooSmall",
         [] {
             PMDL m = PoolMdl(3 * 4096, 3 * 4096);
             MmBuildMdlForNonPagedPool(m);
             IoBuildPartialMdl(m, IoAllocateMdl(m->StartVa, 1, FALSE, FALSE, nullptr), MmGetMdlVirtualAddress(m), 0);
         }},
        {"ProcessHasLockedPages",
         [] {
             auto* p = new Process;
             PVOID u = p->Alloc(16);
             {
                 sim::app::ProcessContext context(&p->Memory());
                 MmProbeAndLockPages(IoAllocateMdl(u, 16, FALSE, FALSE, nullptr), UserMode, IoReadAccess);
             }
             delete p;
         }},
        {"ScenarioLeak",
         [] {
             static char local[16];
             IoAllocateMdl(local, 16, FALSE, FALSE, nullptr);
             sim::EndScenario();
         }},
        {"InformationExceedsBuffer",
         [] { ReadThrough(DO_BUFFERED_IO, 8, [](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, 0, 9); }); }},
        {"BadMdlOnCompletedRequest",
         [] {
             ReadThrough(DO_DIRECT_IO, 8, [](PIRP irp, PIO_STACK_LOCATION) {
                 MmUnlockPages(irp->MdlAddress);
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
        {"UserAddressDereferenced",
         [] {
             ReadThrough(0, 8, [](PIRP irp, PIO_STACK_LOCATION) {
                 *static_cast<volatile char*>(irp->UserBuffer) = 1;
                 return Complete(irp, STATUS_SUCCESS);
             });
         }},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.breakIt(), std::string("BUGCHECK .* ") + c.rule);
    }
}

}  // namespace
