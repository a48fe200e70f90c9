// What Windows does with events, device objects, device interfaces, Plug and Play requests and
// the model's fault injection.
#include "test_stack.h"
#include "usb/bus.h"

#include <chrono>
#include <thread>

using namespace simtest;

namespace {

class KernelTest : public ModelTest {};

TEST_F(KernelTest, EventsReturnPreviousStateAndResetByType) {
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, FALSE);
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(0, KeSetEvent(&n, IO_NO_INCREMENT, FALSE));
    EXPECT_NE(0, KeSetEvent(&n, IO_NO_INCREMENT, FALSE));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    // A notification event stays signalled; a synchronization event clears on a satisfied wait.
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero));
    EXPECT_NE(0, KeResetEvent(&n));
    EXPECT_EQ(0, KeReadStateEvent(&n));
}

// KeSetEvent(..., Wait = TRUE) returns at DISPATCH_LEVEL and the wait that must follow brings
// the IRQL back; a positive time-out is an absolute system time, so one in the past ends the
// wait at once and one just ahead waits until then.
TEST_F(KernelTest, SetEventWithWaitAndAbsoluteTimeouts) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, TRUE);
    KeSetEvent(&a, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    KeClearEvent(&a);
    LARGE_INTEGER now, at;
    KeQuerySystemTime(&now);
    at.QuadPart = now.QuadPart - 10 * 1000 * 1000 * 60;  // a minute ago
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &at));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    at.QuadPart = now.QuadPart + 10 * 1000 * 20;  // 20 ms after `now`
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &at));
    KeQuerySystemTime(&now);
    EXPECT_GE(now.QuadPart, at.QuadPart);
}

// A spin lock raises to DISPATCH_LEVEL and its release restores the caller's IRQL; locks nest.
TEST_F(KernelTest, SpinLocksNestAndRestoreIrql) {
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL old;
    KeAcquireSpinLock(&outer, &old);
    KeAcquireSpinLockAtDpcLevel(&inner);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&outer, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(KernelTest, ConcurrencySynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT s;
    KeInitializeEvent(&s, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    }
    KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
    while (woken.load() < 1) std::this_thread::yield();
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -100000;  // 10 ms: the second waiter must still be blocked
    KEVENT idle;
    KeInitializeEvent(&idle, NotificationEvent, FALSE);
    KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, &shortWait);
    EXPECT_EQ(1, woken.load());
    KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(2, woken.load());
}

// A new device object: zero-filled extension, stack size 1 until attached; a driver's dispatch
// entries it never set answer STATUS_INVALID_DEVICE_REQUEST.
TEST_F(KernelTest, CreateAttachAndDefaultDispatch) {
    Layer pdo("bus", true);
    PDRIVER_OBJECT drv = sim::CreateModelDriver("empty");
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(drv, 1000, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d));
    auto ext = static_cast<const UCHAR*>(d->DeviceExtension);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(0, ext[i]) << "byte " << i;
    EXPECT_EQ(IO_TYPE_DEVICE, d->Type);
    EXPECT_EQ(1, d->StackSize);
    EXPECT_NE(0u, d->Flags & DO_DEVICE_INITIALIZING);
    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_READ}) {
        sim::RequestResult r = sim::SendToStack(d, major, 0);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.status);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.dispatchReturned);
    }
    EXPECT_EQ(pdo.device(), IoAttachDeviceToDeviceStack(d, pdo.device()));
    EXPECT_EQ(2, d->StackSize);
    EXPECT_EQ(d, pdo.device()->AttachedDevice);
    EXPECT_EQ(pdo.device(), sim::LowerDeviceOf(d));
    IoDetachDevice(pdo.device());
    EXPECT_EQ(nullptr, pdo.device()->AttachedDevice);
    IoDeleteDevice(d);
    sim::DeleteModelDriver(drv);
}

