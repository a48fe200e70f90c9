// Pipe transfers: opening and closing pipes by name, and bulk and interrupt reads and writes,
// driven by an application process through the I/O manager model, above a started device whose
// USB stack answers the transfers as each test scripts it.
#include "driver_fixture.h"

#include "app/app.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

using namespace drivertest;
using sim::app::Handle;
using sim::app::IoResult;
using sim::app::OpenOptions;
using sim::app::Overlapped;
using sim::usb::AnswerMode;

namespace {

using Bytes = std::vector<UCHAR>;

// The test firmware's pipes in interface order (alternate setting 1).
constexpr ULONG kBulkOut = 0, kBulkIn = 1, kInterruptIn = 2, kIsoOut = 3, kIsoIn = 4, kPipes = 5;

UCHAR Pattern(size_t i) { return static_cast<UCHAR>(0xA0 + i * 7); }

// What the USB stack saw of one bulk or interrupt transfer when it was submitted.
struct Submitted {
    PIRP irp = nullptr;
    UCHAR major = 0, control = 0;
    ULONG ioctl = 0;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    TRANSFER_CONTEXT context{};
    PURB urbAddress = nullptr;
    _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
    PMDL irpMdl = nullptr;
    int slotsHoldingIrp = 0;
    size_t slot = SIZE_MAX;
};

// A scripted USB stack for bulk and interrupt URBs; everything else goes to the bus model.
struct FakeTransfers {
    AnswerMode mode = AnswerMode::Inline;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    std::optional<ULONG> transferred;  // bytes reported; all that was asked by default
    bool touchData = true;             // IN: deliver Pattern(); OUT: keep what was sent
    PDEVICE_EXTENSION ext = nullptr;

    std::mutex m;
    std::vector<Submitted> sent;
    std::vector<Bytes> written;

    std::optional<sim::usb::Answer> Answer(PIRP irp, PIO_STACK_LOCATION s) {
        if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return std::nullopt;
        auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return std::nullopt;
        Submitted rec;
        rec.irp = irp;
        rec.major = s->MajorFunction;
        rec.control = s->Control;
        rec.ioctl = s->Parameters.DeviceIoControl.IoControlCode;
        rec.routine = s->CompletionRoutine;
        rec.context = *static_cast<PTRANSFER_CONTEXT>(s->Context);
        rec.urbAddress = urb;
        rec.urb = urb->UrbBulkOrInterruptTransfer;
        rec.irpMdl = irp->MdlAddress;
        for (size_t i = 0; i < KW_PENDING_TRANSFER_SLOTS; ++i) {
            if (__atomic_load_n(&ext->PendingTransfers[i], __ATOMIC_SEQ_CST) != irp) continue;
            ++rec.slotsHoldingIrp;
            rec.slot = i;
        }
        sim::usb::Answer a;
        a.mode = mode;
        a.status = status;
        a.usbdStatus = usbd;
        a.effect = [this](PIRP, PIO_STACK_LOCATION st) { Effect(static_cast<PURB>(st->Parameters.Others.Argument1)); };
        std::lock_guard<std::mutex> g(m);
        sent.push_back(rec);
        return a;
    }
    // At completion: moves the data and reports the byte count, as the host controller would.
    void Effect(PURB urb) {
        auto& r = urb->UrbBulkOrInterruptTransfer;
        ULONG n = transferred.value_or(r.TransferBufferLength);
        if (touchData) {
            auto va = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(r.TransferBufferMDL, NormalPagePriority));
            ULONG moved = std::min(n, r.TransferBufferLength);
            if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                for (ULONG i = 0; i < moved; ++i) va[i] = Pattern(i);
            } else {
                std::lock_guard<std::mutex> g(m);
                written.emplace_back(va, va + moved);
            }
        }
        r.TransferBufferLength = n;
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(m);
        return sent.size();
    }
};

class TransferTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
        ASSERT_EQ(kPipes, ext()->InterfaceInfo->NumberOfPipes);
        usb.ext = ext();
        bus().SetScript([this](PIRP irp, PIO_STACK_LOCATION s) { return usb.Answer(irp, s); });
        app_ = std::make_unique<sim::app::Process>();
        pool_ = sim::LivePoolCount();
    }
    void TearDown() override {
        app_.reset();  // process exit: outstanding requests cancelled, every handle closed
        DriverTest::TearDown();
    }

    sim::app::Process& app() { return *app_; }
    std::u16string Path(const std::u16string& name) {
        return sim::app::UserPath(std::u16string(ext()->InterfaceLinkName)) + name;
    }
    Handle Open(ULONG pipe, bool overlapped = false) {
        sim::app::OpenResult r = app().Open(Path(PipeName(pipe)), OpenOptions{overlapped});
        EXPECT_EQ(STATUS_SUCCESS, r.status) << "opening pipe " << pipe;
        return r.handle;
    }
    // FsContext of a handle's file object; nullptr for a handle that does not exist.
    PVOID FsContextOf(Handle h) {
        PFILE_OBJECT fo = app().FileObjectOf(h);
        return fo != nullptr ? fo->FsContext : nullptr;
    }
    static std::u16string PipeName(ULONG pipe) { return u"\\KWDrv" + std::u16string(1, char16_t(u'0' + pipe)); }

    IoResult Transfer(bool read, Handle h, PVOID buffer, ULONG length, Overlapped* ov = nullptr) {
        return read ? app().Read(h, buffer, length, 0, ov) : app().Write(h, buffer, length, 0, ov);
    }
    // A request that leaves the driver leaves nothing behind: no reference, slot or pool.
    void ExpectQuiet() {
        EXPECT_EQ(1, ext()->OutstandingIo);
        for (PIRP slot : ext()->PendingTransfers) EXPECT_EQ(nullptr, slot);
        EXPECT_EQ(pool_, sim::LivePoolCount());
    }
    bool BusSawTransfer() {
        for (const auto& e : bus().Trace())
            if (e.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return true;
        return false;
    }

    FakeTransfers usb;
    size_t pool_ = 0;

private:
    std::unique_ptr<sim::app::Process> app_;
};

// A create or close sent straight to the device with a file object the test owns, so that the
// name's bytes and the file object's fields are exactly as the test sets them.
struct RawFile {
    FILE_OBJECT fo{};
    std::u16string name;
    RawFile(std::u16string n, PVOID context = nullptr) : name(std::move(n)) {
        fo.FsContext = context;
        fo.FileName.Buffer = name.data();
        fo.FileName.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
        fo.FileName.MaximumLength = fo.FileName.Length;
    }
    NTSTATUS Send(PDEVICE_OBJECT fdo, UCHAR major) {
        sim::RequestResult r = sim::SendToStack(fdo, major, 0, [this](PIO_STACK_LOCATION s) { s->FileObject = &fo; });
        EXPECT_EQ(0u, r.information);
        return r.status;
    }
    PPIPE_CONTEXT Context() const { return static_cast<PPIPE_CONTEXT>(fo.FsContext); }
};

std::set<ULONG> HeldSlots(PDEVICE_EXTENSION e) {
    std::set<ULONG> held;
    for (ULONG i = 0; i < KW_PIPE_TABLE_ENTRIES; ++i)
        if (e->PipeTable[i].Opened) held.insert(i);
    return held;
}

