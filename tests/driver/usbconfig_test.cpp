// USB configuration: descriptor reads, configuration selection, the pipe table, pipe
// maintenance and the table of tracked transfers, driven through the bus model with a scripted
// USB stack.
#include "driver_fixture.h"
#include "sim/test_stack.h"
#include "usb/descriptors.h"

#include <algorithm>
#include <map>
#include <optional>
#include <thread>

using namespace drivertest;

namespace {

using Bytes = std::vector<UCHAR>;

struct Ep {
    UCHAR address;
    UCHAR type;  // USB_ENDPOINT_TYPE_*
    USHORT maxPacket;
};
struct Alt {
    UCHAR number;
    UCHAR alternate;
    UCHAR cls;
    std::vector<Ep> eps;
};

// A configuration set with the given interfaces, padded with vendor descriptors up to padTo.
Bytes MakeSet(const std::vector<Alt>& alts, size_t padTo = 0) {
    std::vector<UCHAR> numbers;
    for (const Alt& a : alts)
        if (std::find(numbers.begin(), numbers.end(), a.number) == numbers.end()) numbers.push_back(a.number);
    Bytes b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<UCHAR>(numbers.size()), 1, 0, 0x80, 50};
    for (const Alt& a : alts) {
        b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, a.number, a.alternate,
                           static_cast<UCHAR>(a.eps.size()), a.cls, 0, 0, 0});
        for (const Ep& e : a.eps)
            b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type,
                               static_cast<UCHAR>(e.maxPacket), static_cast<UCHAR>(e.maxPacket >> 8), 1});
    }
    while (b.size() < padTo) {
        size_t n = std::min<size_t>(255, padTo - b.size());
        if (padTo - b.size() - n == 1) --n;  // never leave a one-byte tail
        b.push_back(static_cast<UCHAR>(n));
        b.push_back(0x41);
        b.resize(b.size() + n - 2, 0);
    }
    b[2] = static_cast<UCHAR>(b.size());
    b[3] = static_cast<UCHAR>(b.size() >> 8);
    return b;
}

std::vector<Ep> Pipes(size_t n) {
    std::vector<Ep> eps;
    for (size_t i = 0; i < n; ++i)
        eps.push_back({static_cast<UCHAR>((i + 1) | (i % 2 ? 0x00 : 0x80)), USB_ENDPOINT_TYPE_BULK, 64});
    return eps;
}

// Our test firmware: interface 0 in alternate settings 0 and 1.
const std::vector<Ep> kAlt1Pipes = {{0x81, USB_ENDPOINT_TYPE_BULK, 64},
                                    {0x02, USB_ENDPOINT_TYPE_BULK, 64},
                                    {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8},
                                    {0x84, USB_ENDPOINT_TYPE_ISOCHRONOUS, 256},
                                    {0x05, USB_ENDPOINT_TYPE_ISOCHRONOUS, 256}};
Bytes FirmwareSet() { return MakeSet({{0, 0, 0xFF, {}}, {0, 1, 0xFF, kAlt1Pipes}}); }

// A scripted USB stack: answers descriptor reads, selections and pipe requests, and records
// every URB as the driver submitted it.
struct FakeUsb {
    struct Sent {
        USHORT function = 0, length = 0;
        UCHAR descType = 0;
        ULONG bufferLength = 0;
        PVOID pipeHandle = nullptr;
        USHORT feature = 0, index = 0;
        bool config = false;  // select: ConfigurationDescriptor set
        std::vector<USBD_PIPE_INFORMATION> pipes;
    };
    Bytes device = {0x12, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x09, 0x12, 0x01, 0, 0, 1, 1, 2, 3, 1};
    std::vector<Bytes> configReads = {FirmwareSet()};  // read k answers [min(k, n - 1)]
    size_t deliverCap = 0xFFFF;
    std::map<USHORT, NTSTATUS> fail;  // URB function -> status
    std::vector<Sent> sent;
    int configRead = 0;

