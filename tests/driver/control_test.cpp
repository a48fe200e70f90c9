// Device-control requests from an application: every code in every device state and on both
// kinds of handle, the buffer limits of the descriptor copies and the vendor records, DataAddress
// in the caller's process, a fault sweep, and vendor requests racing with transfers, rebalance
// and removal.
#include "driver_fixture.h"

#include "app/app.h"
#include "kwdrv_ioctl.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace drivertest;
using sim::app::Handle;

namespace {

using Bytes = std::vector<UCHAR>;

constexpr ULONG kConfigTotal = 0x4c;  // the test firmware's configuration set
// Codes that are not the driver's: function 3 between two of its codes, the first vendor
// function after them, and the other three methods (the I/O manager builds their buffers).
constexpr ULONG kUnknownCodes[] = {0x0022000C, 0x80002028, 0x80002009, 0x0022004A, 0x0022004B};

struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR info = 0;
    Bytes out;  // the whole output buffer afterwards
};

Bytes Record(USHORT value, ULONG length, ULONG address, USHORT index, size_t size = 14) {
    VENDOR_REQUEST r{value, 0xAAAA, length, address, index};
    Bytes b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    b.resize(size, 0x5A);
    return b;
}

class ControlTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        app_ = std::make_unique<sim::app::Process>("control.exe");
        data_ = app().Alloc(8);
        app().Store(data_, "\x10\x11\x12\x13\x14\x15\x16\x17", 8);
    }
    void TearDown() override {
        app_.reset();
        DriverTest::TearDown();
    }
    sim::app::Process& app() { return *app_; }
    void Start() { ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status); }
    void Stop() {
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), IRP_MN_QUERY_STOP_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), IRP_MN_STOP_DEVICE).status);
    }
    // "" opens the interface path alone; "\\KWDrv1" a pipe.
    Handle Open(const std::u16string& rest) {
        sim::app::OpenResult r = app().Open(sim::app::UserPath(ext()->InterfaceLinkName) + rest);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        return r.handle;
    }
    static ULONG Address(PVOID p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        EXPECT_LT(a, uintptr_t{1} << 32);
        return static_cast<ULONG>(a);
    }
    Bytes Record8(ULONG address = 0) { return Record(0x1234, 8, address ? address : Address(data_), 7); }

    // DeviceIoControl with `in` as input (absent when empty) and a fresh output buffer of
    // outLength bytes (absent when 0), filled with 0xBE by the allocator.
    Reply Ioctl(Handle h, ULONG code, const Bytes& in, ULONG outLength) {
        PVOID input = in.empty() ? nullptr : app().Alloc(in.size());
        if (input != nullptr) app().Store(input, in.data(), in.size());
        PVOID output = outLength != 0 ? app().Alloc(outLength) : nullptr;
        sim::app::IoResult r = app().DeviceIoControl(h, code, input, static_cast<ULONG>(in.size()), output, outLength);
        Reply reply{r.status, r.iosb.Information, output != nullptr ? app().Load(output, outLength) : Bytes{}};
        EXPECT_LE(reply.info, outLength);
        if (input != nullptr) app().Free(input);
        if (output != nullptr) app().Free(output);
        return reply;
    }
    // Requests the driver sent down since the last call.
    size_t Sent() {
        size_t n = 0;
        for (const auto& e : bus().Trace()) n += e.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        bus().ClearTrace();
        return n;
    }
    void Baseline() {
        pool_ = sim::LivePoolCount();
        mdls_ = sim::LiveMdlCount();
        (void)Sent();
    }
    // Nothing of a finished request is left behind.
    void ExpectQuiet() {
        EXPECT_EQ(1, ext()->OutstandingIo);
        EXPECT_EQ(pool_, sim::LivePoolCount());
        EXPECT_EQ(mdls_, sim::LiveMdlCount());
    }

    std::unique_ptr<sim::app::Process> app_;
    PVOID data_ = nullptr;
    size_t pool_ = 0, mdls_ = 0;
};

