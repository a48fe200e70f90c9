// What the Windows USB stack does with data transfers, vendor requests and the port: bulk and
// interrupt transfers through the device model (packets, short packets, stalls and halts, queue
// order, cancellation, abort), isochronous packets frame by frame, the device going away and the
// PDO being removed, port reset, vendor and class requests, and the frame counter.
#include "usb_fixture.h"

#include <mutex>
#include <thread>

using namespace usbtest;

namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kInShortOk = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;

Bytes Counting(size_t n, UCHAR seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UCHAR>(seed + 7 * i);
    return b;
}

class UsbTransferTest : public UsbStackTest {
protected:
    struct Moved {
        NTSTATUS status = 0;
        USBD_STATUS usbd = 0;
        ULONG length = 0;  // TransferBufferLength after completion
        Bytes data;        // IN: the bytes the stack reported
    };

    // One transfer that the test waits for (it must end).
    Moved Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes data) {
        URB u = BulkUrb(pipe, data.data(), static_cast<ULONG>(data.size()), flags);
        Moved m;
        m.status = Submit(&u).status;
        m.usbd = u.UrbHeader.Status;
        m.length = u.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (flags & kIn) {
            for (size_t i = m.length; i < data.size(); ++i) {
                EXPECT_EQ(0xEE, data[i]) << "written beyond the bytes reported";
            }
            data.resize(std::min<size_t>(m.length, data.size()));
            m.data = data;
        }
        return m;
    }
    Moved Write(USBD_PIPE_HANDLE pipe, const Bytes& data) { return Transfer(pipe, kOut, data); }
    Moved Read(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = kInShortOk) {
        return Transfer(pipe, flags, Bytes(length, 0xEE));
    }

    sim::RequestResult ResetPort() {
        return sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
        });
    }

    sim::RequestResult ReadDeviceDescriptor() {
        std::vector<UCHAR> buffer(18);
        URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer.data(), 18);
        return Submit(&urb);
    }

    static URB VendorUrb(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, PVOID buffer,
                         ULONG length, PMDL mdl = nullptr) {
        URB u = ZeroUrb();
        UsbBuildVendorRequest(&u, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request,
                              value, index, buffer, mdl, length, nullptr);
        return u;
    }
};

// ---------------------------------------------------------------------------------------------
// Data movement
// ---------------------------------------------------------------------------------------------

TEST_F(UsbTransferTest, LoopbackKeepsDataAcrossPacketBoundaries) {
    auto r = Select(0);
    const USBD_PIPE_HANDLE out = r->Pipe(0), in = r->Pipe(1);
    ULONG packets = 0;
    for (ULONG n : {1u, 63u, 64u, 65u, 128u, 200u, 1000u}) {
        SCOPED_TRACE(n);
        const Bytes sent = Counting(n, static_cast<UCHAR>(n));
        Moved w = Write(out, sent);
        EXPECT_EQ(STATUS_SUCCESS, w.status);
        EXPECT_EQ(n, w.length);
        EXPECT_EQ(n, device_->FifoBytes(0x81));
        // A multiple of the packet size is read exactly; anything else ends at the short packet.
        Moved got = Read(in, n % 64 == 0 ? n : n + 100);
        EXPECT_EQ(USBD_STATUS_SUCCESS, got.usbd);
        EXPECT_EQ(sent, got.data);
        EXPECT_EQ(0u, device_->FifoBytes(0x81));
        packets += (n + 63) / 64;
        // One toggle per packet, and both sides agree.
        EXPECT_EQ(static_cast<int>(packets % 2), bus_->Pipe(out)->toggle);
        EXPECT_EQ(device_->Toggle(0x01), bus_->Pipe(out)->toggle);
        EXPECT_EQ(device_->Toggle(0x81), bus_->Pipe(in)->toggle);
    }
    // One write read back in pieces: the first two end full, the last at the short packet.
    const Bytes sent = Counting(200, 3);
    Write(out, sent);
    Bytes joined;
    for (ULONG piece : {64u, 64u, 128u}) {
        Moved m = Read(in, piece);
        joined.insert(joined.end(), m.data.begin(), m.data.end());
    }
    EXPECT_EQ(sent, joined);

    // Through MDLs over non-paged pool, TransferBuffer left NULL.
    auto* pool = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 128, 0x74736554));
    std::memcpy(pool, Counting(100, 9).data(), 100);
    PMDL mdl = IoAllocateMdl(pool, 128, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB w = BulkUrb(out, nullptr, 100, kOut, mdl);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&w).status);
    std::memset(pool, 0, 128);
    URB rd = BulkUrb(in, nullptr, 128, kInShortOk, mdl);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&rd).status);
    EXPECT_EQ(100u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(Counting(100, 9), Bytes(pool, pool + 100));
    IoFreeMdl(mdl);
    ExFreePoolWithTag(pool, 0x74736554);
}

TEST_F(UsbTransferTest, SourceAndSinkEndpoints) {
    bus_->PlugIn(Load("vendor_interface.json"));
    device_ = bus_->PluggedDevice();
    auto r = Select(1);  // bulk OUT 0x02 (sink), bulk IN 0x86 (source, 32 bytes), interrupt IN 0x87
    Moved m = Read(r->Pipe(1), 96);
    EXPECT_EQ(USBD_STATUS_SUCCESS, m.usbd);
    ASSERT_EQ(96u, m.data.size());  // a source never runs dry: the buffer fills
    for (size_t i = 0; i < m.data.size(); ++i) EXPECT_EQ(i % 2 ? 0x5A : 0xA5, m.data[i]) << i;
    EXPECT_EQ(STATUS_SUCCESS, Write(r->Pipe(0), Bytes(100, 1)).status);
    EXPECT_EQ(100u, device_->SinkBytes(0x02));
    // The report queued when the setting was selected; then the endpoint waits.
    EXPECT_EQ(B("01 02"), Read(r->Pipe(2), 16).data);
}

