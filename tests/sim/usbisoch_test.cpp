// What the USB stack does with isochronous transfers: frames and packets, the per-packet and
// per-URB results, the start-frame window, ASAP streams across URBs and pipe resets, the limits on
// packets per URB at full and high speed, and the frame-number query inline or pending.
#include "usb_fixture.h"

using namespace usbtest;

namespace {

class UsbIsochTest : public UsbStackTest {};

// The test firmware built with its isochronous OUT endpoint a sink and its IN endpoint a source.
const std::filesystem::path kSourceAndSink =
    kDevices.parent_path().parent_path().parent_path() / "sim" / "devices" / "iso_source_sink.json";

// An isochronous URB as a driver lays it out: GET_ISO_URB_SIZE(n) bytes, packets back to back.
class IsoUrb {
public:
    IsoUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG packets, ULONG size, ULONG startFrame = 0)
        : storage_(GET_ISO_URB_SIZE(packets) / sizeof(uint64_t) + 1, 0), buffer_(Counting(packets * size, 1)) {
        auto& r = Iso();
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
        r.PipeHandle = pipe;
        r.TransferFlags = flags;
        r.TransferBuffer = buffer_.data();
        r.TransferBufferLength = static_cast<ULONG>(buffer_.size());
        r.StartFrame = startFrame;
        r.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) r.IsoPacket[i] = {i * size, 0xBAD, 0xBAD};
    }
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    struct _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }
    Bytes& Buffer() { return buffer_; }
    std::vector<USBD_STATUS> Statuses() {
        std::vector<USBD_STATUS> v(Iso().NumberOfPackets);
        for (ULONG i = 0; i < v.size(); ++i) v[i] = Iso().IsoPacket[i].Status;
        return v;
    }

private:
    std::vector<uint64_t> storage_;
    Bytes buffer_;
};

constexpr ULONG kAsap = USBD_START_ISO_TRANSFER_ASAP;
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS, kLate = USBD_STATUS_ISO_NOT_ACCESSED_LATE;

// Runs `u` while the clock advances `frames` frames and returns its NTSTATUS.
NTSTATUS RunFor(BusDevice& bus, IsoUrb& u, ULONG frames) {
    Async a(bus.Pdo(), u.Urb());
    bus.AdvanceFrames(frames);
    a.Wait();
    return a.Status();
}

TEST_F(UsbIsochTest, IsochronousScheduling) {
    auto r = Select(1);  // isochronous OUT 0x03 and IN 0x83, 256 bytes, looped back
    IsoUrb out(r->Pipe(3), kOut | kAsap, 4, 100);
    {
        Async a(bus_->Pdo(), out.Urb());
        EXPECT_EQ(1u, out.Iso().StartFrame);  // ASAP on an idle pipe: the next frame
        bus_->AdvanceFrames(3);
        EXPECT_EQ(300u, device_->FifoBytes(0x83));  // one packet per frame
        EXPECT_FALSE(a.Done());
        bus_->AdvanceFrames(1);
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
    }
    EXPECT_EQ(std::vector<USBD_STATUS>(4, kOk), out.Statuses());
    // IN: each packet carries what the endpoint had in its frame; an empty one is a success too.
    IsoUrb in(r->Pipe(4), kIn | kAsap, 3, 256);
    EXPECT_EQ(STATUS_SUCCESS, RunFor(*bus_, in, 3));
    EXPECT_EQ(5u, in.Iso().StartFrame);
    const ULONG lengths[] = {256, 144, 0};
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(lengths[i], in.Iso().IsoPacket[i].Length) << i;
    EXPECT_EQ(std::vector<USBD_STATUS>(3, kOk), in.Statuses());
    EXPECT_EQ(out.Buffer(), Bytes(in.Buffer().begin(), in.Buffer().begin() + in.Iso().TransferBufferLength));
    // ASAP continues right after the previous URB: after a lapse its frames have passed, all late.
    bus_->AdvanceFrames(3);
    IsoUrb lapsed(r->Pipe(3), kOut | kAsap, 3, 10);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, RunFor(*bus_, lapsed, 0));
    EXPECT_EQ(5u, lapsed.Iso().StartFrame);
    EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, lapsed.Urb()->UrbHeader.Status);
    EXPECT_EQ(3u, lapsed.Iso().ErrorCount);
    EXPECT_EQ(std::vector<USBD_STATUS>(3, kLate), lapsed.Statuses());
    EXPECT_EQ(0u, lapsed.Iso().TransferBufferLength);
    // One frame back: that frame and the one in progress have passed; the last packet goes out.
    IsoUrb behind(r->Pipe(3), kOut, 3, 10, bus_->FrameNumber() - 1);
    EXPECT_EQ(STATUS_SUCCESS, RunFor(*bus_, behind, 1));
    EXPECT_EQ(2u, behind.Iso().ErrorCount);
    EXPECT_EQ((std::vector<USBD_STATUS>{kLate, kLate, kOk}), behind.Statuses());
    EXPECT_EQ(10u, behind.Iso().TransferBufferLength);
    // Outside USBD_ISO_START_FRAME_RANGE of the current frame, either way: refused, nothing sent.
    const size_t before = device_->FifoBytes(0x83);
    for (LONG offset : {1024, -1024}) {
        IsoUrb far(r->Pipe(3), kOut, 1, 10, bus_->FrameNumber() + offset);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(far.Urb()).status);
        EXPECT_EQ(USBD_STATUS_BAD_START_FRAME, far.Urb()->UrbHeader.Status);
    }
    EXPECT_EQ(before, device_->FifoBytes(0x83));
}

