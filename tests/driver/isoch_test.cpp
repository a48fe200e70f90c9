// Isochronous reads and writes from an application: the URB laid over the caller's buffer, start
// frames, the frame-number query answered inline, pending or failing, the requests refused before
// anything is sent, a fault sweep, streaming through the firmware's loopback, and what a stop, a
// surprise removal and a removal do to requests in flight.
#include "driver_fixture.h"

#include <usbdlib.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

using namespace drivertest;
using sim::app::Handle;
using sim::app::IoResult;
using sim::app::Overlapped;
using sim::usb::AnswerMode;

namespace {

// The test firmware's isochronous pipes have 256-byte packets, OUT looped to IN.
constexpr LONGLONG kAsap = 0;
constexpr LONGLONG At(ULONG frames) { return (LONGLONG{1} << 32) | frames; }

// An isochronous URB as the USB stack saw it when it was submitted.
struct SentIso {
    struct _URB_ISOCH_TRANSFER urb;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
    PMDL irpMdl;
};

// Records the URBs that reach the stack and lets the model answer them, unless told to fail the
// frame-number query or to hold isochronous transfers (not cancelable) until the test ends them.
struct IsoStack {
    std::mutex m;
    std::vector<SentIso> sent;
    std::vector<USHORT> functions;  // every URB function, in order
    std::optional<AnswerMode> failQuery;
    bool holdTransfers = false;

    std::optional<sim::usb::Answer> Answer(PIRP irp, PIO_STACK_LOCATION s) {
        if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return std::nullopt;
        auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        std::lock_guard<std::mutex> g(m);
        functions.push_back(urb->UrbHeader.Function);
        if (urb->UrbHeader.Function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER && failQuery) {
            return Answered(*failQuery, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_INTERNAL_HC_ERROR);
        }
        if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return std::nullopt;
        const auto& iso = urb->UrbIsochronousTransfer;
        sent.push_back({iso, {iso.IsoPacket, iso.IsoPacket + iso.NumberOfPackets}, irp->MdlAddress});
        if (!holdTransfers) return std::nullopt;
        return Answered(AnswerMode::Hold, STATUS_SUCCESS, USBD_STATUS_SUCCESS, false);
    }
};

class IsochTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        bus().SetScript([this](PIRP irp, PIO_STACK_LOCATION s) { return stack.Answer(irp, s); });
    }
    Handle Open(ULONG pipe) { return AppTest::Open(pipe, true); }
    // Issues one request and runs the clock until it has completed.
    Overlapped* Run(bool read, Handle h, PVOID buffer, ULONG length, LONGLONG offset) {
        ov_ = std::make_unique<Overlapped>();
        IoResult r = Transfer(read, h, buffer, length, ov_.get(), offset);
        if (r.status != STATUS_PENDING) {
            result_ = r;
            return nullptr;
        }
        for (int i = 0; i < 2000 && !ov_->Signalled(); ++i) {
            bus().AdvanceFrames(8);
            sim::FlushDpcs();
        }
        ov_->Wait();
        return ov_.get();
    }
    void SetFrame(ULONG frame) {
        ASSERT_LE(bus().FrameNumber(), frame);
        bus().AdvanceFrames(frame - bus().FrameNumber());
    }
    void Clear() {
        std::lock_guard<std::mutex> g(stack.m);
        stack.sent.clear();
        stack.functions.clear();
    }
    IsoStack stack;
    IoResult result_;
    std::unique_ptr<Overlapped> ov_;
};