TEST_F(UsbTransferTest, CompletesFromTheDpcThreadOrInline) {
    auto r = Select(0);
    Bytes data(10, 1), buffer(64);
    URB w = BulkUrb(r->Pipe(0), data.data(), 10, kOut);
    {
        Async a(bus_->Pdo(), &w);
        a.Wait();
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    bus_->SetTransferMode(AnswerMode::Inline);
    URB rd = BulkUrb(r->Pipe(1), buffer.data(), 64, kInShortOk);
    {
        Async a(bus_->Pdo(), &rd);
        EXPECT_TRUE(a.Done());
        EXPECT_EQ(STATUS_SUCCESS, a.Returned());
        EXPECT_EQ(PASSIVE_LEVEL, a.Irql());
        EXPECT_EQ(10u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    // A transfer that has to wait completes from the DPC thread all the same; the write that
    // feeds it completes inline.
    rd = BulkUrb(r->Pipe(1), buffer.data(), 64, kInShortOk);
    Async waiting(bus_->Pdo(), &rd);
    EXPECT_EQ(STATUS_PENDING, waiting.Returned());
    {
        Async a(bus_->Pdo(), &w);
        EXPECT_EQ(STATUS_SUCCESS, a.Returned());
    }
    waiting.Wait();
    EXPECT_EQ(DISPATCH_LEVEL, waiting.Irql());
    EXPECT_EQ(10u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
}

// A short packet ends an IN transfer. Without USBD_SHORT_TRANSFER_OK it is an error on UHCI/OHCI
// (and the pipe halts) but not on EHCI; more data than the buffer holds is always an error.
TEST_F(UsbTransferTest, ShortAndOverlongInPackets) {
    struct Case {
        ShortTransferRule rule;
        ULONG flags;
        ULONG asked;
        USBD_STATUS usbd;
        NTSTATUS status;
        ULONG delivered;
        bool halted;
    };
    const Case cases[] = {
        {ShortTransferRule::FailAndHalt, kInShortOk, 64, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 10, false},
        {ShortTransferRule::FailAndHalt, kIn, 64, USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL, 10, true},
        {ShortTransferRule::Accept, kIn, 64, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 10, false},
        {ShortTransferRule::FailAndHalt, kIn, 10, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 10, false},  // not short
        {ShortTransferRule::Accept, kInShortOk, 4, USBD_STATUS_DATA_OVERRUN, STATUS_UNSUCCESSFUL, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.asked) + " bytes, flags " + std::to_string(c.flags));
        bus_->SetShortTransferRule(c.rule);
        auto r = Select(0);
        Write(r->Pipe(0), Counting(10, 0));
        Moved m = Read(r->Pipe(1), c.asked, c.flags);
        EXPECT_EQ(c.usbd, m.usbd);
        EXPECT_EQ(c.status, m.status);
        EXPECT_EQ(c.delivered, m.length);
        EXPECT_EQ(Counting(c.delivered, 0), m.data);
        EXPECT_EQ(c.halted, bus_->Pipe(r->Pipe(1))->halted);
        if (!c.halted || !bus_->Pipe(r->Pipe(1))->halted) continue;
        // Halted: every transfer fails until RESET_PIPE, without reaching the device.
        Write(r->Pipe(0), Counting(5, 1));
        m = Read(r->Pipe(1), 64);
        EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, m.usbd);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, m.status);
        EXPECT_EQ(0u, m.length);
        URB reset;
        EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(1), &reset).status);
        EXPECT_EQ(Counting(5, 1), Read(r->Pipe(1), 64).data);
    }
}

TEST_F(UsbTransferTest, TransfersTheStackRefuses) {
    auto old = Select(0);
    auto r = Select(1);
    Write(r->Pipe(0), Counting(3, 0));
    Bytes buffer(64);
    struct Case {
        const char* what;
        std::function<void(URB&)> breakIt;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"IN pipe without USBD_TRANSFER_DIRECTION_IN",
         [](URB& u) { u.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK; },
         USBD_STATUS_INVALID_PARAMETER},
        {"OUT pipe with USBD_TRANSFER_DIRECTION_IN",
         [&](URB& u) { u.UrbBulkOrInterruptTransfer.PipeHandle = r->Pipe(0); }, USBD_STATUS_INVALID_PARAMETER},
        {"Hdr.Length short", [](URB& u) { u.UrbHeader.Length -= 1; }, USBD_STATUS_INVALID_PARAMETER},
        {"no buffer", [](URB& u) { u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; },
         USBD_STATUS_INVALID_PARAMETER},
        {"isochronous pipe", [&](URB& u) { u.UrbBulkOrInterruptTransfer.PipeHandle = r->Pipe(4); },
         USBD_STATUS_INVALID_PARAMETER},
        {"handle of an earlier selection", [&](URB& u) { u.UrbBulkOrInterruptTransfer.PipeHandle = old->Pipe(1); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        URB u = BulkUrb(r->Pipe(1), buffer.data(), 64, kInShortOk);
        c.breakIt(u);
        sim::RequestResult res = Submit(&u);
        EXPECT_EQ(c.usbd, u.UrbHeader.Status);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, res.status);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, res.dispatchReturned);  // refused inline
    }
    EXPECT_EQ(3u, device_->FifoBytes(0x81));  // the device saw none of them
    // The NULL configuration cancels what waits and voids every handle of the configuration.
    Bytes report(8);
    URB intr = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    Async waiting(bus_->Pdo(), &intr);
    URB none = ZeroUrb();
    UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&none).status);
    waiting.Wait();
    EXPECT_EQ(STATUS_CANCELLED, waiting.Status());
    for (size_t k : {0u, 1u, 2u}) {
        Moved m = k == 0 ? Write(r->Pipe(k), Bytes(4, 0)) : Read(r->Pipe(k), 8);
        EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, m.usbd) << k;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, m.status) << k;
    }
}