TEST_F(UsbIsochTest, IsochronousRequestsTheStackRefuses) {
    auto r = Select(1);
    const std::pair<const char*, std::function<void(IsoUrb&)>> cases[] = {
        {"no packets", [](IsoUrb& u) { u.Iso().NumberOfPackets = 0; }},
        {"a packet larger than the pipe's", [](IsoUrb& u) { u.Iso().IsoPacket[1].Offset = 257; }},
        {"offsets going back", [](IsoUrb& u) { u.Iso().IsoPacket[2].Offset = 10; }},
        {"a bulk pipe", [&](IsoUrb& u) { u.Iso().PipeHandle = r->Pipe(0); }},
    };
    for (const auto& [what, breakIt] : cases) {
        IsoUrb u(r->Pipe(3), kOut | kAsap, 4, 100);
        breakIt(u);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(u.Urb()).dispatchReturned) << what;
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, u.Urb()->UrbHeader.Status) << what;
    }
}

// Per-packet results on a source and a sink: IN packets report the bytes received, OUT packets
// keep the Length the caller gave; TransferBufferLength is the bytes moved either way.
TEST_F(UsbIsochTest, PacketResultsOnASourceAndASink) {
    bus_->PlugIn(Device::FromFile(kSourceAndSink.string()));
    device_ = bus_->PluggedDevice();
    auto r = Select(1);
    IsoUrb out(r->Pipe(3), kOut | kAsap, 3, 100);
    EXPECT_EQ(STATUS_SUCCESS, RunFor(*bus_, out, 3));
    EXPECT_EQ(300u, out.Iso().TransferBufferLength);
    EXPECT_EQ(0u, out.Iso().ErrorCount);
    EXPECT_EQ(std::vector<USBD_STATUS>(3, kOk), out.Statuses());
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(0xBADu, out.Iso().IsoPacket[i].Length) << i;
    EXPECT_EQ(300u, device_->SinkBytes(0x03));
    // A packet smaller than the source's: DATA_OVERRUN with what fitted; full packets move whole.
    IsoUrb in(r->Pipe(4), kIn | kAsap, 3, 200);
    in.Iso().IsoPacket[1].Offset = 256;
    in.Iso().IsoPacket[2].Offset = 512;  // the last packet holds 88 bytes
    EXPECT_EQ(STATUS_SUCCESS, RunFor(*bus_, in, 3));
    EXPECT_EQ((std::vector<USBD_STATUS>{kOk, kOk, USBD_STATUS_DATA_OVERRUN}), in.Statuses());
    EXPECT_EQ(1u, in.Iso().ErrorCount);
    const ULONG lengths[] = {256, 256, 88};
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(lengths[i], in.Iso().IsoPacket[i].Length) << i;
    EXPECT_EQ(600u, in.Iso().TransferBufferLength);
    for (ULONG i = 0; i < 600; ++i) ASSERT_EQ(static_cast<UCHAR>(i % 256), in.Buffer()[i]) << i;
}

// How many packets one URB may carry, at full speed and at high speed (Interval 1: 8 a frame).
TEST_F(UsbIsochTest, PacketsPerUrbLimits) {
    struct Case { bool highSpeed; ULONG packets; bool accepted; ULONG frames; } cases[] = {
        {false, 255, true, 255}, {false, 256, false, 0},
        {true, 1024, true, 128}, {true, 1032, false, 0}, {true, 12, false, 0}, {true, 16, true, 2},
    };
    auto r = Select(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.packets) + (c.highSpeed ? " at high speed" : " at full speed"));
        bus_->SetHighSpeed(c.highSpeed);
        IsoUrb u(r->Pipe(3), kOut | kAsap, c.packets, 1);
        if (!c.accepted) {
            EXPECT_EQ(STATUS_INVALID_PARAMETER, Submit(u.Urb()).status);
            EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, u.Urb()->UrbHeader.Status);
            continue;
        }
        Async a(bus_->Pdo(), u.Urb());
        const ULONG start = u.Iso().StartFrame;
        EXPECT_EQ(bus_->FrameNumber() + 1, start);
        bus_->AdvanceFrames(c.frames);  // the last frame the URB occupies is start + frames - 1
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(0u, u.Iso().ErrorCount);
        EXPECT_EQ(c.packets, u.Iso().TransferBufferLength);
        ASSERT_EQ(STATUS_SUCCESS, ResetPipe(r->Pipe(3)));  // the next case starts a stream afresh
    }
}