// What reaches the USB stack for one request: the packet layout, flags and start frame of one URB,
// after exactly one pipe reset and, for a start frame, one frame-number query; a request that
// waits for a pending query; a failed query failing the request with its status and no transfer;
// and requests refused before anything is sent (those against the pipe's direction are in the
// transfer suite's table).
TEST_F(IsochTest, UrbsOfRequestsAndTheFrameQuery) {
    constexpr USHORT kReset = URB_FUNCTION_RESET_PIPE, kQuery = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER,
                     kIso = URB_FUNCTION_ISOCH_TRANSFER;
    // frame: the bus's frame number before the request (0: as the last one left it); status
    // STATUS_PENDING: whatever the stack made of the URB; packets 0: no URB to look at.
    struct Case { const char* what; bool read; ULONG length; USHORT packetSize; LONGLONG offset; ULONG frame;
                  NTSTATUS status; std::vector<USHORT> sent; ULONG packets, flags, startFrame;
                  std::optional<AnswerMode> failQuery = {}; bool pendQuery = false; } cases[] = {
        {"read 0xFFFFFFFF frames ahead of 10 (wraps)", true, 256, 256, At(0xFFFFFFFF), 10, STATUS_PENDING,
         {kReset, kQuery, kIso}, 1, 0x1, 9},
        {"1000 bytes of 64-byte packets", true, 1000, 64, kAsap, 0, STATUS_SUCCESS, {kReset, kIso}, 16, 0x5, 0},
        {"1024 bytes of 64-byte packets", false, 1024, 64, kAsap, 0, STATUS_SUCCESS, {kReset, kIso}, 16, 0x4, 0},
        {"10 bytes of 1023-byte packets", false, 10, 1023, kAsap, 0, STATUS_SUCCESS, {kReset, kIso}, 1, 0x4, 0},
        {"write 8 frames ahead of 5000", false, 600, 256, At(8), 5000, STATUS_SUCCESS, {kReset, kQuery, kIso}, 3, 0x0, 5008},
        {"the most packets a URB carries", false, 255 * 16, 16, kAsap, 0, STATUS_SUCCESS, {kReset, kIso}, 255, 0x4, 0},
        {"query pends, then the transfer goes", false, 64, 256, At(4), 6000, STATUS_SUCCESS, {kReset, kQuery, kIso},
         1, 0x0, 6004, {}, true},
        {"query fails at once", false, 64, 256, At(4), 6100, STATUS_DEVICE_DATA_ERROR, {kReset, kQuery}, 0, 0, 0,
         AnswerMode::Inline},
        {"query fails later", true, 64, 256, At(4), 6200, STATUS_DEVICE_DATA_ERROR, {kReset, kQuery}, 0, 0, 0,
         AnswerMode::Pend},
        {"packet size 0", false, 64, 0, kAsap, 0, STATUS_INVALID_DEVICE_STATE, {}, 0, 0, 0},
        {"256 packets", false, 255 * 16 + 1, 16, kAsap, 0, STATUS_INVALID_PARAMETER, {}, 0, 0, 0},
        {"5454 packets (the URB size would wrap)", false, 5454, 1, kAsap, 0, STATUS_INVALID_PARAMETER, {}, 0, 0, 0},
    };
    Handle h[] = {Open(kIsoOut), Open(kIsoIn)};
    PVOID buffer = app().Alloc(8192);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ULONG pipe = c.read ? kIsoIn : kIsoOut;
        USHORT& packetSize = ext()->InterfaceInfo->Pipes[pipe].MaximumPacketSize;
        const USHORT saved = std::exchange(packetSize, c.packetSize);
        stack.failQuery = c.failQuery;
        bus().SetFrameNumberMode(c.pendQuery ? AnswerMode::Pend : AnswerMode::Inline);
        if (c.frame != 0) SetFrame(c.frame);
        Clear();
        Overlapped* ov = Run(c.read, h[c.read], buffer, c.length, c.offset);
        packetSize = saved;
        const NTSTATUS status = ov != nullptr ? ov->Internal() : result_.status;
        EXPECT_TRUE(c.status == STATUS_PENDING || c.status == status) << sim::StatusName(status);
        EXPECT_LE(ov != nullptr ? ov->InternalHigh() : result_.iosb.Information, NT_SUCCESS(status) ? c.length : 0);
        EXPECT_EQ(c.sent, stack.functions);
        ExpectQuiet();
        if (c.packets == 0) continue;
        ASSERT_EQ(1u, stack.sent.size());
        const SentIso& s = stack.sent[0];
        EXPECT_EQ(GET_ISO_URB_SIZE(c.packets), s.urb.Hdr.Length);
        if (sizeof(PVOID) == 4) {
            EXPECT_EQ(12 * (c.packets + 8), s.urb.Hdr.Length);
        }
        EXPECT_EQ(URB_FUNCTION_ISOCH_TRANSFER, s.urb.Hdr.Function);
        EXPECT_EQ(ext()->InterfaceInfo->Pipes[pipe].PipeHandle, s.urb.PipeHandle);
        EXPECT_EQ(c.flags, s.urb.TransferFlags);
        EXPECT_EQ(c.length, s.urb.TransferBufferLength);
        EXPECT_EQ(nullptr, s.urb.TransferBuffer);
        EXPECT_EQ(s.irpMdl, s.urb.TransferBufferMDL);
        EXPECT_EQ(nullptr, s.urb.UrbLink);
        EXPECT_EQ(c.startFrame, s.urb.StartFrame);
        EXPECT_EQ(0u, s.urb.ErrorCount);
        ASSERT_EQ(c.packets, s.urb.NumberOfPackets);
        for (ULONG i = 0; i < c.packets; ++i) {
            EXPECT_EQ(i * c.packetSize, s.packets[i].Offset) << i;
            EXPECT_EQ(0u, s.packets[i].Length | s.packets[i].Status) << i;
        }
    }
    stack.failQuery.reset();
    bus().SetFrameNumberMode(AnswerMode::Inline);
    for (Handle x : h) Close(x);
    ExpectQuiet();
}