TEST_F(UsbTransferTest, InterruptInWaitsForAReport) {
    auto r = Select(1);
    Bytes report(8, 0xEE);
    URB urb = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    {
        Async a(bus_->Pdo(), &urb);
        bus_->AdvanceFrames(9);
        EXPECT_FALSE(a.Done());
        EXPECT_EQ(1u, bus_->Pipe(r->Pipe(2))->pending);
        bus_->AdvanceFrames(1);  // the firmware reports every 10 frames
        a.Wait();
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    }
    EXPECT_EQ(B("4b 57 00 01 00 00 00 00"), report);
    // A report raised by an event in the firmware.
    urb = BulkUrb(r->Pipe(2), report.data(), 8, kInShortOk);
    {
        Async a(bus_->Pdo(), &urb);
        EXPECT_FALSE(a.Done());
        device_->QueueReport(0x82, B("05 06"));
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    EXPECT_EQ(2u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(B("05 06"), Bytes(report.begin(), report.begin() + 2));
    EXPECT_EQ(0u, bus_->Pipe(r->Pipe(2))->pending);
}

TEST_F(UsbTransferTest, CurrentFrameNumberIsAnsweredInline) {
    URB u = ZeroUrb();
    u.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    u.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    for (ULONG step : {1234u, 1u}) {
        bus_->AdvanceFrames(step);
        u.UrbGetCurrentFrameNumber.FrameNumber = 0;
        sim::RequestResult res = Submit(&u);
        EXPECT_EQ(STATUS_SUCCESS, res.dispatchReturned);
        EXPECT_EQ(bus_->FrameNumber(), u.UrbGetCurrentFrameNumber.FrameNumber);
    }
    EXPECT_EQ(1235u, u.UrbGetCurrentFrameNumber.FrameNumber);
    EXPECT_EQ(1235u, device_->Frame());  // the device saw every frame
    u.UrbHeader.Length -= 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&u).status);
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, u.UrbHeader.Status);
}

// ---------------------------------------------------------------------------------------------
// Waiting transfers: cancel, stall, abort
// ---------------------------------------------------------------------------------------------

TEST_F(UsbTransferTest, CancellingAWaitingTransfer) {
    auto r = Select(0);
    Bytes buffer(128, 0xEE);
    URB rd = BulkUrb(r->Pipe(1), buffer.data(), 128, kInShortOk);
    {
        Async t(bus_->Pdo(), &rd);  // nothing to read: it waits with a cancel routine
        EXPECT_EQ(STATUS_PENDING, t.Returned());
        EXPECT_EQ(1u, bus_->Pipe(r->Pipe(1))->pending);
        URB reset;  // a pipe with a transfer queued cannot be reset
        PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, r->Pipe(1), &reset);
        EXPECT_EQ(USBD_STATUS_ERROR_BUSY, reset.UrbHeader.Status);
        EXPECT_TRUE(IoCancelIrp(t.Irp()));
        t.Wait();
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
        EXPECT_EQ(0u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(0u, bus_->Pipe(r->Pipe(1))->pending);
    }
    // A full packet arrived before the cancel: the bytes moved are reported with it.
    Write(r->Pipe(0), Counting(64, 5));
    rd = BulkUrb(r->Pipe(1), buffer.data(), 128, kInShortOk);
    {
        Async t(bus_->Pdo(), &rd);
        EXPECT_FALSE(t.Done());
        EXPECT_TRUE(IoCancelIrp(t.Irp()));
        t.Wait();
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(64u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(Counting(64, 5), Bytes(buffer.begin(), buffer.begin() + 64));
    }
    // Cancelled before it reached the stack: completed as cancelled without touching the device.
    Write(r->Pipe(0), Counting(5, 1));
    rd = BulkUrb(r->Pipe(1), buffer.data(), 128, kInShortOk);
    {
        Async t(bus_->Pdo(), &rd, {}, true);
        t.Wait();
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
    }
    EXPECT_EQ(5u, device_->FifoBytes(0x81));
    EXPECT_EQ(Counting(5, 1), Read(r->Pipe(1), 64).data);
}

TEST_F(UsbTransferTest, StallHaltsThePipeUntilResetPipe) {
    auto r = Select(0);
    Bytes b1(64), b2(64);
    URB rd1 = BulkUrb(r->Pipe(1), b1.data(), 64, kInShortOk), rd2 = BulkUrb(r->Pipe(1), b2.data(), 64, kInShortOk);
    {
        Async t1(bus_->Pdo(), &rd1), t2(bus_->Pdo(), &rd2);  // queued in order on the empty FIFO
        EXPECT_EQ(2u, bus_->Pipe(r->Pipe(1))->pending);
        device_->Halt(0x81);  // the firmware stalls the endpoint
        t1.Wait();
        t2.Wait();
        EXPECT_EQ(USBD_STATUS_STALL_PID, t1.Usbd());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, t1.Status());
        EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, t2.Usbd());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, t2.Status());
    }
    EXPECT_TRUE(bus_->Pipe(r->Pipe(1))->halted);
    // Clearing the device's halt alone is not enough: the host pipe stays halted.
    URB clear = ZeroUrb();
    UsbBuildFeatureRequest(&clear, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&clear).status);
    EXPECT_EQ(STATUS_SUCCESS, Write(r->Pipe(0), Counting(3, 2)).status);  // the OUT pipe is unaffected
    EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, Read(r->Pipe(1), 64).usbd);
    EXPECT_EQ(3u, device_->FifoBytes(0x81));
    URB reset;
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(1), &reset).status);
    EXPECT_EQ(Counting(3, 2), Read(r->Pipe(1), 64).data);
    // An OUT endpoint that stalls.
    device_->Halt(0x01);
    Moved w = Write(r->Pipe(0), Bytes(10, 1));
    EXPECT_EQ(USBD_STATUS_STALL_PID, w.usbd);
    EXPECT_EQ(0u, w.length);
    EXPECT_TRUE(bus_->Pipe(r->Pipe(0))->halted);
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, r->Pipe(0), &reset).status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, Write(r->Pipe(0), Bytes(10, 1)).usbd);
}