    static void Copy(PURB u, const Bytes& data, size_t cap) {
        auto& r = u->UrbControlDescriptorRequest;
        size_t n = std::min({static_cast<size_t>(r.TransferBufferLength), data.size(), cap});
        std::copy_n(data.begin(), n, static_cast<PUCHAR>(r.TransferBuffer));
        r.TransferBufferLength = static_cast<ULONG>(n);
    }
    // The pipes of the interface the request selects, as the USB stack fills them.
    static void FillPipes(PURB u) {
        auto cd = u->UrbSelectConfiguration.ConfigurationDescriptor;
        std::string err;
        auto layout = sim::usb::WalkConfiguration(reinterpret_cast<PUCHAR>(cd), cd->wTotalLength, &err);
        PUSBD_INTERFACE_INFORMATION i = &u->UrbSelectConfiguration.Interface;
        const sim::usb::InterfaceInfo* alt = layout ? layout->Find(i->InterfaceNumber, i->AlternateSetting) : nullptr;
        ASSERT_NE(nullptr, alt) << err;
        u->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<PVOID>(0xC0F);
        for (ULONG p = 0; p < i->NumberOfPipes; ++p) {
            const sim::usb::EndpointInfo& e = alt->endpoints.at(p);
            i->Pipes[p].EndpointAddress = e.address;
            i->Pipes[p].MaximumPacketSize = e.wMaxPacketSize;
            i->Pipes[p].PipeType = static_cast<USBD_PIPE_TYPE>(e.Type());
            i->Pipes[p].PipeHandle = reinterpret_cast<PVOID>(0x1000 + e.address);
        }
    }
    std::optional<sim::usb::Answer> Answer(PIRP, PIO_STACK_LOCATION s) {
        auto u = static_cast<PURB>(s->Parameters.Others.Argument1);
        Sent rec;
        rec.function = u->UrbHeader.Function;
        rec.length = u->UrbHeader.Length;
        sim::usb::Answer a;
        switch (rec.function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                rec.descType = u->UrbControlDescriptorRequest.DescriptorType;
                rec.bufferLength = u->UrbControlDescriptorRequest.TransferBufferLength;
                EXPECT_EQ(0, u->UrbControlDescriptorRequest.Index);
                EXPECT_EQ(0, u->UrbControlDescriptorRequest.LanguageId);
                EXPECT_EQ(nullptr, u->UrbControlDescriptorRequest.TransferBufferMDL);
                EXPECT_EQ(nullptr, u->UrbControlDescriptorRequest.UrbLink);
                bool dev = rec.descType == USB_DEVICE_DESCRIPTOR_TYPE;
                Bytes data = dev ? device : configReads[std::min<size_t>(configRead++, configReads.size() - 1)];
                size_t cap = dev ? 0xFFFF : deliverCap;
                a.effect = [data, cap](PIRP, PIO_STACK_LOCATION st) { Copy(static_cast<PURB>(st->Parameters.Others.Argument1), data, cap); };
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                rec.config = u->UrbSelectConfiguration.ConfigurationDescriptor != nullptr;
                if (rec.config) {
                    PUSBD_INTERFACE_INFORMATION i = &u->UrbSelectConfiguration.Interface;
                    rec.pipes.assign(i->Pipes, i->Pipes + i->NumberOfPipes);
                    a.effect = [](PIRP, PIO_STACK_LOCATION st) { FillPipes(static_cast<PURB>(st->Parameters.Others.Argument1)); };
                }
                break;
            }
            case URB_FUNCTION_GET_CONFIGURATION:
                rec.bufferLength = u->UrbControlGetConfigurationRequest.TransferBufferLength;
                EXPECT_EQ(reinterpret_cast<PUCHAR>(u) + u->UrbHeader.Length, u->UrbControlGetConfigurationRequest.TransferBuffer);
                a.effect = [](PIRP, PIO_STACK_LOCATION st) {
                    auto& r = static_cast<PURB>(st->Parameters.Others.Argument1)->UrbControlGetConfigurationRequest;
                    *static_cast<PUCHAR>(r.TransferBuffer) = 1;
                };
                break;
            case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
                rec.feature = u->UrbControlFeatureRequest.FeatureSelector;
                rec.index = u->UrbControlFeatureRequest.Index;
                break;
            default:
                rec.pipeHandle = u->UrbPipeRequest.PipeHandle;
                break;
        }
        if (fail.count(rec.function)) {
            a.status = fail[rec.function];
            a.usbdStatus = USBD_STATUS_STALL_PID;
            a.effect = nullptr;
        }
        sent.push_back(rec);
        return a;
    }
    std::vector<USHORT> Functions() const {
        std::vector<USHORT> f;
        for (const Sent& s : sent) f.push_back(s.function);
        return f;
    }
};