TEST_F(TransferTest, DispatchTableServesOpenCloseReadWrite) {
    EXPECT_EQ(DispatchCreate, driver()->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(DispatchClose, driver()->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_EQ(DispatchRead, driver()->MajorFunction[IRP_MJ_READ]);
    EXPECT_EQ(DispatchWrite, driver()->MajorFunction[IRP_MJ_WRITE]);
}

// Each pipe is held by one handle at a time, independently of the others, until its close.
TEST_F(TransferTest, EachPipeOpensOnceByItsNameUntilClosed) {
    std::vector<Handle> handles;
    for (ULONG i = 0; i < kPipes; ++i) {
        SCOPED_TRACE(i);
        handles.push_back(Open(i));
        EXPECT_EQ(&ext()->PipeTable[i], FsContextOf(handles.back()));
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, app().Open(Path(PipeName(i))).status);
    }
    EXPECT_EQ((std::set<ULONG>{0, 1, 2, 3, 4}), HeldSlots(ext()));
    for (ULONG i = 0; i < kPipes; ++i) {
        EXPECT_EQ(STATUS_SUCCESS, app().Close(handles[i]));
        app().Flush();
        EXPECT_FALSE(ext()->PipeTable[i].Opened) << i;
    }
    Handle again = Open(kBulkIn);
    EXPECT_EQ(&ext()->PipeTable[kBulkIn], FsContextOf(again));
    EXPECT_EQ(1, ext()->OutstandingIo);
}

// The caller's name must equal the leading part of an entry's name that is as long as itself;
// the first free entry that matches is bound; a failed open leaves FsContext NULL.
TEST_F(TransferTest, NameMatching) {
    using namespace std::string_literals;
    struct Case {
        std::u16string name;
        std::set<ULONG> heldBefore;
        NTSTATUS status;
        int slot;  // -1: none
    } cases[] = {
        {u"\\KWDrv0", {}, STATUS_SUCCESS, 0},
        {u"\\KWDrv0\0"s, {}, STATUS_SUCCESS, 0},  // terminator counted in the length
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
        EXPECT_EQ(expected, HeldSlots(ext()));
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(STATUS_SUCCESS, f.Send(fdo(), IRP_MJ_CLOSE));
            EXPECT_EQ(c.heldBefore, HeldSlots(ext()));
        }
        for (ULONG i : c.heldBefore) ext()->PipeTable[i].Opened = FALSE;
        EXPECT_EQ(1, ext()->OutstandingIo);
    }
}

TEST_F(TransferTest, NamesAreUnknownBeforeTheFirstStart) {
    Remove();
    ASSERT_EQ(STATUS_SUCCESS, Add());
    RawFile pipe(u"\\KWDrv0"), empty(u"");
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pipe.Send(fdo(), IRP_MJ_CREATE));
    EXPECT_EQ(STATUS_SUCCESS, empty.Send(fdo(), IRP_MJ_CREATE));
    EXPECT_EQ(nullptr, empty.Context());
    EXPECT_EQ(STATUS_SUCCESS, empty.Send(fdo(), IRP_MJ_CLOSE));
}

// Once removal has begun, opens, reads and writes are refused without reaching the USB stack,
// and a close still gives its pipe back.
TEST_F(TransferTest, RemovalRefusesNewRequestsButClosesStillFreePipes) {
    Handle h = Open(kBulkIn);
    PVOID buffer = app().Alloc(64);
    ext()->AcceptingRequests = FALSE;
    bus().ClearTrace();
    RawFile f(u"\\KWDrv0", reinterpret_cast<PVOID>(0x5A5A5A5A));
    EXPECT_EQ(STATUS_DELETE_PENDING, f.Send(fdo(), IRP_MJ_CREATE));
    EXPECT_EQ(reinterpret_cast<PVOID>(0x5A5A5A5A), f.fo.FsContext) << "the file object is left alone";
    EXPECT_EQ(STATUS_DELETE_PENDING, app().Read(h, buffer, 64).status);
    EXPECT_EQ(STATUS_DELETE_PENDING, app().Write(h, buffer, 64).status);
    EXPECT_EQ(STATUS_DELETE_PENDING, app().Read(h, buffer, 0).status);
    EXPECT_TRUE(bus().Trace().empty());
    EXPECT_EQ(STATUS_SUCCESS, app().Close(h));
    app().Flush();
    EXPECT_TRUE(HeldSlots(ext()).empty());
    ExpectQuiet();
    ext()->AcceptingRequests = TRUE;
}