// On a high-speed pipe a request's URB has packets of the pipe's payload per bus interval, as many
// as whole frames need (8 a frame at bInterval 1), the ones past the data empty; at most 1024, so a
// longer request is refused before anything is sent.
class IsochHighSpeedTest : public IsochTest {
protected:
    IsochHighSpeedTest() { device_ = DeviceFile("hs_firmware.json"); }
};

TEST_F(IsochHighSpeedTest, UrbsCoverWholeFrames) {
    struct Case { ULONG length; NTSTATUS status; ULONG packets; } cases[] = {
        {1, STATUS_SUCCESS, 8},
        {8 * 1024, STATUS_SUCCESS, 8},
        {8 * 1024 + 1, STATUS_SUCCESS, 16},
        {1024 * 1024, STATUS_SUCCESS, 1024},
        {1024 * 1024 + 1, STATUS_INVALID_PARAMETER, 0},
    };
    const Handle out = Open(kIsoOut);
    PVOID buffer = app().Alloc(1024 * 1024 + 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Clear();
        Overlapped* ov = Run(false, out, buffer, c.length, kAsap);
        EXPECT_EQ(c.status, ov != nullptr ? ov->Internal() : result_.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(stack.sent.empty());
            continue;
        }
        EXPECT_EQ(c.length, ov->InternalHigh());
        ASSERT_EQ(1u, stack.sent.size());
        const std::vector<USBD_ISO_PACKET_DESCRIPTOR>& packets = stack.sent[0].packets;
        ASSERT_EQ(c.packets, packets.size());
        for (ULONG i = 0; i < c.packets; ++i) ASSERT_EQ(std::min(i * 1024, c.length), packets[i].Offset) << i;
    }
    Close(out);
    ExpectQuiet();
}