// Resetting only the host side after CLEAR_FEATURE leaves the toggles apart: a packet is lost.
TEST_F(UsbTransferTest, ToggleMismatchDropsAPacket) {
    auto r = Select(0);
    Write(r->Pipe(0), Counting(64, 0));
    Read(r->Pipe(1), 64);  // host and device both at DATA1 for 0x81
    URB clear = ZeroUrb();
    UsbBuildFeatureRequest(&clear, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&clear).status);  // the device is back at DATA0, the host is not
    Write(r->Pipe(0), Bytes(64, 1));
    Write(r->Pipe(0), Bytes(64, 2));
    EXPECT_EQ(Bytes(64, 2), Read(r->Pipe(1), 64).data);  // the DATA0 packet was taken for a repeat
}

class AbortOrderTest : public UsbTransferTest, public ::testing::WithParamInterface<AbortOrder> {};

TEST_P(AbortOrderTest, AbortPipeCancelsTheQueuedTransfersOfThatPipe) {
    bus_->SetAbortOrder(GetParam());
    auto r = Select(1);
    Write(r->Pipe(0), Counting(64, 1));
    Bytes b1(128), b2(64), report(8);
    URB a1 = BulkUrb(r->Pipe(1), b1.data(), 128, kInShortOk), a2 = BulkUrb(r->Pipe(1), b2.data(), 64, kInShortOk);
    URB other = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const char* what) {
        return [&, what] {
            std::lock_guard<std::mutex> g(m);
            order.push_back(what);
        };
    };
    // a1 takes the 64 bytes and waits for more, a2 waits behind it, `other` on its own pipe.
    Async t1(bus_->Pdo(), &a1, note("t1")), t2(bus_->Pdo(), &a2, note("t2")), t3(bus_->Pdo(), &other);
    EXPECT_EQ(2u, bus_->Pipe(r->Pipe(1))->pending);
    URB abort = ZeroUrb();
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbPipeRequest.PipeHandle = r->Pipe(1);
    {
        Async a(bus_->Pdo(), &abort, note("abort"));
        a.Wait();
        t1.Wait();
        t2.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(GetParam() == AbortOrder::TransfersFirst ? STATUS_PENDING : STATUS_SUCCESS, a.Returned());
    }
    for (Async* t : {&t1, &t2}) {
        EXPECT_EQ(STATUS_CANCELLED, t->Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t->Usbd());
    }
    EXPECT_EQ(64u, a1.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(0u, a2.UrbBulkOrInterruptTransfer.TransferBufferLength);
    const std::vector<std::string> want = GetParam() == AbortOrder::TransfersFirst
                                              ? std::vector<std::string>{"t1", "t2", "abort"}
                                              : std::vector<std::string>{"abort", "t1", "t2"};
    EXPECT_EQ(want, order);
    EXPECT_FALSE(t3.Done());
    URB again;
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, r->Pipe(1), &again).dispatchReturned);
    device_->QueueReport(0x82, Counting(8, 4));
    t3.Wait();
    EXPECT_EQ(STATUS_SUCCESS, t3.Status());
    EXPECT_EQ(Counting(8, 4), report);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, AbortOrderTest,
                         ::testing::Values(AbortOrder::TransfersFirst, AbortOrder::RequestFirst));

// ---------------------------------------------------------------------------------------------
// The device going away, the PDO being removed, the port being reset
// ---------------------------------------------------------------------------------------------

TEST_F(UsbTransferTest, UnplugFailsWaitingAndNewRequests) {
    auto r = Select(1);
    Bytes b(64), report(8);
    URB bulk = BulkUrb(r->Pipe(1), b.data(), 64, kInShortOk), intr = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    {
        Async t1(bus_->Pdo(), &bulk), t2(bus_->Pdo(), &intr);
        bus_->Unplug();
        for (Async* t : {&t1, &t2}) {
            t->Wait();
            EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->Status());
            EXPECT_EQ(USBD_STATUS_DEVICE_GONE, t->Usbd());
            EXPECT_EQ(DISPATCH_LEVEL, t->Irql());
        }
    }
    ULONG bits = 0xFF;
    sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&bits](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        s->Parameters.Others.Argument1 = &bits;
    });
    EXPECT_EQ(0u, bits);
    // New requests fail at once; the teardown requests a driver sends still succeed.
    Moved w = Write(r->Pipe(0), Bytes(8, 0));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, w.usbd);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, w.status);
    sim::RequestResult d = ReadDeviceDescriptor();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, d.status);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, d.dispatchReturned);
    URB urb;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, r->Pipe(1), &urb).status);
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, r->Pipe(1), &urb).status);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort().status);
    URB none = ZeroUrb();
    UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&none).status);
    // Plugged in again, the port answers.
    bus_->PlugIn(Device::Default());
    EXPECT_EQ(STATUS_SUCCESS, ReadDeviceDescriptor().status);
}