constexpr USHORT kDesc = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kSelect = URB_FUNCTION_SELECT_CONFIGURATION,
                 kGetConfig = URB_FUNCTION_GET_CONFIGURATION, kReset = URB_FUNCTION_RESET_PIPE,
                 kClear = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, kAbort = URB_FUNCTION_ABORT_PIPE;

std::u16string Name(const PIPE_CONTEXT& p) { return std::u16string(p.Name); }
std::u16string PipeName(char c) { return sim::Widen(std::string("\\KWDrv") + c); }

class UsbConfigTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        bus().SetScript([this](PIRP irp, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return std::nullopt;
            return usb.Answer(irp, s);
        });
    }
    // Binds entries to pipes as a successful start leaves them.
    void ExpectNamedPipes(ULONG named) {
        for (ULONG i = 0; i < KW_PIPE_TABLE_ENTRIES; ++i) {
            SCOPED_TRACE(i);
            const PIPE_CONTEXT& p = ext()->PipeTable[i];
            EXPECT_EQ(PipeName(i < named ? static_cast<char>('0' + i) : 'X'), Name(p));
            EXPECT_EQ(i < named ? ext()->InterfaceInfo->Pipes + i : nullptr, p.PipeInfo);
        }
    }
    FakeUsb usb;
};

TEST(ConfigurationSetTest, StructureIsCheckedBeforeParsing) {
    const Bytes good = FirmwareSet();
    auto with = [&](size_t at, std::initializer_list<UCHAR> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    Bytes classSpecific = MakeSet({{0, 0, 0xFF, {{0x81, USB_ENDPOINT_TYPE_BULK, 64}}}});
    classSpecific.insert(classSpecific.begin() + 18, {5, 0x24, 0, 0, 0});  // between interface and endpoint
    classSpecific[2] = static_cast<UCHAR>(classSpecific.size());
    Bytes tailInterface = good;  // an 8-byte interface descriptor closing the set
    tailInterface.insert(tailInterface.end(), {8, 4, 1, 0, 1, 0, 0, 0});
    tailInterface[2] = static_cast<UCHAR>(tailInterface.size());
    struct Case {
        const char* what;
        Bytes set;
        size_t delivered;
        bool valid;
    } cases[] = {
        {"firmware set", good, good.size(), true},
        {"class-specific descriptor between interface and endpoint", classSpecific, classSpecific.size(), true},
        {"surplus endpoint", MakeSet({{0, 0, 0, Pipes(2)}}), 32, true},
        {"wTotalLength above the bytes delivered", good, good.size() - 1, false},
        {"fewer than 9 bytes delivered", good, 8, false},
        {"wTotalLength below 9", with(2, {8, 0}), good.size(), false},
        {"first descriptor not a configuration", with(1, {USB_DEVICE_DESCRIPTOR_TYPE}), good.size(), false},
        {"configuration descriptor of 8 bytes", with(0, {8}), good.size(), false},
        {"bLength 0", with(9, {0}), good.size(), false},
        {"bLength 1", with(18, {1}), good.size(), false},
        {"descriptor past wTotalLength", with(good.size() - 7, {8}), good.size(), false},
        {"interface owes an endpoint at the end", with(22, {6}), good.size(), false},  // alt 1 claims 6
        {"interface owes an endpoint at the next interface", with(13, {1}), good.size(), false},
        {"endpoint of 6 bytes", with(good.size() - 7, {6, 5, 0x05, 1, 0, 1, 6}), good.size(), false},
        {"interface descriptor of 8 bytes at the end", tailInterface, tailInterface.size(), false},
    };
    cases[2].set[13] = 1;  // the interface claims one of its two endpoints
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes exact(c.set.begin(), c.set.begin() + std::min(c.delivered, c.set.size()));
        EXPECT_EQ(c.valid ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR,
                  ValidateConfigurationSet(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(exact.data()),
                                           static_cast<ULONG>(c.delivered)));
    }
}