// Interface link names: \??\ + instance ID with '#' for '\' + '#' + lower-case GUID; Length
// without the terminator, MaximumLength with it; enabling and disabling twice report so.
TEST_F(KernelTest, DeviceInterfaceNamesAndStates) {
    Layer pdo("bus", true, "USB\\VID_1209&PID_0001\\7&1");
    Layer notPdo("function");
    const GUID guid = {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};
    UNICODE_STRING link{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(notPdo.device(), &guid, nullptr, &link));
    UNICODE_STRING badRef;
    RtlInitUnicodeString(&badRef, u"a\\b");
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(pdo.device(), &guid, &badRef, &link));
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo.device(), &guid, nullptr, &link));
    std::u16string name = sim::ToU16(&link);
    EXPECT_EQ("\\??\\USB#VID_1209&PID_0001#7&1#{77f49321-16ef-11d2-ad51-006097b514dd}", sim::Narrow(name));
    EXPECT_EQ(name.size() * 2, link.Length);
    EXPECT_EQ(link.Length + 2u, link.MaximumLength);
    EXPECT_EQ(0, link.Buffer[name.size()]);
    EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(name));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&link, TRUE));
    EXPECT_EQ(sim::InterfaceState::Enabled, sim::QueryInterfaceState(name));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&link, FALSE));
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(nullptr, link.Buffer);
}

// The PnP manager presets STATUS_NOT_SUPPORTED and sends to the top of the stack; the bus
// completes what it does not handle with the status unchanged. After a successful start it asks
// again for the capabilities, then for the PnP device state and the bus relations.
TEST_F(KernelTest, PnpRequestsStartNotSupportedAtTheTopAndFollowAStart) {
    sim::usb::BusDevice bus;
    Layer filter("filter");
    ASSERT_EQ(bus.Pdo(), IoAttachDeviceToDeviceStack(filter.device(), bus.Pdo()));
    filter.device()->Flags &= ~DO_DEVICE_INITIALIZING;
    NTSTATUS seen = 0;
    filter.handler = [&](PDEVICE_OBJECT, PIRP irp) {
        seen = irp->IoStatus.Status;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(bus.Pdo(), irp);
    };
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus.Pdo()).start.status);
    std::vector<UCHAR> minors;
    for (const auto& e : bus.Trace()) minors.push_back(e.minor);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                  IRP_MN_QUERY_DEVICE_RELATIONS}),
              minors);
    bus.ClearTrace();
    sim::RequestResult r = sim::pnp::Send(bus.Pdo(), IRP_MN_QUERY_ID);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, seen);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, r.status);
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Send(bus.Pdo(), IRP_MN_QUERY_STOP_DEVICE).status);
    ASSERT_EQ(2u, bus.Trace().size());
    EXPECT_EQ(IRP_MN_QUERY_ID, bus.Trace()[0].minor);
}

// The bus fills a capability record only when it arrives with its size and version set.
TEST_F(KernelTest, BusAnswersCapabilitiesOnlyForAWellFormedRecord) {
    sim::usb::BusDevice bus;
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryCapabilities(bus.Pdo(), &caps).status);
    EXPECT_EQ(PowerDeviceD2, caps.DeviceWake);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    for (auto breakIt : {+[](DEVICE_CAPABILITIES* c) { c->Size = 0; }, +[](DEVICE_CAPABILITIES* c) { c->Version = 0; }}) {
        DEVICE_CAPABILITIES bad{};
        sim::RequestResult r = sim::pnp::Send(bus.Pdo(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
            bad.Size = sizeof bad;
            bad.Version = 1;
            breakIt(&bad);
            s->Parameters.DeviceCapabilities.Capabilities = &bad;
        });
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
        EXPECT_EQ(PowerDeviceUnspecified, bad.DeviceWake);
    }
}

// One call site for every allocation it makes.
__attribute__((noinline)) PVOID allocate() { return ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554); }

// Fault injection by ordinal, by kind and by call site; every call is recorded.
TEST_F(KernelTest, FaultInjectionSelectsCalls) {
    sim::faults::FailOrdinal(2);
    PVOID a = allocate();
    PVOID b = allocate();
    PVOID c = allocate();
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(nullptr, b);
    EXPECT_NE(nullptr, c);
    ExFreePoolWithTag(a, 0x74736554);
    ExFreePoolWithTag(c, 0x74736554);

    sim::faults::FailKind(sim::FaultKind::AllocateIrp, 1);
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, irp);
    IoFreeIrp(irp);

    auto sites = sim::faults::Sites();
    ASSERT_GE(sites.size(), 2u);
    sim::faults::FailSite(sites[0].site);
    EXPECT_EQ(nullptr, allocate());
    EXPECT_EQ(3u, sim::faults::InjectedCount());
}

}  // namespace