TEST_F(UsbTransferTest, SurpriseRemovalAndRemoveOnThePdo) {
    auto r = Select(1);
    auto pnp = [&](UCHAR minor) { return sim::pnp::Send(bus_->Pdo(), minor).status; };
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_STOP_DEVICE));  // harmless: the configuration stays
    EXPECT_TRUE(bus_->Pipe(r->Pipe(1))->live);
    Bytes b(64), report(8);
    URB bulk = BulkUrb(r->Pipe(1), b.data(), 64, kInShortOk), intr = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    Async t1(bus_->Pdo(), &bulk), t2(bus_->Pdo(), &intr);
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_SURPRISE_REMOVAL));
    // Waiting transfers stay for the driver to abort; new requests fail.
    EXPECT_FALSE(t1.Done());
    EXPECT_FALSE(t2.Done());
    Moved w = Write(r->Pipe(0), Bytes(8, 0));
    EXPECT_EQ(STATUS_DELETE_PENDING, w.status);
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, w.usbd);
    EXPECT_EQ(STATUS_DELETE_PENDING, ReadDeviceDescriptor().status);
    EXPECT_EQ(0u, device_->FifoBytes(0x81));
    URB abort;
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, r->Pipe(1), &abort).status);
    t1.Wait();
    EXPECT_EQ(STATUS_CANCELLED, t1.Status());
    // Removal cancels what is still queued and releases the configuration; the PDO stays.
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(t2.Done());
    EXPECT_EQ(STATUS_CANCELLED, t2.Status());
    EXPECT_EQ(USBD_STATUS_CANCELED, t2.Usbd());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    EXPECT_FALSE(bus_->Pipe(r->Pipe(1))->live);
    EXPECT_EQ(0, device_->Configuration());
    EXPECT_TRUE(sim::DeviceExists(bus_->Pdo()));
    // The device is still there: started again, the PDO takes requests.
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_START_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, ReadDeviceDescriptor().status);
}