TEST_F(UsbConfigTest, ConfigurationReadSizes) {
    struct Case {
        const char* what;
        std::vector<Bytes> reads;
        size_t cap;
        std::vector<ULONG> sizes;  // buffer sizes requested, in order
        bool ok;
    } cases[] = {
        {"32-byte set", {MakeSet({{0, 0, 0, Pipes(2)}})}, 0xFFFF, {265}, true},
        {"exactly 265", {MakeSet({}, 265)}, 0xFFFF, {265}, true},
        {"266 costs a second read", {MakeSet({}, 266)}, 0xFFFF, {265, 266}, true},
        {"300 then 400", {MakeSet({}, 300), MakeSet({}, 400)}, 0xFFFF, {265, 300, 400}, true},
        {"8 bytes delivered", {MakeSet({})}, 8, {265}, false},
        {"wTotalLength 8", {Bytes{9, 2, 8, 0, 0, 1, 0, 0x80, 50}}, 0xFFFF, {265}, false},
        {"100 announced, 50 delivered", {MakeSet({}, 100)}, 50, {265}, false},
        {"not a configuration descriptor", {Bytes{9, 4, 9, 0, 0, 0, 0, 0, 0}}, 0xFFFF, {265}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        usb.sent.clear();
        usb.configRead = 0;
        usb.configReads = c.reads;
        usb.deliverCap = c.cap;
        PUSB_CONFIGURATION_DESCRIPTOR set = FetchConfigurationDescriptor(fdo());
        std::vector<ULONG> sizes;
        for (const auto& s : usb.sent) {
            EXPECT_EQ(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), s.length);
            EXPECT_EQ(USB_CONFIGURATION_DESCRIPTOR_TYPE, s.descType);
            sizes.push_back(s.bufferLength);
        }
        EXPECT_EQ(c.sizes, sizes);
        ASSERT_EQ(c.ok, set != nullptr);
        if (set != nullptr) {
            const Bytes& last = c.reads.back();
            EXPECT_TRUE(std::equal(last.begin(), last.end(), reinterpret_cast<PUCHAR>(set)));
            KwFreePool(set);
        }
    }
    usb.fail[kDesc] = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(nullptr, FetchConfigurationDescriptor(fdo()));
}

TEST_F(UsbConfigTest, StartSelectsAlternateSettingOneTwice) {
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    EXPECT_EQ((std::vector<USHORT>{kDesc, kDesc, kSelect, kSelect, kGetConfig}), usb.Functions());
    EXPECT_EQ(sizeof(USB_DEVICE_DESCRIPTOR), usb.sent[0].bufferLength);
    EXPECT_EQ(1u, usb.sent[4].bufferLength);
    EXPECT_EQ(usb.sent[2].length, usb.sent[3].length);
    for (const auto& p : usb.sent[2].pipes) EXPECT_EQ(0u, p.PipeFlags);  // as the builder made it
    ASSERT_EQ(kAlt1Pipes.size(), usb.sent[3].pipes.size());
    for (const auto& p : usb.sent[3].pipes) {
        EXPECT_EQ(0xFFFFu, p.MaximumTransferSize);
        EXPECT_EQ(static_cast<ULONG>(USBD_PF_CHANGE_MAX_PACKET), p.PipeFlags);
    }
    PUSBD_INTERFACE_INFORMATION i = ext()->InterfaceInfo;
    ASSERT_NE(nullptr, i);
    EXPECT_EQ(1, i->AlternateSetting);
    EXPECT_EQ(0x84, i->Pipes[3].EndpointAddress);
    EXPECT_EQ(UsbdPipeTypeIsochronous, i->Pipes[3].PipeType);
    EXPECT_EQ(reinterpret_cast<PVOID>(0xC0F), ext()->ConfigurationHandle);
    EXPECT_TRUE(std::equal(usb.device.begin(), usb.device.end(), reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)));
    ExpectNamedPipes(static_cast<ULONG>(kAlt1Pipes.size()));
}

TEST_F(UsbConfigTest, StartWithoutAlternateSettingOne) {
    usb.configReads = {MakeSet({{0, 0, 0, Pipes(3)}, {1, 1, 0, Pipes(1)}})};
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    EXPECT_EQ((std::vector<USHORT>{kDesc, kDesc, kSelect, kGetConfig}), usb.Functions());
    for (const auto& p : usb.sent[2].pipes) {
        EXPECT_EQ(0xFFFFu, p.MaximumTransferSize);
        EXPECT_EQ(0u, p.PipeFlags);
    }
    ExpectNamedPipes(3);
}