// Every injectable call of an isochronous read and write (with a start frame) failed in turn: the
// request fails with STATUS_INSUFFICIENT_RESOURCES, or goes ahead when only the pipe reset failed;
// nothing leaks, and at most one transfer goes down.
TEST_F(IsochTest, FaultSweep) {
    Handle h[] = {Open(kIsoOut), Open(kIsoIn)};
    PVOID buffer = app().Alloc(512);
    for (bool read : {true, false}) {
        SCOPED_TRACE(read ? "read" : "write");
        sim::faults::Clear();
        ASSERT_NE(nullptr, Run(read, h[read], buffer, 512, At(2)));
        const uint64_t calls = sim::faults::CallCount();
        ASSERT_GE(calls, 3u);  // the reset URB, its request, the isochronous URB
        for (uint64_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE(n);
            sim::faults::Clear();
            sim::faults::FailOrdinal(n);
            Clear();
            Overlapped* ov = Run(read, h[read], buffer, 512, At(2));
            sim::faults::Clear();
            const NTSTATUS st = ov != nullptr ? ov->Internal() : result_.status;
            if (st != STATUS_SUCCESS) {
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, st);
            }
            EXPECT_LE(stack.sent.size(), 1u);
            ExpectQuiet();
        }
    }
}

// A stop, a surprise removal and a removal with isochronous requests in flight: each request
// completes once, its reference is released, and nothing leaks. A stop ends them through the null
// configuration, a surprise removal through the device's departure; a stack that holds them keeps
// their references counted, so the removal (which comes only once every file is closed) waits.
enum class Event { Stop, SurpriseRemoval, HeldThenRemoval };
class IsochLifeTest : public IsochTest, public ::testing::WithParamInterface<Event> {};

TEST_P(IsochLifeTest, RequestsInFlight) {
    const Event e = GetParam();
    {
        stack.holdTransfers = e == Event::HeldThenRemoval;
        Handle out = Open(kIsoOut), in = Open(kIsoIn);
        PVOID buffer = app().Alloc(1024);
        std::vector<std::unique_ptr<Overlapped>> requests;
        for (int i = 0; i < 4; ++i) {
            requests.push_back(std::make_unique<Overlapped>());
            const bool read = i % 2 != 0;
            IoResult r = Transfer(read, read ? in : out, buffer, 1024, requests.back().get(), kAsap);
            EXPECT_EQ(STATUS_PENDING, r.status);
        }
        EXPECT_EQ(5, ext()->OutstandingIo);
        NTSTATUS expected = STATUS_CANCELLED;
        if (e == Event::Stop) {
            EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Rebalance(bus().Pdo()).restart.start.status);
        } else if (e == Event::SurpriseRemoval) {
            bus().Unplug();
            sim::pnp::SurpriseRemoval(bus().Pdo());
            expected = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            EXPECT_EQ(STATUS_SUCCESS, app().Close(out));
            EXPECT_EQ(STATUS_SUCCESS, app().Close(in));
            EXPECT_EQ(2u, sim::pnp::OpenFiles(bus().Pdo()));  // held by the requests in flight
            EXPECT_EQ(5, ext()->OutstandingIo);
            while (bus().HeldCount() != 0) {
                bus().CompleteHeld(Answered(AnswerMode::Inline, STATUS_CANCELLED, USBD_STATUS_CANCELED));
            }
        }
        for (auto& r : requests) {
            r->Wait();
            EXPECT_EQ(expected, r->Internal());
        }
        if (e != Event::HeldThenRemoval) {
            EXPECT_EQ(STATUS_SUCCESS, app().Close(out));
            EXPECT_EQ(STATUS_SUCCESS, app().Close(in));
        }
        // The last request's file reference goes just after its completion is reported; the close
        // that follows reaches the driver from the I/O manager's worker thread.
        for (int i = 0; i < 100000 && sim::pnp::OpenFiles(bus().Pdo()) != 0; ++i) {
            app().Flush();
            std::this_thread::yield();
        }
        app().Free(buffer);
        EXPECT_EQ(0u, sim::pnp::OpenFiles(bus().Pdo()));
        EXPECT_EQ(1, ext()->OutstandingIo);
        if (e != Event::Stop) {
            PDEVICE_OBJECT device = fdo();
            Remove();
            sim::FlushDpcs();
            EXPECT_FALSE(sim::DeviceExists(device));
            EXPECT_EQ(0u, sim::LiveIrpCount());
            return;  // the device is gone
        }
        EXPECT_EQ(0u, sim::LiveIrpCount());
    }
}