// One URB per request, over the caller's MDL, tracked while the USB stack has it; the request
// completes with the stack's status and the bytes it reports.
TEST_F(TransferTest, BulkAndInterruptTransfers) {
    struct Case {
        const char* what;
        ULONG pipe;
        bool read;
        AnswerMode mode;
        ULONG length;
        std::optional<ULONG> transferred;
    } cases[] = {
        {"bulk read", kBulkIn, true, AnswerMode::Inline, 512, std::nullopt},
        {"short bulk read", kBulkIn, true, AnswerMode::Pend, 512, 100},
        {"bulk write", kBulkOut, false, AnswerMode::Inline, 64, std::nullopt},
        {"pended bulk write", kBulkOut, false, AnswerMode::Pend, 300, std::nullopt},
        {"interrupt read", kInterruptIn, true, AnswerMode::Pend, 8, std::nullopt},
        {"interrupt write", kInterruptIn, false, AnswerMode::Inline, 8, std::nullopt},
        {"read on an OUT pipe", kBulkOut, true, AnswerMode::Inline, 16, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        usb.mode = c.mode;
        usb.transferred = c.transferred;
        usb.sent.clear();
        usb.written.clear();
        const bool pend = c.mode == AnswerMode::Pend;
        Handle h = Open(c.pipe, pend);
        PVOID buffer = app().Alloc(c.length, 0x123);
        Bytes out(c.length);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<UCHAR>(i * 3);
        app().Store(buffer, out.data(), out.size());
        const ULONG expected = c.transferred.value_or(c.length);

        Overlapped ov;
        IoResult r = Transfer(c.read, h, buffer, c.length, pend ? &ov : nullptr);
        if (pend) {
            EXPECT_EQ(STATUS_PENDING, r.status) << "the dispatch returns what the USB stack returned";
            ov.Wait();
            EXPECT_EQ(STATUS_SUCCESS, ov.Internal());
            EXPECT_EQ(expected, ov.InternalHigh());
        } else {
            EXPECT_EQ(STATUS_SUCCESS, r.status);
            EXPECT_EQ(expected, r.iosb.Information);
        }
        ASSERT_EQ(1u, usb.sent.size());
        const Submitted& s = usb.sent[0];
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, s.major);
        EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB), s.ioctl);
        EXPECT_EQ(SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL,
                  s.control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL));
        EXPECT_EQ(BulkOrInterruptCompletion, s.routine);
        EXPECT_EQ(s.urbAddress, s.context.Urb);
        EXPECT_EQ(fdo(), s.context.DeviceObject);
        EXPECT_EQ(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), s.urb.Hdr.Length);
        EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, s.urb.Hdr.Function);
        EXPECT_EQ(ext()->InterfaceInfo->Pipes[c.pipe].PipeHandle, s.urb.PipeHandle);
        EXPECT_EQ(c.read ? 0x3u : 0x2u, s.urb.TransferFlags);
        EXPECT_EQ(c.length, s.urb.TransferBufferLength);
        EXPECT_EQ(nullptr, s.urb.TransferBuffer);
        ASSERT_NE(nullptr, s.irpMdl);
        EXPECT_EQ(s.irpMdl, s.urb.TransferBufferMDL);
        EXPECT_EQ(nullptr, s.urb.UrbLink);
        EXPECT_EQ(1, s.slotsHoldingIrp) << "tracked in exactly one slot while in the USB stack";
        if (c.read) {
            Bytes got = app().Load(buffer, c.length);
            for (ULONG i = 0; i < c.length; ++i) ASSERT_EQ(i < expected ? Pattern(i) : out[i], got[i]) << i;
        } else {
            ASSERT_EQ(1u, usb.written.size());
            EXPECT_EQ(out, usb.written[0]);
        }
        EXPECT_EQ(STATUS_SUCCESS, app().Close(h));
        app().Flush();
        ExpectQuiet();
    }
}

// A transfer the USB stack fails keeps the stack's status and byte count; a byte count larger
// than the caller's buffer is never reported.
TEST_F(TransferTest, FailedTransfersReportTheStacksOutcome) {
    struct Case {
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG transferred;
        ULONG_PTR information;
    } cases[] = {
        {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 0},
        {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, 20, 20},
        {STATUS_SUCCESS, USBD_STATUS_SUCCESS, 600, 512},
    };
    Handle sync = Open(kBulkIn), async = Open(kBulkOut, true);
    PVOID buffer = app().Alloc(512);
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::StatusName(c.status) + " " + std::to_string(c.transferred));
        usb.status = c.status;
        usb.usbd = c.usbd;
        usb.transferred = c.transferred;
        usb.mode = AnswerMode::Inline;
        EXPECT_EQ(c.status, app().Read(sync, buffer, 512).status);
        usb.mode = AnswerMode::Pend;
        Overlapped ov;
        EXPECT_EQ(STATUS_PENDING, app().Write(async, buffer, 512, 0, &ov).status);
        ov.Wait();
        EXPECT_EQ(c.status, ov.Internal());
        EXPECT_EQ(c.information, ov.InternalHigh());
        ExpectQuiet();
    }
}