// Pipe i is named '0' + i in interface order; pipes beyond the fourteenth get no entry.
TEST_F(UsbConfigTest, PipeTableFollowsTheInterface) {
    for (size_t pipes : {0, 3, 14, 16}) {
        SCOPED_TRACE(pipes);
        usb.configReads = {MakeSet({{0, 1, 0, Pipes(pipes)}})};
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
        ExpectNamedPipes(static_cast<ULONG>(std::min<size_t>(pipes, KW_PIPE_TABLE_ENTRIES)));
        for (PIRP slot : ext()->PendingTransfers) EXPECT_EQ(nullptr, slot);
    }
    EXPECT_EQ(PipeName('='), Name(ext()->PipeTable[13]));
    usb.sent.clear();
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(fdo()));  // every pipe of the interface, named or not
    ASSERT_EQ(16u, usb.sent.size());
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(ext()->InterfaceInfo->Pipes[i].PipeHandle, usb.sent[i].pipeHandle);
}

TEST_F(UsbConfigTest, StartFailures) {
    struct Case {
        const char* what;
        USHORT failing;
        Bytes set;
        NTSTATUS expected;
        std::vector<USHORT> functions;
        bool interfaceStored;
    } cases[] = {
        {"device descriptor", kDesc, FirmwareSet(), STATUS_UNSUCCESSFUL, {kDesc}, false},
        {"second selection", kSelect, FirmwareSet(), STATUS_UNSUCCESSFUL, {kDesc, kDesc, kSelect, kSelect}, false},
        {"read-back", kGetConfig, FirmwareSet(), STATUS_UNSUCCESSFUL, {kDesc, kDesc, kSelect, kSelect, kGetConfig}, true},
        {"malformed set", 0xFFFF, MakeSet({{0, 1, 0, Pipes(2)}}, 40), STATUS_DEVICE_DATA_ERROR, {kDesc, kDesc}, false},
    };
    cases[3].set[13] = 3;  // three endpoints claimed, two present
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Remove();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        usb = FakeUsb{};
        usb.configReads = {c.set};
        usb.fail[c.failing] = STATUS_UNSUCCESSFUL;
        EXPECT_EQ(c.expected, StartDevice(fdo()));
        EXPECT_EQ(c.functions, usb.Functions());
        EXPECT_EQ(c.interfaceStored, ext()->InterfaceInfo != nullptr);
        EXPECT_EQ(0, ext()->PipeTable[0].Name[0]);  // no names built
    }
}

// Every allocation of a start, failed in turn: the documented status, nothing leaked.
TEST_F(UsbConfigTest, StartFaultSweep) {
    sim::faults::Clear();
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    const uint64_t calls = sim::faults::CallCount();
    ASSERT_GE(calls, 8u);
    for (uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(n);
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
        ASSERT_EQ(STATUS_SUCCESS, Add());
        usb = FakeUsb{};
        sim::faults::Clear();
        sim::faults::FailOrdinal(n);
        NTSTATUS st = StartDevice(fdo());
        EXPECT_EQ(1u, sim::faults::InjectedCount());
        sim::faults::Clear();
        EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_INSUFFICIENT_RESOURCES) << sim::StatusName(st);
        EXPECT_EQ(st == STATUS_SUCCESS, ext()->PipeTable[0].PipeInfo != nullptr);
    }
}

// A start after a stop replaces both copies; the replaced ones stay readable until removal, and
// a pipe stays held by the handle that opened it.
TEST_F(UsbConfigTest, RestartKeepsReplacedCopiesUntilRemoval) {
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    PUSB_DEVICE_DESCRIPTOR oldDevice = ext()->DeviceDescriptor;
    PUSBD_PIPE_INFORMATION oldPipe4 = ext()->PipeTable[4].PipeInfo;
    ext()->PipeTable[0].Opened = TRUE;
    ASSERT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    EXPECT_EQ(oldPipe4, ext()->PipeTable[4].PipeInfo);  // a stop changes nothing

    usb.device[12] = 0x77;
    usb.configReads = {MakeSet({{0, 0, 0, {}}, {0, 1, 0, Pipes(2)}})};
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    EXPECT_NE(oldDevice, ext()->DeviceDescriptor);
    EXPECT_EQ(0x77, reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)[12]);
    EXPECT_EQ(0x00, reinterpret_cast<PUCHAR>(oldDevice)[12]);  // still readable, unchanged
    EXPECT_EQ(0x05, oldPipe4->EndpointAddress);
    EXPECT_TRUE(ext()->PipeTable[0].Opened);  // still held by the handle that opened it
    ExpectNamedPipes(2);  // entries 2 to 4 lost their pipes
    ext()->PipeTable[0].Opened = FALSE;
}

