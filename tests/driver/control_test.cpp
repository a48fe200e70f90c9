// Device-control requests from an application: every code in every device state and on both
// kinds of handle, the buffer limits of the descriptor copies and the vendor records, DataAddress
// in the caller's process, a fault sweep, and vendor requests racing with transfers, rebalance
// and removal.
#include "driver_fixture.h"

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

class ControlTest : public AppTest {
protected:
    ControlTest() { start_ = false; }
    void SetUp() override {
        AppTest::SetUp();
        data_ = app().Alloc(8);
        app().Store(data_, "\x10\x11\x12\x13\x14\x15\x16\x17", 8);
    }
    void Start() { ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status); }
    void Stop() {
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), IRP_MN_QUERY_STOP_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), IRP_MN_STOP_DEVICE).status);
    }
    static ULONG Address(PVOID p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        EXPECT_LE(static_cast<unsigned long long>(a), 0xFFFFFFFFull);
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
    // A device-control request of another driver: no file object, no buffers.
    sim::RequestResult ForeignIoctl(ULONG code) {
        return sim::SendToStack(fdo(), IRP_MJ_DEVICE_CONTROL, 0,
                                [code](PIO_STACK_LOCATION s) { s->Parameters.DeviceIoControl.IoControlCode = code; });
    }
    void Baseline() {
        AppTest::Baseline();
        (void)Sent();
    }

    PVOID data_ = nullptr;
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
                // Before the first start nothing may reach the device: the bus serves it only once started.
                const bool sends = c.code != IOCTL_KW_NO_OPERATION && c.code != IOCTL_KW_GET_DEVICE_DESCRIPTOR &&
                                   state != Removing && !(c.code == IOCTL_KW_RESET_PIPE && h == plain) &&
                                   c.status != STATUS_INVALID_PARAMETER && state != NeverStarted;
                if (state == NeverStarted && (c.code == IOCTL_KW_GET_DEVICE_DESCRIPTOR ||
                                              (c.code != IOCTL_KW_NO_OPERATION && c.code != IOCTL_KW_RESET_PIPE &&
                                               c.status != STATUS_INVALID_PARAMETER)))
                    want = {c.code, {}, 0, STATUS_DEVICE_DATA_ERROR, 0, {}};
                if (c.code == IOCTL_KW_RESET_PIPE && h == plain) want.status = STATUS_INVALID_PARAMETER;
                if (c.code == IOCTL_KW_RESET_PIPE && h == pipe && state == Stopped) want.status = STATUS_INVALID_PARAMETER;
                if (state == Removing) want = {c.code, {}, 0, STATUS_DEVICE_DATA_ERROR, 0, {}};
                Reply r = Ioctl(h, c.code, c.in, c.out);
                EXPECT_EQ(sim::StatusName(want.status), sim::StatusName(r.status));
                EXPECT_EQ(want.info, r.info);
                EXPECT_EQ(want.head, Bytes(r.out.begin(), r.out.begin() + std::min(r.out.size(), want.head.size())));
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

// What reaches the device: the setup packet built from the record, the data stage (the input
// bytes themselves for 0x0C, the bytes at DataAddress for 0x02 and 0x00), short IN data, no data
// stage for a TransferLength of 0, and a stall reported with nothing copied back.
TEST_F(ControlTest, VendorRequestsReachTheDeviceAsTheRecordSays) {
    Start();
    Handle h = Open(u"");
    auto device = bus().PluggedDevice();
    const Bytes data = app().Load(data_, 8), block = Record(0x34, 16, 0, 2, 16);
    struct Case {
        const char* what; ULONG code; Bytes in; ULONG out; NTSTATUS status; ULONG info;
        sim::usb::SetupPacket setup; Bytes sent;
    };
    const Case cases[] = {
        {"IN 0C", IOCTL_KW_VENDOR_IN_0C, Record(0x12, 1, 0, 5), 1, STATUS_SUCCESS, 1, {0xC0, 0x0C, 0x12, 5, 1}, {}},
        {"OUT 0C: the input bytes, record first", IOCTL_KW_VENDOR_OUT_0C, block, 0, STATUS_SUCCESS, 0, {0x40, 0x0C, 0x34, 2, 16}, block},
        {"IN 0C reads the block back", IOCTL_KW_VENDOR_IN_0C, Record(0, 16, 0, 0), 16, STATUS_SUCCESS, 16, {0xC0, 0x0C, 0, 0, 16}, {}},
        {"IN 01: short data stage", IOCTL_KW_VENDOR_IN_01, Record(0, 64, 0, 0), 64, STATUS_SUCCESS, 2, {0xC0, 0x01, 0, 0, 64}, {}},
        {"OUT 02 from DataAddress", IOCTL_KW_VENDOR_OUT_02, Record8(), 0, STATUS_SUCCESS, 0, {0x40, 0x02, 0x1234, 7, 8}, data},
        {"OUT 00", IOCTL_KW_VENDOR_OUT_00, Record8(), 0, STATUS_SUCCESS, 0, {0x40, 0x00, 0x1234, 7, 8}, data},
        {"OUT 00 second code", IOCTL_KW_VENDOR_OUT_00_ALT, Record8(), 0, STATUS_SUCCESS, 0, {0x40, 0x00, 0x1234, 7, 8}, data},
        {"IN 0C of the longest control transfer", IOCTL_KW_VENDOR_IN_0C, Record(0, 4096, 0, 0), 4096, STATUS_SUCCESS, 16, {0xC0, 0x0C, 0, 0, 4096}, {}},
        {"IN without data stage", IOCTL_KW_VENDOR_IN_0C, Record(1, 0, 0, 0), 0, STATUS_SUCCESS, 0, {0xC0, 0x0C, 1, 0, 0}, {}},
        {"OUT without data stage ignores DataAddress", IOCTL_KW_VENDOR_OUT_02, Record(1, 0, 0, 0), 0, STATUS_SUCCESS, 0, {0x40, 0x02, 1, 0, 0}, {}},
        {"stall", IOCTL_KW_VENDOR_OUT_0C, Record(0, 65, 0, 0, 65), 8, STATUS_UNSUCCESSFUL, 0, {0x40, 0x0C, 0, 0, 65}, Record(0, 65, 0, 0, 65)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        device->ClearControlLog();
        Baseline();
        Reply r = Ioctl(h, c.code, c.in, c.out);
        EXPECT_EQ(sim::StatusName(c.status), sim::StatusName(r.status));
        EXPECT_EQ(c.info, r.info);
        std::vector<sim::usb::ControlRecord> log = device->ControlLog();
        ASSERT_EQ(1u, log.size());
        const sim::usb::SetupPacket& s = log[0].setup;
        EXPECT_EQ((Bytes{c.setup.bmRequestType, c.setup.bRequest}), (Bytes{s.bmRequestType, s.bRequest}));
        EXPECT_EQ((std::vector<USHORT>{c.setup.wValue, c.setup.wIndex, c.setup.wLength}),
                  (std::vector<USHORT>{s.wValue, s.wIndex, s.wLength}));
        EXPECT_EQ(c.sent, log[0].out);
        if (c.code == IOCTL_KW_VENDOR_IN_0C && c.info == 16) {
            EXPECT_EQ(block, Bytes(r.out.begin(), r.out.begin() + 16));
        }
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(Bytes(c.out, 0xBE), r.out);
        }
        ExpectQuiet();
    }
}

// Every code with input and output lengths from 0 to 65535 and every kind of DataAddress, and
// vendor records that break a limit: a data stage larger than the output (IN) or the input (OUT
// 0C) or than a control transfer carries, a DataAddress range that ends past the caller's buffer
// or wraps. A clear status, Information only with success and never above the output, a refused
// record or address refused before anything is allocated or sent, nothing left behind, and no bug
// check.
TEST_F(ControlTest, BadInputTable) {
    Start();
    Handle h = Open(u"\\KWDrv1");
    PVOID freed = app().Alloc(8), four = app().Alloc(4), big = app().Alloc(65536);
    app().Free(freed);
    const ULONG lengths[] = {0, 1, 13, 14, 15, 64, 4096, 65535};
    // Valid, NULL, kernel, unmapped, partly unmapped, wrapping.
    const ULONG addresses[] = {Address(data_), 0, 0x80001000u, Address(freed), Address(four), 0xFFFFFFFCu};
    std::vector<ULONG> codes = {IOCTL_KW_GET_CONFIG_DESCRIPTOR, IOCTL_KW_RESET_PORT, IOCTL_KW_RESET_PIPE,
                                IOCTL_KW_GET_DEVICE_DESCRIPTOR, IOCTL_KW_NO_OPERATION, IOCTL_KW_VENDOR_IN_0C,
                                IOCTL_KW_VENDOR_OUT_0C, IOCTL_KW_VENDOR_IN_01, IOCTL_KW_VENDOR_OUT_02,
                                IOCTL_KW_VENDOR_OUT_00, IOCTL_KW_VENDOR_OUT_00_ALT};
    codes.insert(codes.end(), std::begin(kUnknownCodes), std::end(kUnknownCodes));
    struct Case { ULONG code; Bytes in; ULONG out; NTSTATUS refused; };  // STATUS_PENDING: may go ahead
    std::vector<Case> cases;
    for (ULONG code : codes) {
        const bool vendor = code >= IOCTL_KW_VENDOR_IN_0C && code <= IOCTL_KW_VENDOR_OUT_00_ALT && code % 4 == 0 &&
                            code != IOCTL_KW_NO_OPERATION;
        const bool fromAddress = code == IOCTL_KW_VENDOR_OUT_02 || code == IOCTL_KW_VENDOR_OUT_00 || code == IOCTL_KW_VENDOR_OUT_00_ALT;
        const bool known = vendor || std::find(std::begin(kUnknownCodes), std::end(kUnknownCodes), code) == std::end(kUnknownCodes);
        for (ULONG address : addresses) {
            if (!fromAddress && address != Address(data_)) continue;
            for (ULONG in : lengths) {
                for (ULONG out : lengths) {
                    NTSTATUS refused = !known ? STATUS_INVALID_PARAMETER
                                     : !vendor ? STATUS_PENDING
                                     : in == 0 ? STATUS_NO_MEMORY
                                     : in < VENDOR_REQUEST_MINIMUM_LENGTH ? STATUS_INVALID_PARAMETER
                                     : fromAddress && address != Address(data_) ? STATUS_ACCESS_VIOLATION
                                     : STATUS_PENDING;
                    cases.push_back({code, in ? Record(0x0102, 8, address, 0, in) : Bytes{}, out, refused});
                }
            }
        }
        if (!vendor) continue;
        for (ULONG length : {4097u, 65535u, 65536u, 0xFFFFFFFFu})
            cases.push_back({code, Record(0, length, Address(big), 0), 65535, STATUS_INVALID_PARAMETER});
        if (code == IOCTL_KW_VENDOR_IN_0C || code == IOCTL_KW_VENDOR_IN_01) {
            cases.push_back({code, Record(0, 65, 0, 0), 64, STATUS_BUFFER_TOO_SMALL});
            cases.push_back({code, Record(0, 8, 0, 0, 64), 4, STATUS_BUFFER_TOO_SMALL});  // system buffer large enough
        }
        if (code == IOCTL_KW_VENDOR_OUT_0C) cases.push_back({code, Record(0, 15, 0, 0), 64, STATUS_INVALID_PARAMETER});
        if (!fromAddress) continue;
        for (auto [address, length] : {std::pair{Address(data_) + 8, 1u}, {Address(four), 5u}, {0xFFFFFFF8u, 16u}})
            cases.push_back({code, Record(0, length, address, 0), 0, STATUS_ACCESS_VIOLATION});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << std::dec << " in " << c.in.size() << " out " << c.out);
        Baseline();
        Reply r = Ioctl(h, c.code, c.in, c.out);
        ASSERT_NE(STATUS_PENDING, r.status);
        EXPECT_TRUE(!NT_ERROR(r.status) || r.info == 0) << r.info;
        if (c.refused != STATUS_PENDING) {
            EXPECT_EQ(sim::StatusName(c.refused), sim::StatusName(r.status));
            EXPECT_EQ(0u, Sent());
        }
        ExpectQuiet();
    }
    app().Free(four);
    app().Free(big);
}