// Zero bytes: the request succeeds at once and nothing is sent, whether it comes without an MDL
// (as the I/O manager passes it) or with an empty one.
TEST_F(TransferTest, ZeroByteRequestsCompleteAtOnce) {
    PVOID buffer = app().Alloc(16);
    for (ULONG pipe : {kBulkIn, kBulkOut, kInterruptIn}) {
        Handle h = Open(pipe);
        for (bool read : {true, false}) {
            for (PVOID b : {static_cast<PVOID>(nullptr), buffer}) {
                SCOPED_TRACE(testing::Message() << "pipe " << pipe << (read ? " read" : " write") << " buffer " << b);
                bus().ClearTrace();
                IoResult r = Transfer(read, h, b, 0);
                EXPECT_EQ(STATUS_SUCCESS, r.status);
                EXPECT_TRUE(r.iosbWritten);
                EXPECT_EQ(0u, r.iosb.Information);
                EXPECT_TRUE(bus().Trace().empty());
                ExpectQuiet();
            }
        }
        EXPECT_EQ(STATUS_SUCCESS, app().Close(h));
    }
}

// A request that names no usable pipe is refused before anything is allocated or sent.
TEST_F(TransferTest, RequestsWithoutAUsablePipeAreRefused) {
    struct Case {
        const char* what;
        std::u16string name;
        NTSTATUS status;
        ULONG retype = kPipes;  // pipe whose type is made Control for the case
    } cases[] = {
        {"handle without a pipe", u"", STATUS_INVALID_HANDLE},
        {"entry without a pipe", u"\\KWDrvX", STATUS_INVALID_HANDLE},
        {"isochronous IN", PipeName(kIsoIn), STATUS_INVALID_DEVICE_REQUEST},
        {"isochronous OUT", PipeName(kIsoOut), STATUS_INVALID_DEVICE_REQUEST},
        {"control pipe", PipeName(kBulkIn), STATUS_INVALID_PARAMETER, kBulkIn},
    };
    PVOID buffer = app().Alloc(64);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::app::OpenResult o = app().Open(Path(c.name));
        ASSERT_EQ(STATUS_SUCCESS, o.status);
        USBD_PIPE_TYPE saved{};
        if (c.retype < kPipes) {
            saved = ext()->InterfaceInfo->Pipes[c.retype].PipeType;
            ext()->InterfaceInfo->Pipes[c.retype].PipeType = UsbdPipeTypeControl;
        }
        bus().ClearTrace();
        for (bool read : {true, false}) EXPECT_EQ(c.status, Transfer(read, o.handle, buffer, 64).status);
        EXPECT_TRUE(bus().Trace().empty());
        if (c.retype < kPipes) ext()->InterfaceInfo->Pipes[c.retype].PipeType = saved;
        EXPECT_EQ(STATUS_SUCCESS, app().Close(o.handle));
        app().Flush();
        ExpectQuiet();
    }
    // A read built by another driver carries no file object.
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
        EXPECT_EQ(STATUS_INVALID_HANDLE, sim::SendToStack(fdo(), major, 0).status);
    }
    ExpectQuiet();
}

