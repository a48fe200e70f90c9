// Descriptor reads, configuration selection, pipe table and maintenance, tracked transfers.
#include "driver_fixture.h"
#include "sim/test_stack.h"

#include <algorithm>
#include <set>
#include <thread>
#include <tuple>

using namespace drivertest;
using sim::usb::Device;

namespace {

using Bytes = std::vector<UCHAR>;

// Interface settings in the given order: interface number, alternate setting and how many 64-byte
// bulk endpoints it has (0x81, 0x01, 0x82, 0x02, ... in interface 0, from endpoint 4n + 1 in
// interface n), padded with vendor descriptors to padTo bytes.
using Setting = std::tuple<UCHAR, UCHAR, UCHAR>;
Bytes MakeSet(const std::vector<Setting>& settings, size_t padTo = 0) {
    Bytes b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, 1, 0, 0x80, 50};
    std::set<UCHAR> numbers;
    for (auto [number, alternate, n] : settings) {
        numbers.insert(number);
        b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, n, 0xFF, 0, 0, 0});
        for (UCHAR i = 0; i < n; ++i)
            b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, UCHAR((number * 4 + i / 2 + 1) | (i % 2 ? 0 : 0x80)),
                               USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
    }
    b[4] = UCHAR(numbers.size());
    while (b.size() < padTo) {
        size_t n = std::min<size_t>(255, padTo - b.size());
        if (padTo - b.size() - n == 1) --n;  // never leave a one-byte tail
        b.insert(b.end(), {UCHAR(n), 0x41});
        b.resize(b.size() + n - 2, 0);
    }
    b[2] = UCHAR(b.size()), b[3] = UCHAR(b.size() >> 8);
    return b;
}

// The test firmware's device descriptor (byte 12 = release) with this configuration set.
std::shared_ptr<Device> MakeDevice(Bytes set, sim::usb::Quirks quirks = {}, UCHAR release = 0) {
    sim::usb::DeviceDescription d;
    d.device = Device::Default()->Description().device;
    d.device[12] = release;
    d.configuration = std::move(set);
    d.quirks = std::move(quirks);
    return std::make_shared<Device>(std::move(d));
}

constexpr USHORT kDesc = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kSelect = URB_FUNCTION_SELECT_CONFIGURATION,
                 kGetConfig = URB_FUNCTION_GET_CONFIGURATION, kReset = URB_FUNCTION_RESET_PIPE,
                 kClear = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, kAbort = URB_FUNCTION_ABORT_PIPE, kNone = 0xFFFF;

class UsbConfigTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        StartPdo();
        // Records every URB and fails those of function `failing`; the device model answers the rest.
        bus().SetScript([this](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return std::nullopt;
            auto u = static_cast<PURB>(s->Parameters.Others.Argument1);
            sent.functions.push_back(u->UrbHeader.Function);
            sent.pipes.push_back(u->UrbPipeRequest.PipeHandle);
            if (u->UrbHeader.Function != failing) return std::nullopt;
            return Answered(sim::usb::AnswerMode::Inline, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        });
    }
    // A new device object above `device`, the PDO started again after a removal that leaked nothing.
    void Replug(std::shared_ptr<Device> device) {
        Remove();
        EXPECT_EQ(0u, sim::LivePoolCount());
        bus().PlugIn(std::move(device));
        sim::SendToStack(bus().Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
        ASSERT_EQ(STATUS_SUCCESS, Add());
        sent = {};
    }
    // Entry i is bound to pipe i of the interface and named "\KWDrv" + ('0' + i); the rest "\KWDrvX".
    void ExpectNamedPipes(ULONG named) {
        for (ULONG i = 0; i < KW_PIPE_TABLE_ENTRIES; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(u"\\KWDrv" + std::u16string(1, i < named ? char16_t(u'0' + i) : u'X'),
                      std::u16string(ext()->PipeTable[i].Name));
            EXPECT_EQ(i < named ? ext()->InterfaceInfo->Pipes + i : nullptr, ext()->PipeTable[i].PipeInfo);
        }
    }
    struct { std::vector<USHORT> functions; std::vector<PVOID> pipes; } sent;  // URB function, its PipeHandle
    USHORT failing = kNone;
};