TEST_F(UsbConfigTest, ResetPipeRequests) {
    struct Case {
        USBD_PIPE_TYPE type;
        BOOLEAN clearHalt;
        bool resetFails;
        std::vector<USHORT> functions;
        NTSTATUS expected;
    } cases[] = {
        {UsbdPipeTypeBulk, TRUE, false, {kReset}, STATUS_SUCCESS},
        {UsbdPipeTypeIsochronous, FALSE, false, {kReset}, STATUS_SUCCESS},
        {UsbdPipeTypeIsochronous, TRUE, false, {kReset, kClear}, STATUS_SUCCESS},
        {UsbdPipeTypeIsochronous, TRUE, true, {kReset}, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << int(c.clearHalt) << " " << c.resetFails);
        usb = FakeUsb{};
        if (c.resetFails) usb.fail[kReset] = STATUS_UNSUCCESSFUL;
        USBD_PIPE_INFORMATION info{};
        info.PipeType = c.type;
        info.EndpointAddress = 0x81;
        info.PipeHandle = reinterpret_cast<PVOID>(0x4321);
        PIPE_CONTEXT ctx{};
        ctx.PipeInfo = &info;
        EXPECT_EQ(c.expected, ResetPipe(fdo(), &ctx, c.clearHalt));
        ASSERT_EQ(c.functions, usb.Functions());
        EXPECT_EQ(sizeof(struct _URB_PIPE_REQUEST), usb.sent[0].length);
        EXPECT_EQ(info.PipeHandle, usb.sent[0].pipeHandle);
        if (c.functions.size() == 2) {
            EXPECT_EQ(USB_FEATURE_ENDPOINT_STALL, usb.sent[1].feature);
            EXPECT_EQ(0x0081, usb.sent[1].index);
        }
    }
    usb = FakeUsb{};
    PIPE_CONTEXT unassigned{};
    EXPECT_EQ(STATUS_INVALID_HANDLE, ResetPipe(fdo(), &unassigned, TRUE));
    EXPECT_TRUE(usb.sent.empty());
}

TEST_F(UsbConfigTest, AbortPipesAndStopDevice) {
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(fdo()));  // no interface yet: nothing sent
    EXPECT_TRUE(usb.sent.empty());
    usb.configReads = {MakeSet({{0, 1, 0, Pipes(3)}})};
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    usb.sent.clear();
    sim::faults::FailKind(sim::FaultKind::Pool, 2);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AbortPipes(fdo()));
    sim::faults::Clear();
    EXPECT_EQ(std::vector<USHORT>{kAbort}, usb.Functions());

    usb.sent.clear();
    usb.fail[kSelect] = STATUS_UNSUCCESSFUL;  // ignored: the stop stands
    EXPECT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    ASSERT_EQ(std::vector<USHORT>{kSelect}, usb.Functions());
    EXPECT_FALSE(usb.sent[0].config);
    EXPECT_EQ(sizeof(struct _URB_SELECT_CONFIGURATION), usb.sent[0].length);
    sim::faults::FailKind(sim::FaultKind::Pool);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, StopDevice(fdo()));
    sim::faults::Clear();
}

// ---------------------------------------------------------------------------------------------
// Tracked transfers: a test layer above a test "USB stack" plays the transfer path, with a
// completion routine that follows the contract of UntrackTransfer.
// ---------------------------------------------------------------------------------------------
enum class LowerCancel { Inline, Dpc };

