// High-speed devices and large configuration sets, end to end: each description starts with
// every interface selected, names interface 0's pipes with the packet sizes the stack reports
// (the whole payload of a bus interval on high-bandwidth pipes), opens them and moves data; the
// isochronous URBs the driver builds on a high-speed pipe cover whole frames.
#include "driver_fixture.h"

#include "app/app.h"

#include <filesystem>
#include <mutex>
#include <utility>

using namespace drivertest;

namespace {

using Bytes = std::vector<UCHAR>;
const std::filesystem::path kDevices = std::filesystem::path(__FILE__).parent_path() / ".." / "sim" / "devices";

class HighSpeedTest : public DriverTest {
protected:
    void Start(const char* file) {
        bus().PlugIn(sim::usb::Device::FromFile((kDevices / file).string()));
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        app_ = std::make_unique<sim::app::Process>();
    }
    sim::app::Handle Open(int pipe) {
        const std::u16string name = u"\\KWDrv" + std::u16string(1, static_cast<char16_t>(u'0' + pipe));
        sim::app::OpenResult o = app_->Open(sim::app::UserPath(ext()->InterfaceLinkName) + name,
                                            sim::app::OpenOptions{true});
        EXPECT_EQ(STATUS_SUCCESS, o.status) << pipe;
        return o.handle;
    }
    // One read or write that runs the frame clock until it has completed; its status and bytes.
    std::pair<NTSTATUS, ULONG> Run(bool read, sim::app::Handle h, PVOID buffer, ULONG length) {
        sim::app::Overlapped ov;
        sim::app::IoResult r = read ? app_->Read(h, buffer, length, 0, &ov) : app_->Write(h, buffer, length, 0, &ov);
        if (r.status != STATUS_PENDING) return {r.status, 0};
        for (int i = 0; i < 400 && !ov.Signalled(); ++i) {
            bus().AdvanceFrames(1);
            sim::FlushDpcs();
        }
        ov.Wait();
        return {ov.Internal(), static_cast<ULONG>(ov.InternalHigh())};
    }
    // Writes `length` counting bytes on pipe `out` and reads them back on pipe `in`.
    void Loop(int out, int in, ULONG length) {
        Bytes data(length);
        for (ULONG i = 0; i < length; ++i) data[i] = static_cast<UCHAR>(i * 13 + 5);
        PVOID buffer = app_->Alloc(length);
        app_->Store(buffer, data.data(), length);
        EXPECT_EQ(std::make_pair(STATUS_SUCCESS, length), Run(false, Open(out), buffer, length));
        app_->Store(buffer, Bytes(length, 0xEE).data(), length);
        EXPECT_EQ(std::make_pair(STATUS_SUCCESS, length), Run(true, Open(in), buffer, length));
        EXPECT_EQ(data, app_->Load(buffer, length));
    }
    // Records NumberOfPackets and the packet offsets of each isochronous URB the stack ran.
    void WatchIsochronous() {
        bus().SetIsochronousObserver([this](const struct _URB_ISOCH_TRANSFER& r) {
            std::vector<ULONG> offsets;
            for (ULONG i = 0; i < r.NumberOfPackets; ++i) offsets.push_back(r.IsoPacket[i].Offset);
            std::lock_guard<std::mutex> g(m_);
            isoUrbs_.push_back(offsets);
        });
    }
    std::vector<std::vector<ULONG>> TakeIsoUrbs() {
        std::lock_guard<std::mutex> g(m_);
        return std::exchange(isoUrbs_, {});
    }
    void Finish() {
        app_.reset();
        sim::FlushDpcs();
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
    }

    std::unique_ptr<sim::app::Process> app_;
    std::mutex m_;
    std::vector<std::vector<ULONG>> isoUrbs_;
};

// Every description: the setting chosen, the packet size of each named pipe, and data moved
// (a loopback through pipes `out` to `in`, or a read of `readBytes` on pipe `in`).
TEST_F(HighSpeedTest, DevicesStartNamePipesAndMoveData) {
    struct Case { const char* file; bool high; int alternate; std::vector<USHORT> packets; int out, in; ULONG bytes; }
    cases[] = {
        {"hs_mass_storage.json", true, 0, {512, 512}, 1, 0, 1500},
        {"hs_hid.json", true, 0, {64, 64}, 1, 0, 64},
        {"hs_firmware.json", true, 1, {512, 512, 2048, 1024, 1024}, 0, 1, 4000},
        {"hs_firmware.json", true, 1, {512, 512, 2048, 1024, 1024}, 3, 4, 3 * 1024},  // whole frame padded
        {"hs_webcam.json", true, 1, {3072, 16}, -1, 0, 8 * 3072},
        {"large_set.json", true, 1, {512, 512}, 0, 1, 2048},
        {"mass_storage.json", false, 0, {64, 64}, 1, 0, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Start(c.file);
        EXPECT_EQ(c.high, ext()->HighSpeed != 0);
        EXPECT_EQ(c.alternate, ext()->InterfaceInfo->AlternateSetting);
        for (size_t i = 0; i < 14; ++i) {
            PUSBD_PIPE_INFORMATION p = ext()->PipeTable[i].PipeInfo;
            ASSERT_EQ(i < c.packets.size(), p != nullptr) << i;
            if (p != nullptr) {
                EXPECT_EQ(c.packets[i], p->MaximumPacketSize) << i;
            }
        }
        if (c.out >= 0) {
            Loop(c.out, c.in, c.bytes);
        } else {
            PVOID buffer = app_->Alloc(c.bytes);
            EXPECT_EQ(std::make_pair(STATUS_SUCCESS, c.bytes), Run(true, Open(c.in), buffer, c.bytes));
            const Bytes got = app_->Load(buffer, c.bytes);
            for (ULONG i = 0; i < c.bytes; ++i) ASSERT_EQ(static_cast<UCHAR>(i), got[i]) << i;  // the source's counter
        }
        Finish();
    }
}

// The isochronous URB of a request on a high-speed pipe: packets of the pipe's payload per bus
// interval, as many as whole frames need (8 a frame at bInterval 1), the ones past the data
// empty; at most 1024, so a longer request is refused before anything is sent.
TEST_F(HighSpeedTest, IsochronousUrbsCoverWholeFrames) {
    Start("hs_firmware.json");
    struct Case { ULONG length; NTSTATUS status; ULONG packets; } cases[] = {
        {1, STATUS_SUCCESS, 8},
        {8 * 1024, STATUS_SUCCESS, 8},
        {8 * 1024 + 1, STATUS_SUCCESS, 16},
        {1024 * 1024, STATUS_SUCCESS, 1024},
        {1024 * 1024 + 1, STATUS_INVALID_PARAMETER, 0},
    };
    WatchIsochronous();
    const sim::app::Handle out = Open(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        PVOID buffer = app_->Alloc(c.length);
        const std::pair<NTSTATUS, ULONG> r = Run(false, out, buffer, c.length);
        EXPECT_EQ(c.status, r.first);
        const auto urbs = TakeIsoUrbs();
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(urbs.empty());
            continue;
        }
        EXPECT_EQ(c.length, r.second);
        ASSERT_EQ(1u, urbs.size());
        ASSERT_EQ(c.packets, urbs[0].size());
        for (ULONG i = 0; i < c.packets; ++i) ASSERT_EQ(std::min(i * 1024, c.length), urbs[0][i]) << i;
        app_->Free(buffer);
    }
    Finish();
}

}  // namespace