TEST(ConfigurationSetTest, StructureIsCheckedBeforeParsing) {
    const Bytes good = Device::Default()->Description().configuration;  // alt 0 at 9, alt 1 at 32
    auto with = [&](size_t at, std::initializer_list<UCHAR> v) {
        Bytes b = good;
        std::copy(v.begin(), v.end(), b.begin() + at);
        return b;
    };
    Bytes classSpecific = MakeSet({{0, 0, 1}});
    classSpecific.insert(classSpecific.begin() + 18, {5, 0x24, 0, 0, 0});  // between interface and endpoint
    Bytes tailInterface = good;  // an 8-byte interface descriptor closing the set
    tailInterface.insert(tailInterface.end(), {8, 4, 1, 0, 1, 0, 0, 0});
    for (Bytes* b : {&classSpecific, &tailInterface}) (*b)[2] = UCHAR(b->size());
    struct Case { const char* what; Bytes set; size_t delivered; bool valid; } cases[] = {
        {"firmware set", good, good.size(), true},
        {"class-specific descriptor between interface and endpoint", classSpecific, classSpecific.size(), true},
        {"surplus endpoint", with(13, {1}), good.size(), true},
        {"wTotalLength above the bytes delivered", good, good.size() - 1, false},
        {"fewer than 9 bytes delivered", good, 8, false},
        {"wTotalLength below 9", with(2, {8, 0}), good.size(), false},
        {"first descriptor not a configuration", with(1, {USB_DEVICE_DESCRIPTOR_TYPE}), good.size(), false},
        {"configuration descriptor of 8 bytes", with(0, {8}), good.size(), false},
        {"bLength 0", with(9, {0}), good.size(), false},
        {"bLength 1", with(18, {1}), good.size(), false},
        {"descriptor past wTotalLength", with(good.size() - 7, {8}), good.size(), false},
        {"interface owes an endpoint at the end", with(36, {6}), good.size(), false},
        {"interface owes an endpoint at the next interface", with(13, {3}), good.size(), false},
        {"endpoint of 6 bytes", with(good.size() - 7, {6, 5, 0x83, 1, 0, 1, 6}), good.size(), false},
        {"interface descriptor of 8 bytes at the end", tailInterface, tailInterface.size(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes exact(c.set.begin(), c.set.begin() + std::min(c.delivered, c.set.size()));
        EXPECT_EQ(c.valid ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR,
                  ValidateConfigurationSet(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(exact.data()),
                                           static_cast<ULONG>(c.delivered)));
    }
}

TEST_F(UsbConfigTest, ConfigurationReadSizes) {
    const Bytes small = MakeSet({{0, 0, 2}});
    auto padded = [](size_t n) { return MakeSet({{0, 0, 0}}, n); };
    // The device reports totalLengths[n] in read n, serves blob instead of the set, cuts every read to
    // shortBytes or stalls it; sizes: the wLength of each read of configuration descriptor 0, language 0.
    struct Case { const char* what; Bytes set; std::vector<USHORT> totalLengths; Bytes blob; ULONG shortBytes;
                  bool stall; std::vector<USHORT> sizes; bool ok; } cases[] = {
        {"32-byte set", small, {}, {}, 0, false, {265}, true},
        {"exactly 265", padded(265), {}, {}, 0, false, {265}, true},
        {"266 costs a second read", padded(266), {}, {}, 0, false, {265, 266}, true},
        {"300 then 400", padded(400), {300, 400}, {}, 0, false, {265, 300, 400}, true},
        {"8 bytes delivered", small, {}, {}, 8, false, {265}, false},
        {"wTotalLength 8", small, {}, {9, 2, 8, 0, 0, 1, 0, 0x80, 50}, 0, false, {265}, false},
        {"100 announced, 50 delivered", padded(100), {}, {}, 50, false, {265}, false},
        {"not a configuration descriptor", small, {}, {9, 4, 9, 0, 0, 0, 0, 0, 0}, 0, false, {265}, false},
        {"stalled", small, {}, {}, 0, true, {265}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::usb::Quirks q;
        q.totalLengthSequence = c.totalLengths;
        if (!c.blob.empty()) q.configurationSequence = {c.blob};
        if (c.shortBytes != 0) q.shortDescriptors = {{USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, c.shortBytes, 0}};
        if (c.stall) q.stallDescriptors = {{USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0}};
        bus().PlugIn(MakeDevice(c.set, q));
        PUSB_CONFIGURATION_DESCRIPTOR set = FetchConfigurationDescriptor(fdo());
        std::vector<USHORT> sizes;
        for (const sim::usb::ControlRecord& r : bus().PluggedDevice()->ControlLog())
            sizes.push_back(r.setup.wValue == 0x0200 && r.setup.wIndex == 0 ? r.setup.wLength : 0);
        EXPECT_EQ(c.sizes, sizes);
        ASSERT_EQ(c.ok, set != nullptr);
        if (set == nullptr) continue;
        EXPECT_TRUE(std::equal(c.set.begin(), c.set.end(), reinterpret_cast<PUCHAR>(set)));
        KwFreePool(set);
    }
}

// A start selects interface 0 in alternate setting 1 when the set has it (twice: the second time with
// the pipe parameters), else the default, reads the selection back and names the first 14 pipes.
TEST_F(UsbConfigTest, StartSelectsAlternateSettingOneElseTheDefault) {
    sim::usb::Quirks q;
    q.malformedConfiguration = true;
    Bytes claimsThree = MakeSet({{0, 0, 0}, {0, 1, 2}});
    claimsThree[22] = 3;  // three endpoints claimed, two present
    const std::vector<USHORT> twice = {kDesc, kDesc, kSelect, kSelect, kGetConfig};
    auto fw = Device::Default;
    auto alt1 = [](UCHAR pipes) { return MakeDevice(MakeSet({{0, 0, 0}, {0, 1, pipes}})); };
    struct Case { const char* what; std::shared_ptr<Device> device; USHORT failing; NTSTATUS expected;
                  std::vector<USHORT> functions; UCHAR alternate; ULONG pipes; bool interfaceStored; } cases[] = {
        {"firmware", fw(), kNone, STATUS_SUCCESS, twice, 1, 5, true},
        {"no pipes", alt1(0), kNone, STATUS_SUCCESS, twice, 1, 0, true},
        {"14 pipes", alt1(14), kNone, STATUS_SUCCESS, twice, 1, 14, true},
        {"16 pipes", alt1(16), kNone, STATUS_SUCCESS, twice, 1, 16, true},
        {"30 pipes", alt1(30), kNone, STATUS_SUCCESS, twice, 1, 30, true},
        {"a set of 4096 bytes", MakeDevice(MakeSet({{0, 0, 2}, {0, 1, 4}}, 4096)), kNone, STATUS_SUCCESS,
         {kDesc, kDesc, kDesc, kSelect, kSelect, kGetConfig}, 1, 4, true},
        // The USB stack moves at most 4096 bytes in one control transfer, and a descriptor read
        // cannot start past the beginning: a longer set cannot be read, and the start fails.
        {"a set of 4097 bytes", MakeDevice(MakeSet({{0, 0, 2}, {0, 1, 4}}, 4097)), kNone, STATUS_INVALID_PARAMETER,
         {kDesc, kDesc, kDesc}, 0, 0, false},
        {"alternate settings 0 and 2", MakeDevice(MakeSet({{0, 0, 3}, {0, 2, 1}})), kNone, STATUS_SUCCESS,
         {kDesc, kDesc, kSelect, kGetConfig}, 0, 3, true},
        {"device descriptor fails", fw(), kDesc, STATUS_UNSUCCESSFUL, {kDesc}, 0, 0, false},
        // A first selection that filled in nothing is not followed by a second one.
        {"selection fails", fw(), kSelect, STATUS_UNSUCCESSFUL, {kDesc, kDesc, kSelect}, 0, 0, false},
        {"read-back fails", fw(), kGetConfig, STATUS_UNSUCCESSFUL, twice, 1, 0, true},
        {"malformed set", MakeDevice(claimsThree, q), kNone, STATUS_DEVICE_DATA_ERROR, {kDesc, kDesc}, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Replug(c.device);
        failing = c.failing;
        EXPECT_EQ(c.expected, StartDevice(fdo()));
        EXPECT_EQ(c.functions, sent.functions);
        PUSBD_INTERFACE_INFORMATION i = ext()->InterfaceInfo;
        ASSERT_EQ(c.interfaceStored, i != nullptr);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(0, ext()->PipeTable[0].Name[0]);  // no names built
            continue;
        }
        EXPECT_EQ(c.alternate, c.device->AlternateSetting(0));
        EXPECT_EQ(c.alternate, i->AlternateSetting);
        ASSERT_EQ(c.pipes, i->NumberOfPipes);
        for (ULONG p = 0; p < i->NumberOfPipes; ++p) {
            EXPECT_EQ(0xFFFFu, i->Pipes[p].MaximumTransferSize);
            EXPECT_EQ(c.alternate == 1 ? ULONG(USBD_PF_CHANGE_MAX_PACKET) : 0u, i->Pipes[p].PipeFlags);
        }
        EXPECT_EQ(bus().ConfigurationHandle(), ext()->ConfigurationHandle);
        const Bytes& device = c.device->Description().device;
        EXPECT_TRUE(std::equal(device.begin(), device.end(), reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)));
        ExpectNamedPipes(std::min<ULONG>(c.pipes, KW_PIPE_TABLE_ENTRIES));
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

    bus().PlugIn(MakeDevice(MakeSet({{0, 0, 0}, {0, 1, 2}}), {}, 0x77));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    EXPECT_NE(oldDevice, ext()->DeviceDescriptor);
    EXPECT_EQ(0x77, reinterpret_cast<PUCHAR>(ext()->DeviceDescriptor)[12]);
    EXPECT_EQ(0x00, reinterpret_cast<PUCHAR>(oldDevice)[12]);  // still readable, unchanged
    EXPECT_EQ(0x83, oldPipe4->EndpointAddress);
    EXPECT_TRUE(ext()->PipeTable[0].Opened);
    ExpectNamedPipes(2);  // entries 2 to 4 lost their pipes
    ext()->PipeTable[0].Opened = FALSE;
}

// A reset goes to the pipe's handle; only an isochronous pipe also gets CLEAR_FEATURE(ENDPOINT_HALT).
TEST_F(UsbConfigTest, ResetPipeRequests) {
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    constexpr ULONG kNoPipe = kPipes;
    struct Case { ULONG pipe; BOOLEAN clearHalt; USHORT failing; std::vector<USHORT> functions; NTSTATUS expected; };
    for (const Case& c : {Case{kBulkIn, TRUE, kNone, {kReset}, STATUS_SUCCESS},
                          Case{kIsoIn, FALSE, kNone, {kReset}, STATUS_SUCCESS},
                          Case{kIsoIn, TRUE, kNone, {kReset, kClear}, STATUS_SUCCESS},
                          Case{kIsoIn, TRUE, kReset, {kReset}, STATUS_UNSUCCESSFUL},
                          Case{kNoPipe, TRUE, kNone, {}, STATUS_INVALID_HANDLE}}) {
        SCOPED_TRACE(testing::Message() << c.pipe << " " << int(c.clearHalt) << " " << c.failing);
        sent = {};
        failing = c.failing;
        bus().PluggedDevice()->ClearControlLog();
        EXPECT_EQ(c.expected, ResetPipe(fdo(), &ext()->PipeTable[c.pipe], c.clearHalt));
        ASSERT_EQ(c.functions, sent.functions);
        if (c.pipe == kNoPipe) continue;
        EXPECT_EQ(ext()->InterfaceInfo->Pipes[c.pipe].PipeHandle, sent.pipes[0]);
        auto log = bus().PluggedDevice()->ControlLog();
        if (c.functions.size() != 2) continue;
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ((std::vector<int>{USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x83}),
                  (std::vector<int>{log[0].setup.bRequest, log[0].setup.wValue, log[0].setup.wIndex}));
    }
}

// A configuration with several interfaces: every interface is named in the selection (the USB stack
// refuses one that leaves an interface out), interface 0 in alternate setting 1 when it has one and
// first, the others in alternate setting 0 whatever order the set lists them in; only interface 0's
// pipes get names.
TEST_F(UsbConfigTest, SeveralInterfacesAreAllSelected) {
    using Selected = std::pair<UCHAR, UCHAR>;  // interface number, alternate setting
    auto set = [](const std::vector<Setting>& settings) { return MakeDevice(MakeSet(settings)); };
    struct Case { const char* what; std::shared_ptr<Device> device; std::vector<std::vector<Selected>> selections; ULONG pipes; } cases[] = {
        {"interface 0 with alternate setting 1", set({{0, 0, 2}, {0, 1, 3}, {1, 0, 1}, {1, 1, 2}}),
         {{{0, 1}, {1, 0}}, {{0, 1}, {1, 0}}}, 3},
        {"listed out of order, numbers with gaps", set({{2, 1, 1}, {2, 0, 2}, {0, 0, 2}, {5, 0, 0}}),
         {{{0, 0}, {2, 0}, {5, 0}}}, 2},
        {"alternate setting 1 listed first", set({{1, 0, 1}, {0, 1, 1}, {0, 0, 0}}), {{{0, 1}, {1, 0}}, {{0, 1}, {1, 0}}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Replug(c.device);
        std::vector<std::vector<Selected>> selections;
        bus().SetScript([&](PIRP, PIO_STACK_LOCATION s) -> std::optional<sim::usb::Answer> {
            if (PURB u = UrbOf(s, URB_FUNCTION_SELECT_CONFIGURATION)) selections.push_back(SelectedInterfaces(u));
            return std::nullopt;
        });
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
        EXPECT_EQ(c.selections, selections);
        EXPECT_EQ(0, ext()->InterfaceInfo->InterfaceNumber);
        EXPECT_EQ(c.pipes, ext()->InterfaceInfo->NumberOfPipes);
        EXPECT_EQ(c.selections[0][0].second, ext()->InterfaceInfo->AlternateSetting);
    }
}

// AbortPipes aborts every pipe of the interface, also those beyond the pipe table.
TEST_F(UsbConfigTest, AbortPipesAndStopDevice) {
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(fdo()));  // no interface yet: nothing sent
    EXPECT_TRUE(sent.functions.empty());
    bus().PlugIn(MakeDevice(MakeSet({{0, 0, 0}, {0, 1, 16}})));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    sent = {};
    EXPECT_EQ(STATUS_SUCCESS, AbortPipes(fdo()));
    EXPECT_EQ(std::vector<USHORT>(16, kAbort), sent.functions);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(ext()->InterfaceInfo->Pipes[i].PipeHandle, sent.pipes.at(i));
    sent = {};
    sim::faults::FailKind(sim::FaultKind::Pool, 2);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AbortPipes(fdo()));
    sim::faults::Clear();
    EXPECT_EQ(std::vector<USHORT>{kAbort}, sent.functions);

    sent = {};
    EXPECT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    EXPECT_EQ(std::vector<USHORT>{kSelect}, sent.functions);
    EXPECT_EQ(0, bus().PluggedDevice()->Configuration());  // the null configuration
    failing = kSelect;  // ignored: the stop stands
    EXPECT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    sim::faults::FailKind(sim::FaultKind::Pool);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, StopDevice(fdo()));
    sim::faults::Clear();
}

// A test layer plays the transfer path (its completion routine as UntrackTransfer asks) above a "USB stack"
// that holds every transfer and completes a cancelled one inside IoCancelIrp or from the DPC thread.
class TrackedTransfers {
public:
    TrackedTransfers(PDEVICE_OBJECT fdo, bool cancelInline) : fdo_(fdo), stack_(2) {
        static bool s_inline;
        s_inline = cancelInline;
        s_self = this;
        stack_[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP c) NTAPI {
                IoReleaseCancelSpinLock(c->CancelIrql);
                auto complete = [c] { c->IoStatus.Status = STATUS_CANCELLED; IoCompleteRequest(c, IO_NO_INCREMENT); };
                if (s_inline) complete(); else sim::QueueDpc(complete);
            });
            return STATUS_PENDING;
        };
        stack_[1].handler = [this](PDEVICE_OBJECT, PIRP irp) {
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            if (track_) {
                PTRANSFER_CONTEXT t = AllocateTransfer(fdo_, irp, 0);
                EXPECT_EQ(STATUS_SUCCESS, TrackTransfer(fdo_, t, &TrackedTransfers::Completion));
            } else {
                IoSetCompletionRoutine(irp, &TrackedTransfers::Untracked, this, TRUE, TRUE, TRUE);
            }
            return IoCallDriver(stack_[0].device(), irp);
        };
    }
    // Sends one transfer; the stack owns the IRP until it completes at the top.
    PIRP Send(bool track = true) {
        track_ = track;
        PIRP irp = sim::AllocateManagedIrp(stack_.top()->StackSize, sim::IrpOrigin::User,
                                           [this](PIRP i) { finals.push_back({i, i->IoStatus.Status}); });
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack_.top(), irp));
        return irp;
    }
    // Completes a held transfer from the DPC thread, unless its cancel routine has it.
    static void CompleteFromDpc(PIRP irp) {
        sim::QueueDpc([irp] {
            if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
    }
    std::vector<std::pair<PIRP, NTSTATUS>> finals;  // each transfer as it completed at the top
    std::vector<BOOLEAN> untracked;                 // what UntrackTransfer told each completion

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto transfer = static_cast<PTRANSFER_CONTEXT>(context);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        BOOLEAN goOn = UntrackTransfer(s_self->fdo_, transfer);
        if (goOn) FreeTransfer(transfer);
        s_self->untracked.push_back(goOn);
        return goOn ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
    }
    static NTSTATUS NTAPI Untracked(PDEVICE_OBJECT, PIRP irp, PVOID) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    static inline TrackedTransfers* s_self = nullptr;
    PDEVICE_OBJECT fdo_;
    simtest::Stack stack_;
    bool track_ = true;
};