// Every code on every kind of handle, before the first start, started, stopped and while removal
// runs. Only the device descriptor needs a start; only the pipe reset needs a pipe handle (and a
// configured device); once removal has begun every code fails and nothing is sent.
TEST_F(ControlTest, EveryCodeInEveryDeviceStateAndOnEveryHandle) {
    struct Case { ULONG code; Bytes in; ULONG out; NTSTATUS status; ULONG info; Bytes head; };
    const std::vector<Case> cases = {
        {IOCTL_KW_GET_CONFIG_DESCRIPTOR, {}, 256, STATUS_SUCCESS, kConfigTotal, {0x09, 0x02, 0x4c, 0x00}},
        {IOCTL_KW_RESET_PORT, {}, 0, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_RESET_PIPE, {}, 0, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_GET_DEVICE_DESCRIPTOR, {}, 64, STATUS_SUCCESS, 18, {0x12, 0x01, 0x00, 0x02}},
        {IOCTL_KW_NO_OPERATION, {1, 2, 3}, 8, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_VENDOR_IN_0C, Record(0, 1, 0, 0), 64, STATUS_SUCCESS, 1, {0x00}},
        {IOCTL_KW_VENDOR_OUT_0C, Record(0, 14, 0, 0), 0, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_VENDOR_IN_01, Record(0, 64, 0, 0), 64, STATUS_SUCCESS, 2, {0x00, 0x01}},
        {IOCTL_KW_VENDOR_OUT_02, Record8(), 0, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_VENDOR_OUT_00, Record8(), 0, STATUS_SUCCESS, 0, {}},
        {IOCTL_KW_VENDOR_OUT_00_ALT, Record8(), 0, STATUS_SUCCESS, 0, {}},
    };
    enum State { NeverStarted, Started, Stopped, Removing };
    for (State state : {NeverStarted, Started, Stopped, Removing}) {
        if (state == Started) Start();
        if (state == Stopped) Stop();
        Handle plain = Open(u""), pipe = state == NeverStarted ? sim::app::kInvalidHandle : Open(u"\\KWDrv1");
        ext()->AcceptingRequests = state != Removing;
        std::vector<Case> all = cases;
        for (ULONG code : kUnknownCodes) all.push_back({code, {1}, 4, STATUS_INVALID_PARAMETER, 0, {}});
        for (Handle h : {plain, pipe}) {
            if (h == sim::app::kInvalidHandle) continue;
            for (const Case& c : all) {
                SCOPED_TRACE(testing::Message() << "state " << state << (h == pipe ? " pipe" : " plain") << " code "
                                                << std::hex << c.code);
                Baseline();
                Case want = c;
                if (c.code == IOCTL_KW_GET_DEVICE_DESCRIPTOR && state == NeverStarted) want = {c.code, {}, 0, STATUS_DEVICE_DATA_ERROR, 0, {}};
                if (c.code == IOCTL_KW_RESET_PIPE && h == plain) want.status = STATUS_INVALID_PARAMETER;
                if (c.code == IOCTL_KW_RESET_PIPE && h == pipe && state == Stopped) want.status = STATUS_INVALID_PARAMETER;
                if (state == Removing) want = {c.code, {}, 0, STATUS_DEVICE_DATA_ERROR, 0, {}};
                Reply r = Ioctl(h, c.code, c.in, c.out);
                EXPECT_EQ(sim::StatusName(want.status), sim::StatusName(r.status));
                EXPECT_EQ(want.info, r.info);
                EXPECT_EQ(want.head, Bytes(r.out.begin(), r.out.begin() + std::min(r.out.size(), want.head.size())));
                const bool sends = c.code != IOCTL_KW_NO_OPERATION && c.code != IOCTL_KW_GET_DEVICE_DESCRIPTOR &&
                                   state != Removing && !(c.code == IOCTL_KW_RESET_PIPE && h == plain) &&
                                   c.status != STATUS_INVALID_PARAMETER;
                EXPECT_EQ(sends, Sent() != 0);
                ExpectQuiet();
            }
        }
        ext()->AcceptingRequests = TRUE;
        for (Handle h : {plain, pipe})
            if (h != sim::app::kInvalidHandle) app().Close(h);
        app().Flush();
    }
}

// Output lengths around each descriptor's size: never more than the output buffer is written or
// reported; a shorter buffer gets the first bytes and STATUS_BUFFER_OVERFLOW, none gets
// STATUS_BUFFER_TOO_SMALL; a device descriptor claiming more than 18 bytes gives 18.
TEST_F(ControlTest, DescriptorCopiesNeverExceedTheOutputBuffer) {
    Start();
    Handle h = Open(u"");
    const Bytes device = bus().PluggedDevice()->Description().device;
    const Bytes config = bus().PluggedDevice()->Description().configuration;
    ASSERT_EQ(kConfigTotal, config.size());
    for (auto [code, whole] : {std::pair{IOCTL_KW_GET_DEVICE_DESCRIPTOR, device}, std::pair{IOCTL_KW_GET_CONFIG_DESCRIPTOR, config}}) {
        const ULONG total = static_cast<ULONG>(whole.size());
        for (ULONG out : {0u, 1u, 8u, 9u, 18u, total - 1, total, total + 1}) {
            SCOPED_TRACE(testing::Message() << std::hex << code << std::dec << " out " << out);
            Reply r = Ioctl(h, code, {}, out);
            const ULONG copied = std::min(out, total);
            EXPECT_EQ(out == 0 ? STATUS_BUFFER_TOO_SMALL : out < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, r.status);
            EXPECT_EQ(copied, r.info);
            Bytes expect(whole.begin(), whole.begin() + copied);
            expect.resize(out, 0xBE);  // the rest of the caller's buffer untouched
            EXPECT_EQ(expect, r.out);
        }
    }
    ext()->DeviceDescriptor->bLength = 0xFF;
    Reply r = Ioctl(h, IOCTL_KW_GET_DEVICE_DESCRIPTOR, {}, 255);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(18u, r.info);
    ext()->DeviceDescriptor->bLength = 18;
}

}  // namespace