// Every allocation of the control path failed in turn, then every request it sends down failed
// in turn: no bug check, nothing left behind, no Information with an error, and a vendor request
// whose allocation failed fails with STATUS_INSUFFICIENT_RESOURCES.
TEST_F(ControlTest, FaultSweep) {
    Start();
    Handle h = Open(u"\\KWDrv1");
    bus().SetPortStatus(USBD_PORT_CONNECTED);  // the port reset goes all the way
    const std::pair<ULONG, Bytes> requests[] = {
        {IOCTL_KW_GET_CONFIG_DESCRIPTOR, {}}, {IOCTL_KW_RESET_PORT, {}}, {IOCTL_KW_RESET_PIPE, {}},
        {IOCTL_KW_VENDOR_IN_0C, Record(0, 4, 0, 0)}, {IOCTL_KW_VENDOR_OUT_0C, Record(0, 14, 0, 0)},
        {IOCTL_KW_VENDOR_OUT_02, Record8()}, {IOCTL_KW_VENDOR_OUT_00, Record8()}};
    for (const auto& [code, in] : requests) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        sim::faults::Clear();
        Baseline();
        ASSERT_EQ(STATUS_SUCCESS, Ioctl(h, code, in, 256).status);
        const uint64_t calls = sim::faults::CallCount();
        const size_t sent = Sent();
        ASSERT_GE(calls, 1u);
        for (uint64_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n);
            sim::faults::Clear();
            sim::faults::FailOrdinal(n);
            (void)Sent();
            Reply r = Ioctl(h, code, in, 256);
            ASSERT_EQ(1u, sim::faults::InjectedCount());
            // The USB stack's own mapping of the data stage fails after the URB went down.
            const bool driverAllocation = sim::faults::Injected()[0].kind != sim::FaultKind::MapMdl;
            sim::faults::Clear();
            const bool vendor = (code >> 16) == 0x8000;
            EXPECT_TRUE(!vendor || r.status == STATUS_INSUFFICIENT_RESOURCES) << sim::StatusName(r.status);
            EXPECT_TRUE(!vendor || !driverAllocation || Sent() == 0);
            EXPECT_TRUE(!NT_ERROR(r.status) || r.info == 0) << r.info;
            ExpectQuiet();
        }
        for (size_t k = 1; k <= sent; ++k) {
            SCOPED_TRACE(testing::Message() << "request " << k);
            size_t seen = 0;
            bus().SetScript([&](PIRP, PIO_STACK_LOCATION) -> std::optional<sim::usb::Answer> {
                if (++seen != k) return std::nullopt;
                return Answered(sim::usb::AnswerMode::Pend, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
            });
            Reply r = Ioctl(h, code, in, 256);
            bus().SetScript({});
            EXPECT_TRUE(k != sent || code == IOCTL_KW_RESET_PORT || NT_ERROR(r.status)) << sim::StatusName(r.status);
            EXPECT_TRUE(!NT_ERROR(r.status) || r.info == 0) << r.info;
            ExpectQuiet();
        }
    }
}