INSTANTIATE_TEST_SUITE_P(StopAndRemoval, IsochLifeTest,
                         ::testing::Values(Event::Stop, Event::SurpriseRemoval, Event::HeldThenRemoval));

}  // namespace

namespace {

// A writer and a reader on the firmware's isochronous loopback, each keeping four requests of
// eight packets in flight for a few thousand frames. The clock moves one frame at a time, and only
// while each side that is still streaming has all its requests queued in the USB stack, so no
// packet is late by accident. Halfway through, the writer lets its stream run dry and asks for a
// start frame three frames in the past: that request reports its four late packets by moving only
// the other four. Every packet the writer got through arrives at the reader, whole and in order;
// nothing leaks. Runs in the ThreadSanitizer leg.
class IsochStreamTest : public IsochTest {
protected:
    using Bytes = std::vector<UCHAR>;
    static constexpr ULONG kPacket = 256, kPackets = 8, kBytes = kPacket * kPackets, kInFlight = 4;
    static constexpr ULONG kRequests = 300, kLateRequest = 150;

    struct Request {
        Overlapped ov;
        PVOID buffer = nullptr;
    };
    // One side's requests, oldest first. Its thread adds and retires them; the clock looks.
    struct Side {
        std::mutex m;
        std::deque<std::unique_ptr<Request>> queue;
        bool streaming = true;  // false while the side lets its queue run dry, and at its end
        bool holding = false;   // true while the side's request asks for a frame: the clock waits
        bool Queued() {  // every request still in the stack, and as many as the side keeps
            std::lock_guard<std::mutex> g(m);
            if (holding) return false;
            if (!streaming) return true;
            if (queue.size() != kInFlight) return false;
            return std::none_of(queue.begin(), queue.end(), [](const auto& r) { return r->ov.Signalled(); });
        }
        void SetStreaming(bool on) {
            std::lock_guard<std::mutex> g(m);
            streaming = on;
        }
        void SetHolding(bool on) {
            std::lock_guard<std::mutex> g(m);
            holding = on;
        }
    };

    static UCHAR Byte(ULONG seq, ULONG j) {
        return j < 4 ? static_cast<UCHAR>(seq >> (8 * j)) : static_cast<UCHAR>(seq * 7 + j);
    }