class TrackedTransfers {
public:
    TrackedTransfers(PDEVICE_OBJECT fdo, LowerCancel mode) : fdo_(fdo), stack_(2) {
        static LowerCancel s_mode;
        s_mode = mode;
        stack_[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP c) {
                IoReleaseCancelSpinLock(c->CancelIrql);
                auto complete = [c] { c->IoStatus.Status = STATUS_CANCELLED; IoCompleteRequest(c, IO_NO_INCREMENT); };
                if (s_mode == LowerCancel::Inline) complete(); else sim::QueueDpc(complete);
            });
            return STATUS_PENDING;
        };
        stack_[1].handler = [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, &TrackedTransfers::Completion, this, TRUE, TRUE, TRUE);
            if (track_) {
                EXPECT_TRUE(TrackTransfer(fdo_, irp));
            }
            return IoCallDriver(stack_[0].device(), irp);
        };
    }
    // Sends one transfer; returns the IRP, owned by the stack until it completes at the top.
    PIRP Send(bool track = true) {
        track_ = track;
        PIRP irp = sim::AllocateManagedIrp(stack_.top()->StackSize, sim::IrpOrigin::User, [this](PIRP i) {
            std::lock_guard<std::mutex> g(m_);
            finals_.push_back({i, i->IoStatus.Status});
        });
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack_.top(), irp));
        return irp;
    }
    // Completes a held transfer as the USB stack would, unless its cancel routine has it.
    void CompleteFromDpc(PIRP irp) {
        sim::QueueDpc([irp] {
            if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
    }
    std::vector<std::pair<PIRP, NTSTATUS>> Finals() {
        std::lock_guard<std::mutex> g(m_);
        return finals_;
    }
    std::vector<BOOLEAN> untracked;  // what UntrackTransfer told each completion

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto self = static_cast<TrackedTransfers*>(context);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        BOOLEAN goOn = UntrackTransfer(self->fdo_, irp);
        std::lock_guard<std::mutex> g(self->m_);
        self->untracked.push_back(goOn);
        return goOn ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
    }
    PDEVICE_OBJECT fdo_;
    simtest::Stack stack_;
    bool track_ = true;
    std::mutex m_;
    std::vector<std::pair<PIRP, NTSTATUS>> finals_;
};

// The USB stack completes the IRP inside IoCancelIrp: the completion routine must hand it to
// the canceller, which completes it once it is done with it.
TEST_F(UsbConfigTest, CompletionDuringCancelIsFinishedByTheCanceller) {
    TrackedTransfers t(fdo(), LowerCancel::Inline);
    PIRP irp = t.Send();
    EXPECT_EQ(irp, ext()->PendingTransfers[0]);
    CancelPendingTransfers(fdo());
    EXPECT_EQ(std::vector<BOOLEAN>{FALSE}, t.untracked);
    EXPECT_EQ((std::vector<std::pair<PIRP, NTSTATUS>>{{irp, STATUS_CANCELLED}}), t.Finals());
    EXPECT_EQ(nullptr, ext()->PendingTransfers[0]);
}

TEST_F(UsbConfigTest, StopCancelsTrackedSlotsInOrderAndClearOnlyForgets) {
    TrackedTransfers t(fdo(), LowerCancel::Dpc);
    PIRP a = t.Send(false), b = t.Send(false), c = t.Send();
    ext()->PendingTransfers[0] = nullptr;  // move c's record
    ext()->PendingTransfers[2] = a;
    ext()->PendingTransfers[7] = b;
    ClearPendingTransfers(fdo());
    for (PIRP slot : ext()->PendingTransfers) EXPECT_EQ(nullptr, slot);
    EXPECT_FALSE(a->Cancel || b->Cancel || c->Cancel);

    ext()->PendingTransfers[2] = a;
    ext()->PendingTransfers[7] = b;
    usb.sent.clear();
    EXPECT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    sim::FlushDpcs();
    auto finals = t.Finals();
    EXPECT_EQ((std::vector<std::pair<PIRP, NTSTATUS>>{{a, STATUS_CANCELLED}, {b, STATUS_CANCELLED}}), finals);
    EXPECT_EQ(std::vector<USHORT>{kSelect}, usb.Functions());  // then the null configuration
    t.CompleteFromDpc(c);  // forgotten, not cancelled: it finishes normally
    sim::FlushDpcs();
    EXPECT_EQ(STATUS_SUCCESS, t.Finals().back().second);
}

// Cancels race completions from the DPC thread; every transfer completes exactly once and no
// IRP is touched after it has gone (the verifier would stop the test).
TEST_F(UsbConfigTest, ConcurrencyCancelRacesCompletion) {
    TrackedTransfers t(fdo(), LowerCancel::Dpc);
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        PIRP irp = t.Send();
        t.CompleteFromDpc(irp);
        if (round % 3 != 0) std::this_thread::yield();
        CancelPendingTransfers(fdo());
        sim::FlushDpcs();
        ASSERT_EQ(static_cast<size_t>(round + 1), t.Finals().size());
        ASSERT_EQ(irp, t.Finals().back().first);
        for (PIRP slot : ext()->PendingTransfers) ASSERT_EQ(nullptr, slot);
    }
}

}  // namespace