// A stop cancels every tracked transfer. The USB stack completes each inside IoCancelIrp: the
// completion routine hands it to the canceller, which completes it once done with it. A transfer
// that is not tracked is left alone and finishes normally.
TEST_F(UsbConfigTest, CompletionDuringCancelIsFinishedByTheCanceller) {
    TrackedTransfers t(fdo(), true);
    PIRP a = t.Send(), b = t.Send(), c = t.Send(false);
    EXPECT_EQ(STATUS_SUCCESS, StopDevice(fdo()));
    EXPECT_EQ((std::vector<BOOLEAN>{FALSE, FALSE}), t.untracked);
    std::set<PIRP> cancelled;
    for (const auto& [irp, status] : t.finals) {
        EXPECT_EQ(STATUS_CANCELLED, status);
        cancelled.insert(irp);
    }
    EXPECT_EQ((std::set<PIRP>{a, b}), cancelled);
    EXPECT_EQ(std::vector<USHORT>{kSelect}, sent.functions);  // then the null configuration
    EXPECT_TRUE(IsListEmpty(&ext()->TransferList));
    EXPECT_FALSE(c->Cancel);
    t.CompleteFromDpc(c);
    sim::FlushDpcs();
    EXPECT_EQ((std::pair<PIRP, NTSTATUS>{c, STATUS_SUCCESS}), t.finals.back());
}

// Cancels race completions from the DPC thread; every transfer completes exactly once and no
// IRP is touched after it has gone (the verifier would stop the test).
TEST_F(UsbConfigTest, ConcurrencyCancelRacesCompletion) {
    TrackedTransfers t(fdo(), false);
    for (int round = 0; round < 300; ++round) {
        PIRP irp = t.Send();
        t.CompleteFromDpc(irp);
        if (round % 3 != 0) std::this_thread::yield();
        CancelTransfers(fdo(), nullptr, TRUE);
        sim::FlushDpcs();
        ASSERT_EQ(static_cast<size_t>(round + 1), t.finals.size());
        ASSERT_EQ(irp, t.finals.back().first);
        ASSERT_TRUE(IsListEmpty(&ext()->TransferList));
    }
}

}  // namespace