// ASAP streams: a URB submitted while the previous one runs follows it frame for frame; a reset of
// the pipe while it is busy is refused and leaves the stream alone; once the pipe is idle a reset
// restarts the stream at the next frame. At high speed the next URB starts after whole frames.
TEST_F(UsbIsochTest, AsapStreamsAcrossUrbsAndPipeResets) {
    auto r = Select(1);
    IsoUrb first(r->Pipe(3), kOut | kAsap, 4, 10);
    IsoUrb second(r->Pipe(3), kOut | kAsap, 4, 10);
    {
        Async a(bus_->Pdo(), first.Urb());
        Async b(bus_->Pdo(), second.Urb());
        EXPECT_EQ(1u, first.Iso().StartFrame);
        EXPECT_EQ(5u, second.Iso().StartFrame);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, ResetPipe(r->Pipe(3)));
        bus_->AdvanceFrames(8);
        a.Wait();
        b.Wait();
        EXPECT_EQ(std::vector<USBD_STATUS>(4, kOk), second.Statuses());
    }
    IsoUrb third(r->Pipe(3), kOut | kAsap, 2, 10);
    {
        Async c(bus_->Pdo(), third.Urb());
        EXPECT_EQ(9u, third.Iso().StartFrame);  // still the same stream: frame 8 ended the second
        bus_->AdvanceFrames(2);
    }
    EXPECT_EQ(STATUS_SUCCESS, ResetPipe(r->Pipe(3)));
    bus_->AdvanceFrames(5);
    IsoUrb fresh(r->Pipe(3), kOut | kAsap, 2, 10);
    EXPECT_EQ(STATUS_SUCCESS, RunFor(*bus_, fresh, 2));
    EXPECT_EQ(16u, fresh.Iso().StartFrame);
    EXPECT_EQ(std::vector<USBD_STATUS>(2, kOk), fresh.Statuses());
    bus_->SetHighSpeed(true);
    IsoUrb hs(r->Pipe(3), kOut | kAsap, 16, 10), next(r->Pipe(3), kOut | kAsap, 8, 10);
    Async h(bus_->Pdo(), hs.Urb());
    Async n(bus_->Pdo(), next.Urb());
    EXPECT_EQ(hs.Iso().StartFrame + 2, next.Iso().StartFrame);
    bus_->AdvanceFrames(3);
}

// GET_CURRENT_FRAME_NUMBER: inside IoCallDriver by default; pending when a test asks for it, then
// completed from the DPC thread with the frame of its submission.
TEST_F(UsbIsochTest, FrameNumberMayPend) {
    URB u = ZeroUrb();
    u.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    u.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    for (ULONG step : {76u, 1u}) {
        bus_->AdvanceFrames(step);
        EXPECT_EQ(STATUS_SUCCESS, Submit(&u).dispatchReturned);
        EXPECT_EQ(bus_->FrameNumber(), u.UrbGetCurrentFrameNumber.FrameNumber);
    }
    EXPECT_EQ(77u, device_->Frame());  // the device saw every frame
    bus_->SetFrameNumberMode(AnswerMode::Pend);
    u.UrbGetCurrentFrameNumber.FrameNumber = 0xFFFFFFFF;
    Async a(bus_->Pdo(), &u);
    EXPECT_EQ(STATUS_PENDING, a.Returned());
    a.Wait();
    EXPECT_EQ(STATUS_SUCCESS, a.Status());
    EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    EXPECT_EQ(77u, u.UrbGetCurrentFrameNumber.FrameNumber);
}

// The source-and-sink build differs from the built-in firmware in the two isochronous behaviours only.
TEST_F(UsbIsochTest, SourceAndSinkBuildKeepsTheFirmwareDescriptors) {
    const DeviceDescription variant = Device::FromFile(kSourceAndSink.string())->Description();
    const DeviceDescription firmware = Device::Default()->Description();
    EXPECT_EQ(firmware.device, variant.device);
    EXPECT_EQ(firmware.configuration, variant.configuration);
    EXPECT_EQ(firmware.vendor.size(), variant.vendor.size());
    EXPECT_EQ(Behaviour::Sink, variant.endpoints.at(0x03).behaviour);
    EXPECT_EQ(Behaviour::Source, variant.endpoints.at(0x83).behaviour);
}

}  // namespace