// The port is reset only when the device is connected and its port disabled, after the pipes
// are aborted (the hub takes no reset with transfers pending); a failed query is reported.
TEST_F(ControlTest, PortResetOnlyWhenConnectedAndDisabled) {
    Start();
    Handle h = Open(u"");
    const ULONG query = IOCTL_INTERNAL_USB_GET_PORT_STATUS, reset = IOCTL_INTERNAL_USB_RESET_PORT,
                urb = IOCTL_INTERNAL_USB_SUBMIT_URB;
    struct Case { ULONG bits; bool queryFails; NTSTATUS status; std::vector<ULONG> sent; };
    const Case cases[] = {
        {USBD_PORT_CONNECTED | USBD_PORT_ENABLED, false, STATUS_SUCCESS, {query}},
        {USBD_PORT_CONNECTED, false, STATUS_SUCCESS, {query, urb, urb, urb, urb, urb, reset}},  // five pipes aborted
        {0, false, STATUS_SUCCESS, {query}},
        {USBD_PORT_CONNECTED, true, STATUS_UNSUCCESSFUL, {query}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << (c.queryFails ? " query fails" : ""));
        bus().SetPortStatus(c.bits);
        bus().SetScript([&c](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            if (!c.queryFails || s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_GET_PORT_STATUS)
                return std::nullopt;
            return Answered(sim::usb::AnswerMode::Inline, STATUS_UNSUCCESSFUL);
        });
        Baseline();
        EXPECT_EQ(c.status, Ioctl(h, IOCTL_KW_RESET_PORT, {}, 0).status);
        std::vector<ULONG> sent;
        for (const auto& e : bus().Trace())
            if (e.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) sent.push_back(e.ioctl);
        EXPECT_EQ(c.sent, sent);
        bus().SetScript({});
        ExpectQuiet();
    }
    // A reset the hub finishes later on its own thread keeps the configuration and pipe handles.
    bus().SetPortStatus(USBD_PORT_CONNECTED);
    bus().SetResetPortMode(sim::usb::AnswerMode::Pend);
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(h, IOCTL_KW_RESET_PORT, {}, 0).status);
    Handle out = Open(u"\\KWDrv0"), in = Open(u"\\KWDrv1");
    PVOID buffer = app().Alloc(4);
    app().Store(buffer, "\x01\x02\x03\x04", 4);
    EXPECT_EQ(STATUS_SUCCESS, app().Write(out, buffer, 4).status);
    sim::app::IoResult r = app().Read(in, buffer, 4);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), app().Load(buffer, r.iosb.Information));
    app().Free(buffer);
}