// A restart with fewer pipes leaves a handle on a vanished pipe without pipe information; its
// requests are refused and never reach a stale pipe handle, while a surviving pipe still works.
TEST_F(TransferTest, HandleOfAPipeARestartRemovedIsRefused) {
    Handle gone = Open(kIsoIn), kept = Open(kBulkIn);
    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    bus().PlugIn(sim::usb::Device::FromJson(R"({
        "device": "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 01 02 03 01",
        "configuration": ["09 02 29 00 01 01 00 80 32", "09 04 00 00 00 ff 00 00 00",
                          "09 04 00 01 02 ff 00 00 00", "07 05 01 02 40 00 00", "07 05 81 02 40 00 00"]
    })"));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    ASSERT_EQ(nullptr, ext()->PipeTable[kIsoIn].PipeInfo);
    pool_ = sim::LivePoolCount();  // the replaced copies are kept until removal
    PVOID buffer = app().Alloc(32);
    bus().ClearTrace();
    EXPECT_EQ(STATUS_INVALID_HANDLE, app().Read(gone, buffer, 32).status);
    EXPECT_FALSE(BusSawTransfer());
    EXPECT_EQ(STATUS_SUCCESS, app().Read(kept, buffer, 32).status);
    ASSERT_EQ(1u, usb.sent.size());
    EXPECT_EQ(ext()->InterfaceInfo->Pipes[kBulkIn].PipeHandle, usb.sent[0].urb.PipeHandle);
    ExpectQuiet();
}

// With every slot busy a transfer is refused rather than sent where a stop could not cancel
// it; a slot that frees up is taken by the next transfer.
TEST_F(TransferTest, SlotExhaustionRefusesWithoutSending) {
    usb.mode = AnswerMode::Hold;
    Handle h = Open(kBulkIn, true);
    PVOID buffer = app().Alloc(64);
    std::vector<Overlapped> ov(KW_PENDING_TRANSFER_SLOTS + 1);
    for (size_t i = 0; i < KW_PENDING_TRANSFER_SLOTS; ++i) {
        ASSERT_EQ(STATUS_PENDING, app().Read(h, buffer, 64, 0, &ov[i]).status);
        EXPECT_EQ(i, usb.sent[i].slot);
    }
    Overlapped refused;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, app().Read(h, buffer, 64, 0, &refused).status);
    EXPECT_EQ(KW_PENDING_TRANSFER_SLOTS, usb.Count());
    EXPECT_EQ(static_cast<LONG>(1 + KW_PENDING_TRANSFER_SLOTS), ext()->OutstandingIo);

    bus().CompleteHeld(sim::usb::Answer{});  // the oldest: slot 0
    ov[0].Wait();
    EXPECT_EQ(STATUS_SUCCESS, ov[0].Internal());
    ASSERT_EQ(STATUS_PENDING, app().Read(h, buffer, 64, 0, &ov.back()).status);
    EXPECT_EQ(0u, usb.sent.back().slot);
    for (size_t i = 0; i < KW_PENDING_TRANSFER_SLOTS; ++i) bus().CompleteHeld(sim::usb::Answer{});
    for (Overlapped& o : ov) {
        o.Wait();
        EXPECT_EQ(STATUS_SUCCESS, o.Internal());
        EXPECT_EQ(64u, o.InternalHigh());
    }
    ExpectQuiet();
}

// A caller's CancelIo and a device stop both end transfers held in the USB stack; each passes
// through the completion routine once and gives its slot back.
TEST_F(TransferTest, CancelIoAndStopEndTrackedTransfers) {
    usb.mode = AnswerMode::Hold;
    Handle a = Open(kBulkIn, true), b = Open(kInterruptIn, true);
    PVOID buffer = app().Alloc(64);
    Overlapped a1, a2, b1;
    ASSERT_EQ(STATUS_PENDING, app().Read(a, buffer, 64, 0, &a1).status);
    ASSERT_EQ(STATUS_PENDING, app().Read(b, buffer, 8, 0, &b1).status);
    ASSERT_EQ(STATUS_PENDING, app().Read(a, buffer, 64, 0, &a2).status);
    EXPECT_EQ(STATUS_SUCCESS, app().CancelIo(b));
    EXPECT_EQ(STATUS_CANCELLED, b1.Internal());
    EXPECT_EQ(nullptr, ext()->PendingTransfers[1]);
    EXPECT_EQ(3, ext()->OutstandingIo);

    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    for (Overlapped* o : {&a1, &a2}) {
        o->Wait();
        EXPECT_EQ(STATUS_CANCELLED, o->Internal());
    }
    ExpectQuiet();
}

