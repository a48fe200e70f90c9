// Removal against the lower stack: a request with no file object that is still inside the driver
// when REMOVE arrives, requests that arrive while REMOVE is on its way down, and the status the
// lower driver gives REMOVE.
#include "access_trap.h"
#include "driver_fixture.h"
#include "foreign.h"

#include <semaphore.h>

#include <future>

using namespace drivertest;

namespace {

class OrderingTest : public DriverTest {
protected:
    // Blocking waits begun by any driver so far.
    static uint64_t Waits() { return sim::Summary().waits; }
    // Runs REMOVE on a PnP thread of its own and returns once that removal has blocked in a wait
    // (whether before or after REMOVE went down), or has returned, which it may not do while a
    // request is inside the driver. Nothing else waits meanwhile.
    std::future<sim::RequestResult> RemoveUntilItWaits() {
        const uint64_t before = Waits();
        auto remove = std::async(std::launch::async, [pdo = bus().Pdo()] { return sim::pnp::Remove(pdo); });
        while (Waits() == before && remove.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
        return remove;
    }
    // Sends a system-control request that `filter` holds inside its dispatch routine, and so
    // inside the driver, until ReleaseSystemControl; other requests pass.
    void HoldSystemControl(LowerFilter& filter) {
        filter.handler = [this, down = filter.PassDown()](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
            if (!LowerFilter::IsMajor(irp, IRP_MJ_SYSTEM_CONTROL)) return down(d, irp);
            held_ = true;
            while (!release_) std::this_thread::yield();
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        };
        systemControl_ = std::make_unique<ForeignRequest>(fdo(), IRP_MJ_SYSTEM_CONTROL);
        sender_ = std::thread([this] { systemControl_->Send(); });
        while (!held_) std::this_thread::yield();
    }
    NTSTATUS ReleaseSystemControl() {
        release_ = true;
        sender_.join();
        return systemControl_->Wait().status;
    }

private:
    std::atomic<bool> held_{false}, release_{false};
    std::unique_ptr<ForeignRequest> systemControl_;
    std::thread sender_;
};

// A system-control request has no file object, so it does not keep the PnP manager from sending
// REMOVE; one still inside the driver (the lower filter holds it in its dispatch routine) when
// REMOVE arrives keeps the device object until it has left. Meanwhile a write of another driver
// is stopped right after its dispatch routine loaded its pipe: what the write goes on to read of
// its pipe is still there, and it ends, sent or refused below, before the device object goes.
struct RemovalMeanwhile {
    sem_t go, blocked;
    static void Run(void* self) {  // on the writer's thread, in the trap's signal handler
        auto* r = static_cast<RemovalMeanwhile*>(self);
        sem_post(&r->go);
        while (sem_wait(&r->blocked) != 0) {
        }
    }
};

TEST_F(OrderingTest, WriteInsideItsDispatchKeepsItsPipeThroughRemoval) {
    LowerFilter filter(bus().Pdo());
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    PDEVICE_OBJECT device = fdo();
    HoldSystemControl(filter);
    RemovalMeanwhile removal;
    sem_init(&removal.go, 0, 0);
    sem_init(&removal.blocked, 0, 0);
    std::future<sim::RequestResult> removed;
    std::thread pnpThread([&] {
        while (sem_wait(&removal.go) != 0) {
        }
        removed = RemoveUntilItWaits();
        sem_post(&removal.blocked);
    });
    ForeignFile out(u"", &ext()->PipeTable[0]);
    ForeignMdl data(64);
    std::string error;
    bool fired = false;
    NTSTATUS written = STATUS_PENDING;
    std::thread([&] {
        AccessTrap trap(&ext()->PipeTable[0].PipeInfo, &RemovalMeanwhile::Run, &removal);
        error = trap.Error();
        if (error.empty()) written = ForeignRequest(device, IRP_MJ_WRITE, &out.fo, data.mdl()).SendAndWait().status;
        fired = trap.Fired();
    }).join();
    if (!fired) {
        sem_post(&removal.go);
        sem_post(&removal.blocked);
    }
    pnpThread.join();
    EXPECT_TRUE(sim::DeviceExists(device)) << "deleted with a request inside";
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, ReleaseSystemControl());
    EXPECT_EQ(STATUS_SUCCESS, removed.get().status);
    sem_destroy(&removal.go);
    sem_destroy(&removal.blocked);
    if (!error.empty()) GTEST_SKIP() << "no hardware data breakpoint here (perf_event_open: " << error << ")";
    ASSERT_TRUE(fired) << "the write never loaded its pipe";
    EXPECT_NE(STATUS_PENDING, written);
    EXPECT_FALSE(sim::DeviceExists(device));
}

// While REMOVE is on its way down (the lower filter has it) every new open, read and write is
// refused with STATUS_DELETE_PENDING and nothing reaches the USB stack; system-control requests
// still go down. REMOVE then returns the lower driver's status, success or not.
TEST_F(OrderingTest, RequestsDuringRemovalAndTheLowerStatus) {
    for (NTSTATUS lower : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(sim::StatusName(lower));
        LowerFilter filter(bus().Pdo());
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        PDEVICE_OBJECT device = fdo();
        PPIPE_CONTEXT bulkOut = &ext()->PipeTable[0], bulkIn = &ext()->PipeTable[1];
        std::vector<NTSTATUS> seen;
        std::atomic<size_t> transfersBelow{0};
        filter.handler = [&, down = filter.PassDown()](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
            transfersBelow += LowerFilter::IsTransfer(irp);
            if (!LowerFilter::Is(irp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE)) return down(d, irp);
            // Another thread's requests while this thread holds REMOVE.
            std::thread([&] {
                ForeignFile open(u"\\KWDrv1", reinterpret_cast<PVOID>(0x5A5A5A5A));
                seen.push_back(ForeignRequest(device, IRP_MJ_CREATE, &open.fo).SendAndWait().status);
                EXPECT_EQ(reinterpret_cast<PVOID>(0x5A5A5A5A), open.fo.FsContext);
                ForeignFile in(u"\\KWDrv1", bulkIn), out(u"\\KWDrv0", bulkOut);
                ForeignMdl data(64);  // written first: a read that got through would find it
                seen.push_back(ForeignRequest(device, IRP_MJ_WRITE, &out.fo, data.mdl()).SendAndWait().status);
                seen.push_back(ForeignRequest(device, IRP_MJ_READ, &in.fo, data.mdl()).SendAndWait().status);
                seen.push_back(
                    ForeignRequest(device, IRP_MJ_SYSTEM_CONTROL, nullptr, nullptr, 0, STATUS_NOT_SUPPORTED)
                        .SendAndWait()
                        .status);
            }).join();
            if (lower == STATUS_SUCCESS) return down(d, irp);
            irp->IoStatus.Status = lower;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return lower;
        };
        // Sent as the PnP manager sends it; a failure is reported, not turned into a bug check.
        sim::RequestResult r = sim::pnp::Send(bus().Pdo(), IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(lower, r.status);
        EXPECT_EQ(lower, r.dispatchReturned);
        EXPECT_EQ((std::vector<NTSTATUS>{STATUS_DELETE_PENDING, STATUS_DELETE_PENDING, STATUS_DELETE_PENDING,
                                         STATUS_SUCCESS}),
                  seen);
        EXPECT_EQ(0u, transfersBelow);
        EXPECT_FALSE(sim::DeviceExists(device));
    }
}

}  // namespace

namespace {

// What the lower driver finds in a PnP request when it arrives: STATUS_SUCCESS in those the driver
// handles (it must set it before passing them on), the PnP manager's STATUS_NOT_SUPPORTED in the
// rest (the queries the PnP manager sends after each start among them); and a STOP only after the
// device was deconfigured. The hub's PDO answers the state changes
// itself, so only a layer between them sees this.
TEST_F(OrderingTest, PnpStatusAsTheLowerDriverReceivesIt) {
    LowerFilter filter(bus().Pdo());
    ASSERT_EQ(STATUS_SUCCESS, Add());
    std::vector<std::pair<UCHAR, NTSTATUS>> arrived;
    size_t unconfiguredAt = 0;  // PnP requests that had arrived when the null configuration passed
    filter.handler = [&, down = filter.PassDown()](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_PNP) arrived.emplace_back(s->MinorFunction, irp->IoStatus.Status);
        PURB urb = s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL ? UrbOf(s, URB_FUNCTION_SELECT_CONFIGURATION) : nullptr;
        if (urb != nullptr && urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) unconfiguredAt = arrived.size();
        return down(d, irp);
    };
    ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    // What comes back up: the bus answers the state changes, and nobody the identifier query.
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_ID}) {
        EXPECT_EQ(minor == IRP_MN_QUERY_ID ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS, sim::pnp::Send(bus().Pdo(), minor).status);
        EXPECT_EQ(1, ext()->OutstandingIo);
    }
    ASSERT_TRUE(sim::pnp::Rebalance(bus().Pdo()).stopped);
    Remove();
    const std::vector<std::pair<UCHAR, NTSTATUS>> expected = {
        {IRP_MN_START_DEVICE, STATUS_SUCCESS},        {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},  // the speed
        {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},  {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
        {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS}, {IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},   {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_START_DEVICE, STATUS_SUCCESS},        {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},  // the speed
        {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
        {IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS},
    };
    EXPECT_EQ(expected, arrived);
    EXPECT_EQ(11u, unconfiguredAt) << "the device is deconfigured before STOP goes down";
}

}  // namespace