// A request from another driver carries no file object: the pipe reset refuses it.
TEST_F(ControlTest, PipeResetWithoutFileObjectIsRefused) {
    Start();
    Baseline();
    sim::RequestResult r = ForeignIoctl(IOCTL_KW_RESET_PIPE);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.dispatchReturned);
    EXPECT_EQ(0u, Sent());
}

// Vendor requests (some with an address that makes the probe raise) and pipe resets on several
// threads while reads and writes run and the device is rebalanced and then pulled out: each
// request ends with a status and nothing is left behind. A request from another driver is held in
// the USB stack across the surprise removal, which turns every further control code away; the
// removal then waits until the held request has left.
TEST_F(ControlTest, ConcurrencyVendorRequestsAndResetsDuringTransfersRebalanceAndRemoval) {
    Start();
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    auto vendorThread = [&](unsigned seed) {
        Handle h = Open(u"");
        for (unsigned i = seed; !stop.load(); ++i) {
            const ULONG address = i % 7 == 0 ? 0 : Address(data_);
            const std::pair<ULONG, Bytes> r[] = {{IOCTL_KW_VENDOR_OUT_0C, Record(0, 14, 0, 0)},
                {IOCTL_KW_VENDOR_IN_0C, Record(0, 8, 0, 0)}, {IOCTL_KW_VENDOR_OUT_02, Record8(address)},
                {IOCTL_KW_VENDOR_IN_01, Record(0, 2, 0, 0)}};
            Reply reply = Ioctl(h, r[i % 4].first, r[i % 4].second, 8);
            EXPECT_NE(STATUS_PENDING, reply.status);
            ++requests;
        }
        app().Close(h);
        app().ExitThread();
    };
    auto pipeThread = [&](const std::u16string& pipe, bool read) {
        Handle h = Open(pipe);
        PVOID buffer = app().Alloc(64);
        while (!stop.load()) {
            EXPECT_NE(STATUS_PENDING, Transfer(read, h, buffer, 64).status);
            EXPECT_NE(STATUS_PENDING, Ioctl(h, IOCTL_KW_RESET_PIPE, {}, 0).status);
            ++requests;
        }
        app().Free(buffer);
        app().Close(h);
        app().ExitThread();
    };
    std::atomic<bool> held{false};
    std::thread sender;
    {
        std::vector<std::thread> threads;
        threads.emplace_back(vendorThread, 1u);
        threads.emplace_back(vendorThread, 2u);
        threads.emplace_back(pipeThread, u"\\KWDrv0", false);
        threads.emplace_back(pipeThread, u"\\KWDrv1", true);  // reads what the writes loop back
        for (int round = 0; round < 2; ++round) {
            while (requests.load() < 40 * (round + 1)) std::this_thread::yield();
            EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Rebalance(bus().Pdo()).restart.start.status);
        }
        while (requests.load() < 120) std::this_thread::yield();

        // Another driver's request, held in the USB stack: only its descriptor read is held.
        bus().SetScript([&held](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            if (UrbOf(s, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) == nullptr || held.exchange(true)) return std::nullopt;
            return Answered(sim::usb::AnswerMode::Hold, STATUS_SUCCESS, USBD_STATUS_SUCCESS, false);
        });
        sender = std::thread([this] { ForeignIoctl(IOCTL_KW_GET_CONFIG_DESCRIPTOR); });
        while (bus().HeldCount() == 0) std::this_thread::yield();
        bus().Unplug();
        EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemoval(bus().Pdo()).status);
        stop = true;
        for (auto& t : threads) t.join();
    }
    app().Flush();
    Baseline();
    for (ULONG code : {IOCTL_KW_GET_CONFIG_DESCRIPTOR, IOCTL_KW_VENDOR_IN_01, IOCTL_KW_NO_OPERATION}) {
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, ForeignIoctl(code).status);
    }
    EXPECT_EQ(0u, Sent());
    std::atomic<bool> removed{false};
    std::thread remover([&] { Remove(); removed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());  // the removal waits for the request inside the driver
    bus().CompleteHeld(Answered(sim::usb::AnswerMode::Inline, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
    remover.join();
    sender.join();
    EXPECT_TRUE(removed.load());
}

}  // namespace