TEST_F(UsbTransferTest, ResetPortRestoresTheConfigurationAndKeepsHandles) {
    auto r = Select(1);
    Write(r->Pipe(0), Counting(3, 0));
    bus_->SetPipeState(r->Pipe(1), true, 1);
    bus_->SetPipeState(r->Pipe(0), false, 1);
    device_->Halt(0x81);
    device_->ClearControlLog();
    sim::RequestResult res = ResetPort();
    EXPECT_EQ(STATUS_SUCCESS, res.status);
    EXPECT_EQ(STATUS_SUCCESS, res.dispatchReturned);  // inline by default
    std::vector<ControlRecord> log = device_->ControlLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(USB_REQUEST_SET_CONFIGURATION, log[0].setup.bRequest);
    EXPECT_EQ(1, log[0].setup.wValue);
    EXPECT_EQ(USB_REQUEST_SET_INTERFACE, log[1].setup.bRequest);
    EXPECT_EQ(1, log[1].setup.wValue);
    EXPECT_EQ(1, device_->AlternateSetting(0));
    EXPECT_FALSE(device_->Halted(0x81));
    EXPECT_EQ(0u, device_->FifoBytes(0x81));  // the bus reset emptied the firmware's buffers
    EXPECT_EQ(bus_->ConfigurationHandle(), r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    for (size_t k = 0; k < 5; ++k) {
        std::optional<PipeState> p = bus_->Pipe(r->Pipe(k));
        EXPECT_TRUE(p->live) << k;
        ASSERT_FALSE(p->halted) << k;
        ASSERT_EQ(0, p->toggle) << k;  // else the read below would wait for a dropped packet
    }
    // The handles the driver kept move data.
    Write(r->Pipe(0), Counting(70, 3));
    EXPECT_EQ(Counting(70, 3), Read(r->Pipe(1), 128).data);
}

TEST_F(UsbTransferTest, ResetPortPendingAndInProgress) {
    auto r = Select(0);
    bus_->SetResetPortMode(AnswerMode::Pend);
    {
        Async a(bus_->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
        a.Wait();
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(PASSIVE_LEVEL, a.Irql());  // completed by the hub's worker
    }
    bus_->SetResetPortMode(AnswerMode::Hold);
    {
        Async a(bus_->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_FALSE(a.Done());
        // While it is in progress another reset fails and URBs are refused.
        EXPECT_EQ(STATUS_UNSUCCESSFUL, ResetPort().status);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadDeviceDescriptor().status);
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, Write(r->Pipe(0), Bytes(4, 0)).usbd);
        bus_->ReleaseResetPort();
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    EXPECT_EQ(STATUS_SUCCESS, ReadDeviceDescriptor().status);
    EXPECT_EQ(STATUS_SUCCESS, Write(r->Pipe(0), Bytes(4, 0)).status);
}

TEST_F(UsbTransferTest, ResetPortRuleBreaksAreBugChecks) {
    auto r = Select(0);
    EXPECT_DEATH(sim::RunAtIrql(DISPATCH_LEVEL, [&] { ResetPort(); }), "BUGCHECK .* UsbIoctlIrql");
    EXPECT_DEATH(
        {
            Bytes b(64);
            URB rd = BulkUrb(r->Pipe(1), b.data(), 64, kInShortOk);
            Async waiting(bus_->Pdo(), &rd);
            ResetPort();
        },
        "BUGCHECK .* ResetPortWithTransfersPending");
}

// ---------------------------------------------------------------------------------------------
// Vendor and class requests
// ---------------------------------------------------------------------------------------------

TEST_F(UsbTransferTest, VendorAndClassRequestsReachTheDefaultPipe) {
    struct Case {
        USHORT function;
        ULONG flags;
        UCHAR request;
        USHORT value, index;
        Bytes out;    // host-to-device data stage
        ULONG asked;  // device-to-host: the buffer length
        USBD_STATUS usbd;
        Bytes in;  // what comes back
        UCHAR bmRequestType;
    };
    const Case cases[] = {
        {URB_FUNCTION_VENDOR_DEVICE, kOut, 0x02, 0x1234, 5, B("01 02 03"), 0, USBD_STATUS_SUCCESS, {}, 0x40},
        {URB_FUNCTION_VENDOR_DEVICE, kIn, 0x02, 0, 0, {}, 64, USBD_STATUS_SUCCESS, B("01 02 03"), 0xC0},  // short
        {URB_FUNCTION_VENDOR_DEVICE, kInShortOk, 0x01, 0, 0, {}, 1, USBD_STATUS_SUCCESS, B("00"), 0xC0},
        {URB_FUNCTION_VENDOR_DEVICE, kOut, 0x00, 7, 0, {}, 0, USBD_STATUS_SUCCESS, {}, 0x40},  // no data stage
        {URB_FUNCTION_VENDOR_DEVICE, kIn, 0x05, 0, 0, {}, 8, USBD_STATUS_STALL_PID, {}, 0xC0},  // unknown request
        {URB_FUNCTION_VENDOR_DEVICE, kOut, 0x02, 0, 0, Bytes(65, 9), 0, USBD_STATUS_STALL_PID, {}, 0x40},
        {URB_FUNCTION_VENDOR_INTERFACE, kOut, 0x00, 0, 0, {}, 0, USBD_STATUS_SUCCESS, {}, 0x41},
        {URB_FUNCTION_VENDOR_ENDPOINT, kIn, 0x01, 0, 0x81, {}, 2, USBD_STATUS_SUCCESS, B("00 01"), 0xC2},
        {URB_FUNCTION_VENDOR_OTHER, kOut, 0x00, 0, 0, {}, 0, USBD_STATUS_SUCCESS, {}, 0x43},
        {URB_FUNCTION_CLASS_INTERFACE, kIn, 0x01, 0, 0, {}, 2, USBD_STATUS_STALL_PID, {}, 0xA1},
        {URB_FUNCTION_CLASS_DEVICE, kOut, 0x01, 0, 0, {}, 0, USBD_STATUS_STALL_PID, {}, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(UrbFunctionName(c.function) + " request " + std::to_string(c.request));
        const bool in = (c.flags & kIn) != 0;
        Bytes buffer = in ? Bytes(c.asked, 0xEE) : c.out;
        const ULONG length = static_cast<ULONG>(buffer.size());
        URB u = VendorUrb(c.function, c.flags, c.request, c.value, c.index, length ? buffer.data() : nullptr, length);
        sim::RequestResult res = Submit(&u);
        EXPECT_EQ(c.usbd, u.UrbHeader.Status);
        EXPECT_EQ(NtStatusFromUsbd(c.usbd), res.status);
        const ULONG moved = u.UrbControlVendorClassRequest.TransferBufferLength;
        EXPECT_EQ(c.usbd != USBD_STATUS_SUCCESS ? 0u : in ? c.in.size() : c.out.size(), moved);
        if (in) {
            EXPECT_EQ(c.in, Bytes(buffer.begin(), buffer.begin() + moved));
        }
        const ControlRecord seen = device_->ControlLog().back();
        EXPECT_EQ(c.bmRequestType, seen.setup.bmRequestType);
        EXPECT_EQ(c.request, seen.setup.bRequest);
        EXPECT_EQ(c.value, seen.setup.wValue);
        EXPECT_EQ(c.index, seen.setup.wIndex);
        EXPECT_EQ(length, seen.setup.wLength);
    }
    EXPECT_EQ(B("01 02 03"), device_->Stored(0x02));

    // Into an MDL, pending and completed from the DPC thread.
    std::vector<UCHAR> target(8, 0);
    PMDL mdl = IoAllocateMdl(target.data(), 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB u = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, kIn, 0x02, 0, 0, nullptr, 8, mdl);
    {
        Async a(bus_->Pdo(), &u);
        a.Wait();
        EXPECT_EQ(STATUS_PENDING, a.Returned());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    }
    EXPECT_EQ(3u, u.UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(B("01 02 03 00"), Bytes(target.begin(), target.begin() + 4));
    IoFreeMdl(mdl);

    // Malformed requests fail without reaching the device.
    device_->ClearControlLog();
    std::vector<UCHAR> big(8192);
    const std::function<void(URB&)> breaks[] = {
        [](URB& v) { v.UrbHeader.Length -= 1; },
        [](URB& v) { v.UrbControlVendorClassRequest.TransferBufferLength = 4097; },
        [](URB& v) { v.UrbControlVendorClassRequest.TransferBuffer = nullptr; },
    };
    for (const auto& breakIt : breaks) {
        URB v = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, kOut, 0x00, 0, 0, big.data(), 16);
        breakIt(v);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(&v).status);
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, v.UrbHeader.Status);
    }
    EXPECT_TRUE(device_->ControlLog().empty());
}

// ---------------------------------------------------------------------------------------------
// Isochronous transfers
// ---------------------------------------------------------------------------------------------

// An isochronous URB as a driver lays it out: GET_ISO_URB_SIZE(n) bytes, packets of `size` bytes
// back to back.
class IsoUrb {
public:
    IsoUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG packets, ULONG size, ULONG startFrame = 0)
        : storage_(GET_ISO_URB_SIZE(packets) / sizeof(uint64_t) + 1, 0), buffer_(packets * size, 0xEE) {
        auto& r = Urb()->UrbIsochronousTransfer;
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
        r.PipeHandle = pipe;
        r.TransferFlags = flags;
        r.TransferBuffer = buffer_.data();
        r.TransferBufferLength = static_cast<ULONG>(buffer_.size());
        r.StartFrame = startFrame;
        r.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            r.IsoPacket[i].Offset = i * size;
            r.IsoPacket[i].Length = 0xBAD;
            r.IsoPacket[i].Status = 0xBAD;
        }
    }
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    struct _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }
    Bytes& Buffer() { return buffer_; }
    std::vector<USBD_STATUS> Statuses() {
        std::vector<USBD_STATUS> v;
        for (ULONG i = 0; i < Iso().NumberOfPackets; ++i) v.push_back(Iso().IsoPacket[i].Status);
        return v;
    }