    // Issues a request of packets seq, seq + 1, ... (a write) or of 0xEE bytes (a read).
    Request& Issue(Side& side, bool read, Handle h, ULONG seq, LONGLONG offset) {
        auto r = std::make_unique<Request>();
        r->buffer = app().Alloc(kBytes);
        Bytes data(kBytes, 0xEE);
        for (ULONG p = 0; !read && p < kPackets; ++p)
            for (ULONG j = 0; j < kPacket; ++j) data[p * kPacket + j] = Byte(seq + p, j);
        app().Store(r->buffer, data.data(), data.size());
        // Counted as queued once the dispatch has returned: the request is then in the stack.
        EXPECT_EQ(STATUS_PENDING, Transfer(read, h, r->buffer, kBytes, &r->ov, offset).status);
        std::lock_guard<std::mutex> g(side.m);
        side.queue.push_back(std::move(r));
        return *side.queue.back();
    }
    // Waits for the oldest request of a side and takes it off; returns its status and bytes.
    std::pair<NTSTATUS, ULONG> Retire(Side& side, Bytes* data = nullptr) {
        Request* r;
        {
            std::lock_guard<std::mutex> g(side.m);
            r = side.queue.front().get();
        }
        r->ov.Wait();
        const std::pair<NTSTATUS, ULONG> result{r->ov.Internal(), static_cast<ULONG>(r->ov.InternalHigh())};
        if (data != nullptr) *data = app().Load(r->buffer, kBytes);
        app().Free(r->buffer);
        std::lock_guard<std::mutex> g(side.m);
        side.queue.pop_front();
        return result;
    }
    // The writer: kRequests requests, the one numbered kLateRequest after a pause and in the past.
    void Write(Handle out) {
        for (ULONG n = 0, seq = 0; n < kRequests; ++n, seq += kPackets) {
            const bool late = n == kLateRequest;
            if (late) writer.SetStreaming(false);
            while (!writer.queue.empty() && (late || writer.queue.size() == kInFlight)) {
                EXPECT_EQ(STATUS_SUCCESS, Retire(writer).first);
            }
            // The late request's start frame is three behind the frame the driver reads for it:
            // the clock stands still from that read until the request is in the stack.
            if (late) writer.SetHolding(true);
            Issue(writer, false, out, seq, late ? At(0xFFFFFFFD) : kAsap);
            if (late) writer.SetHolding(false);
            for (ULONG p = late ? 4 : 0; p < kPackets; ++p) delivered.push_back(seq + p);
            deliveredCount = delivered.size();
            if (late) {
                lateRequestBytes = Retire(writer).second;
                writer.SetStreaming(true);
            }
        }
        writer.SetStreaming(false);
        while (!writer.queue.empty()) EXPECT_EQ(STATUS_SUCCESS, Retire(writer).first);
        writerDone = true;
        app().ExitThread();
    }
    // Takes the oldest read: every slot holds a whole packet or is untouched (a packet without data).
    void TakeRead() {
        Bytes got;
        auto [status, bytes] = Retire(reader, &got);
        EXPECT_EQ(STATUS_SUCCESS, status);
        ULONG packets = 0;
        for (ULONG p = 0; p < kPackets; ++p) {
            const UCHAR* slot = got.data() + p * kPacket;
            if (std::all_of(slot, slot + 4, [](UCHAR b) { return b == 0xEE; })) continue;
            const ULONG seq = slot[0] | slot[1] << 8 | slot[2] << 16 | ULONG{slot[3]} << 24;
            for (ULONG j = 0; j < kPacket; ++j) ASSERT_EQ(Byte(seq, j), slot[j]) << "packet " << seq;
            received.push_back(seq);
            ++packets;
        }
        EXPECT_EQ(packets * kPacket, bytes);
    }
    // The reader: reads until the writer has ended and every packet it got through has arrived
    // (or, should packets be lost, a few requests more).
    void Read(Handle in) {
        for (ULONG after = 0; !(writerDone && received.size() >= deliveredCount) && after < 2 * kInFlight;) {
            if (reader.queue.size() == kInFlight) TakeRead();
            Issue(reader, true, in, 0, kAsap);
            after += writerDone ? 1 : 0;
        }
        reader.SetStreaming(false);
        while (!reader.queue.empty()) TakeRead();
        readerDone = true;
        app().ExitThread();
    }

    Side writer, reader;
    std::vector<ULONG> delivered, received;  // sequence numbers of packets written on time, read
    std::atomic<size_t> deliveredCount{0};
    std::atomic<bool> writerDone{false}, readerDone{false};
    ULONG lateRequestBytes = 0;
};

TEST_F(IsochStreamTest, ConcurrencyStreamThroughTheLoopback) {
    Handle out = Open(kIsoOut), in = Open(kIsoIn);
    std::thread writing([&] { Write(out); });
    std::thread reading([&] { Read(in); });
    while (!(writerDone && readerDone)) {
        if (writer.Queued() && reader.Queued()) {
            bus().AdvanceFrames(1);
            sim::FlushDpcs();  // requests that ended in this frame are completed before the next
        } else {
            std::this_thread::yield();
        }
    }
    writing.join();
    reading.join();
    EXPECT_EQ(4 * kPacket, lateRequestBytes);
    EXPECT_EQ(kRequests * kPackets - 4, received.size());
    EXPECT_EQ(delivered, received);
    Close(out);
    Close(in);
    ExpectQuiet();
}

}  // namespace