// Every allocation of a read or write failed in turn: STATUS_INSUFFICIENT_RESOURCES, nothing
// sent, nothing leaked, no reference or slot kept.
TEST_F(TransferTest, ReadWriteFaultSweep) {
    usb.touchData = false;
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
            bus().ClearTrace();
            NTSTATUS st = Transfer(read, read ? in : out, buffer, 128).status;
            EXPECT_EQ(1u, sim::faults::InjectedCount());
            sim::faults::Clear();
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, st);
            EXPECT_FALSE(BusSawTransfer());
            ExpectQuiet();
        }
    }
}

// Opens racing for one pipe: exactly one wins each round. Opens racing by a name that several
// entries carry: each binds an entry of its own. The threads are released together by a spin
// so that their claims overlap as closely as the machine allows.
TEST_F(TransferTest, ConcurrencyOpensRaceForPipes) {
    const int threadCount = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 6);
    constexpr int kRounds = 400;
    for (const std::u16string& name : {std::u16string(u"\\KWDrv1"), std::u16string(u"\\KWDrv")}) {
        SCOPED_TRACE(sim::Narrow(name));
        const bool single = name.size() == 7;  // one entry carries it
        for (int round = 0; round < kRounds; ++round) {
            std::vector<std::unique_ptr<RawFile>> files;
            for (int t = 0; t < threadCount; ++t) files.push_back(std::make_unique<RawFile>(name));
            std::vector<NTSTATUS> status(threadCount);
            std::atomic<int> ready{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < threadCount; ++t) {
                threads.emplace_back([&, t] {
                    ready.fetch_add(1);
                    while (ready.load() < threadCount) {
                    }
                    status[t] = files[t]->Send(fdo(), IRP_MJ_CREATE);
                });
            }
            for (auto& t : threads) t.join();
            std::set<PPIPE_CONTEXT> bound;
            for (int t = 0; t < threadCount; ++t) {
                if (NT_SUCCESS(status[t])) bound.insert(files[t]->Context());
            }
            ASSERT_EQ(single ? 1u : static_cast<size_t>(threadCount), bound.size()) << "round " << round;
            ASSERT_EQ(bound.size(), static_cast<size_t>(std::count(status.begin(), status.end(), STATUS_SUCCESS)));
            ASSERT_EQ(bound.size(), HeldSlots(ext()).size());
            for (int t = 0; t < threadCount; ++t) {
                if (NT_SUCCESS(status[t])) {
                    EXPECT_EQ(STATUS_SUCCESS, files[t]->Send(fdo(), IRP_MJ_CLOSE));
                }
            }
            ASSERT_TRUE(HeldSlots(ext()).empty());
        }
    }
    EXPECT_EQ(1, ext()->OutstandingIo);
}

// Transfers on several pipes at once, completed from the DPC thread: every transfer is tracked
// in exactly one slot of its own while in flight, and nothing is left afterwards.
TEST_F(TransferTest, ConcurrencyTransfersShareTheSlotTable) {
    usb.mode = AnswerMode::Pend;
    usb.touchData = false;
    usb.transferred = 5;
    constexpr int kRequests = 200;
    std::vector<std::thread> threads;
    for (ULONG pipe : {kBulkOut, kBulkIn, kInterruptIn}) {
        Handle h = Open(pipe);
        PVOID buffer = app().Alloc(32);
        threads.emplace_back([this, h, pipe, buffer] {
            for (int i = 0; i < kRequests; ++i) {
                IoResult r = Transfer(pipe != kBulkOut, h, buffer, 32);
                ASSERT_EQ(STATUS_SUCCESS, r.status);
                ASSERT_EQ(5u, r.iosb.Information);
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(3u * kRequests, usb.Count());
    for (const Submitted& s : usb.sent) ASSERT_EQ(1, s.slotsHoldingIrp);
    ExpectQuiet();
}

}  // namespace

namespace {

// A restart keeps a pipe bound to the handle that holds it: no second handle can open it until
// that handle closes.
TEST_F(TransferTest, HandleKeepsItsPipeAcrossARestart) {
    Handle h = Open(kBulkIn);
    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, app().Open(Path(PipeName(kBulkIn))).status);
    EXPECT_EQ(STATUS_SUCCESS, app().Close(h));
    Handle again = Open(kBulkIn);
    EXPECT_EQ(STATUS_SUCCESS, app().Close(again));
}

}  // namespace