private:
    std::vector<uint64_t> storage_;
    Bytes buffer_;
};

constexpr ULONG kAsap = USBD_START_ISO_TRANSFER_ASAP;
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS, kLate = USBD_STATUS_ISO_NOT_ACCESSED_LATE;

TEST_F(UsbTransferTest, IsochronousPacketsGoOutOnePerFrame) {
    auto r = Select(1);  // isochronous OUT 0x03 and IN 0x83, 256 bytes, looped back
    IsoUrb out(r->Pipe(3), kOut | kAsap, 4, 100);
    out.Buffer() = Counting(400, 1);
    out.Iso().TransferBuffer = out.Buffer().data();
    {
        Async a(bus_->Pdo(), out.Urb());
        EXPECT_EQ(1u, out.Iso().StartFrame);  // ASAP on an idle pipe: the next frame
        bus_->AdvanceFrames(3);
        EXPECT_FALSE(a.Done());
        EXPECT_EQ(300u, device_->FifoBytes(0x83));  // one packet per frame
        bus_->AdvanceFrames(1);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    }
    EXPECT_EQ(0u, out.Iso().ErrorCount);
    EXPECT_EQ(400u, out.Iso().TransferBufferLength);
    EXPECT_EQ(std::vector<USBD_STATUS>(4, kOk), out.Statuses());
    // IN: each packet carries what the endpoint had in its frame; an empty one is a success too.
    IsoUrb in(r->Pipe(4), kIn | kAsap, 3, 256);
    {
        Async a(bus_->Pdo(), in.Urb());
        EXPECT_EQ(5u, in.Iso().StartFrame);
        bus_->AdvanceFrames(3);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    const ULONG lengths[] = {256, 144, 0};
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(lengths[i], in.Iso().IsoPacket[i].Length) << i;
    EXPECT_EQ(std::vector<USBD_STATUS>(3, kOk), in.Statuses());
    EXPECT_EQ(400u, in.Iso().TransferBufferLength);
    EXPECT_EQ(Counting(400, 1), Bytes(in.Buffer().begin(), in.Buffer().begin() + 400));
}

TEST_F(UsbTransferTest, IsochronousSchedulingAndLatePackets) {
    auto r = Select(1);
    auto run = [&](IsoUrb& u, ULONG frames) {
        Async a(bus_->Pdo(), u.Urb());
        bus_->AdvanceFrames(frames);
        a.Wait();
        return a.Status();
    };
    IsoUrb first(r->Pipe(3), kOut | kAsap, 2, 10);
    EXPECT_EQ(STATUS_SUCCESS, run(first, 2));  // frames 1 and 2
    bus_->AdvanceFrames(3);                     // the stream lapses: frame 5 now
    // ASAP continues right after the previous URB, so frames 3..5 have passed: all late.
    IsoUrb lapsed(r->Pipe(3), kOut | kAsap, 3, 10);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, run(lapsed, 0));
    EXPECT_EQ(3u, lapsed.Iso().StartFrame);
    EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, lapsed.Urb()->UrbHeader.Status);
    EXPECT_EQ(3u, lapsed.Iso().ErrorCount);
    EXPECT_EQ(std::vector<USBD_STATUS>(3, kLate), lapsed.Statuses());
    EXPECT_EQ(0u, lapsed.Iso().TransferBufferLength);
    // An explicit start frame one frame back: that frame and the current one have passed (the
    // schedule of the frame in progress is already made); the last packet goes out.
    IsoUrb behind(r->Pipe(3), kOut, 3, 10, bus_->FrameNumber() - 1);
    EXPECT_EQ(STATUS_SUCCESS, run(behind, 1));
    EXPECT_EQ(USBD_STATUS_SUCCESS, behind.Urb()->UrbHeader.Status);
    EXPECT_EQ(2u, behind.Iso().ErrorCount);
    EXPECT_EQ((std::vector<USBD_STATUS>{kLate, kLate, kOk}), behind.Statuses());
    EXPECT_EQ(10u, behind.Iso().TransferBufferLength);
    // Ahead of the clock: nothing moves before its frame.
    IsoUrb ahead(r->Pipe(3), kOut, 1, 10, bus_->FrameNumber() + 3);
    {
        Async a(bus_->Pdo(), ahead.Urb());
        bus_->AdvanceFrames(2);
        EXPECT_FALSE(a.Done());
        bus_->AdvanceFrames(1);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    // Outside USBD_ISO_START_FRAME_RANGE of the current frame, either way: refused, nothing sent.
    const size_t before = device_->FifoBytes(0x83);
    for (LONG offset : {1024, -1024}) {
        IsoUrb far(r->Pipe(3), kOut, 1, 10, bus_->FrameNumber() + offset);
        sim::RequestResult res = Submit(far.Urb());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, res.status);
        EXPECT_EQ(USBD_STATUS_BAD_START_FRAME, far.Urb()->UrbHeader.Status);
    }
    EXPECT_EQ(before, device_->FifoBytes(0x83));
    // After ABORT_PIPE the next ASAP URB starts from the next frame again.
    URB abort;
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, r->Pipe(3), &abort).status);
    bus_->AdvanceFrames(5);
    IsoUrb fresh(r->Pipe(3), kOut | kAsap, 1, 10);
    EXPECT_EQ(STATUS_SUCCESS, run(fresh, 1));
    EXPECT_EQ(bus_->FrameNumber(), fresh.Iso().StartFrame);
}

TEST_F(UsbTransferTest, IsochronousRequestsTheStackRefuses) {
    auto r = Select(1);
    struct Case {
        const char* what;
        std::function<void(IsoUrb&)> breakIt;
    };
    const Case cases[] = {
        {"no packets", [](IsoUrb& u) { u.Iso().NumberOfPackets = 0; }},
        {"more packets than the URB holds", [](IsoUrb& u) { u.Iso().NumberOfPackets = 5; }},
        {"256 packets", [](IsoUrb& u) { u.Iso().NumberOfPackets = 256; }},
        {"a packet larger than the pipe's", [](IsoUrb& u) { u.Iso().IsoPacket[1].Offset = 257; }},
        {"offsets going back", [](IsoUrb& u) { u.Iso().IsoPacket[2].Offset = 10; }},
        {"an offset past the buffer", [](IsoUrb& u) { u.Iso().TransferBufferLength = 250; }},
        {"direction flag wrong", [](IsoUrb& u) { u.Iso().TransferFlags = kIn | kAsap; }},
        {"a bulk pipe", [&](IsoUrb& u) { u.Iso().PipeHandle = r->Pipe(0); }},
        {"no buffer", [](IsoUrb& u) { u.Iso().TransferBuffer = nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IsoUrb u(r->Pipe(3), kOut | kAsap, 4, 100);
        c.breakIt(u);
        sim::RequestResult res = Submit(u.Urb());
        EXPECT_EQ(STATUS_INVALID_PARAMETER, res.dispatchReturned);
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, u.Urb()->UrbHeader.Status);
    }
    // A waiting isochronous transfer is cancelled like any other.
    IsoUrb waiting(r->Pipe(4), kIn | kAsap, 8, 256);
    Async a(bus_->Pdo(), waiting.Urb());
    bus_->AdvanceFrames(2);
    EXPECT_TRUE(IoCancelIrp(a.Irp()));
    a.Wait();
    EXPECT_EQ(STATUS_CANCELLED, a.Status());
    EXPECT_EQ(0u, waiting.Iso().TransferBufferLength);
    EXPECT_EQ(0u, waiting.Iso().ErrorCount);
    EXPECT_EQ(kOk, waiting.Iso().IsoPacket[1].Status);  // the packets of frames that passed
    EXPECT_EQ(0xBADu, waiting.Iso().IsoPacket[2].Status);  // the rest never ran
}

// ---------------------------------------------------------------------------------------------
// Real concurrency (run under ThreadSanitizer in CI)
// ---------------------------------------------------------------------------------------------

// IoCancelIrp races the write that satisfies a waiting read: whichever wins, the read completes
// once, and no byte is lost or reported twice.
TEST_F(UsbTransferTest, ConcurrencyCancelRacesCompletion) {
    auto r = Select(0);
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        Bytes got(64, 0), sent = Counting(64, static_cast<UCHAR>(i));
        URB rd = BulkUrb(r->Pipe(1), got.data(), 64, kInShortOk), wr = BulkUrb(r->Pipe(0), sent.data(), 64, kOut);
        {
            Async t(bus_->Pdo(), &rd);
            std::thread writer([&] {
                Async w(bus_->Pdo(), &wr);
                w.Wait();
                EXPECT_EQ(STATUS_SUCCESS, w.Status());
            });
            IoCancelIrp(t.Irp());
            writer.join();
            t.Wait();
            const ULONG moved = rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (t.Status() == STATUS_SUCCESS) {
                EXPECT_EQ(sent, got);
            } else {
                EXPECT_EQ(STATUS_CANCELLED, t.Status());
                ++cancelled;
            }
            EXPECT_EQ(64u, moved + device_->FifoBytes(0x81));
            if (moved == 64) {
                EXPECT_EQ(sent, got);
            }
        }
        if (device_->FifoBytes(0x81) != 0) {
            EXPECT_EQ(sent, Read(r->Pipe(1), 64).data);
        }
    }
    EXPECT_GT(cancelled, 0);
}

// Writers and readers on two threads, many transfers in flight: the data comes back in order.
TEST_F(UsbTransferTest, ConcurrencyQueuedTransfersKeepTheirOrder) {
    for (AnswerMode mode : {AnswerMode::Pend, AnswerMode::Inline}) {
        bus_->SetTransferMode(mode);
        auto r = Select(0);
        constexpr int kCount = 150;  // more than the loopback's 4 KiB buffer holds
        std::vector<Bytes> sent(kCount), got(kCount, Bytes(64, 0));
        std::vector<URB> writes(kCount), reads(kCount);
        for (int i = 0; i < kCount; ++i) {
            sent[i] = Counting(64, static_cast<UCHAR>(i));
            writes[i] = BulkUrb(r->Pipe(0), sent[i].data(), 64, kOut);
            reads[i] = BulkUrb(r->Pipe(1), got[i].data(), 64, kIn);
        }
        auto run = [&](std::vector<URB>& urbs) {
            std::vector<std::unique_ptr<Async>> inFlight;
            for (URB& u : urbs) inFlight.push_back(std::make_unique<Async>(bus_->Pdo(), &u));
            for (auto& a : inFlight) {
                a->Wait();
                EXPECT_EQ(STATUS_SUCCESS, a->Status());
            }
        };
        std::thread writer([&] { run(writes); });
        run(reads);
        writer.join();
        for (int i = 0; i < kCount; ++i) EXPECT_EQ(sent[i], got[i]) << i;
    }
}

}  // namespace
