// Removal against the lower stack: requests with no file object that are still inside the driver
// when REMOVE arrives, requests that arrive while REMOVE is on its way down, and the status the
// lower driver gives REMOVE.
#include "driver_fixture.h"
#include "foreign.h"

#include <future>

using namespace drivertest;

namespace {

class OrderingTest : public DriverTest {
protected:
    // Blocking waits begun by any driver so far.
    static uint64_t Waits() { return sim::Summary().waits; }
    // Returns once the removal on `remove` has passed REMOVE down (`waitsThen` is set then) and
    // has blocked in a wait, or once it has returned, which it may not do while a request is
    // inside the driver.
    static void AwaitRemovalBlocked(const std::atomic<uint64_t>& waitsThen,
                                    std::future<sim::RequestResult>& remove) {
        while ((waitsThen == kNotYet || Waits() == waitsThen) &&
               remove.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
    }
    static constexpr uint64_t kNotYet = ~0ull;
};

// A request that has no file object, and so does not keep the PnP manager from sending REMOVE,
// is still inside the driver when REMOVE arrives: a system-control request the lower filter
// holds inside its dispatch routine, or a read of another driver the filter keeps pending. The
// removal blocks until it has left; only then is the device object deleted.
TEST_F(OrderingTest, RemovalWaitsForRequestsWithoutFileObjects) {
    for (bool systemControl : {true, false}) {
        SCOPED_TRACE(systemControl ? "system control held in the lower dispatch" : "read held pending below");
        LowerFilter filter(bus().Pdo());
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        PDEVICE_OBJECT device = fdo();
        std::atomic<bool> held{false}, release{false};
        std::atomic<PIRP> pendingRead{nullptr};
        std::atomic<uint64_t> waitsAfterRemoveWentDown{kNotYet};
        filter.handler = [&, down = filter.PassDown()](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
            if (LowerFilter::Is(irp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE)) {
                NTSTATUS st = down(d, irp);
                waitsAfterRemoveWentDown = Waits();
                return st;
            }
            if (systemControl && LowerFilter::IsMajor(irp, IRP_MJ_SYSTEM_CONTROL)) {
                held = true;
                while (!release) std::this_thread::yield();
                irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_INVALID_DEVICE_REQUEST;
            }
            if (!systemControl && LowerFilter::IsTransfer(irp)) {
                IoMarkIrpPending(irp);
                pendingRead = irp;
                held = true;
                return STATUS_PENDING;
            }
            return down(d, irp);
        };
        ForeignFile file(u"\\KWDrv1", &ext()->PipeTable[1]);
        ForeignMdl buffer(64);
        ForeignRequest request(device, systemControl ? IRP_MJ_SYSTEM_CONTROL : IRP_MJ_READ,
                               systemControl ? nullptr : &file.fo, systemControl ? nullptr : buffer.mdl());
        std::thread sender([&] { request.Send(); });
        while (!held) std::this_thread::yield();

        auto remove = std::async(std::launch::async, [pdo = bus().Pdo()] { return sim::pnp::Remove(pdo); });
        AwaitRemovalBlocked(waitsAfterRemoveWentDown, remove);
        EXPECT_TRUE(sim::DeviceExists(device)) << "deleted with a request inside";
        if (systemControl) {
            release = true;
        } else {
            PIRP irp = pendingRead;
            sim::QueueDpc([irp] {
                irp->IoStatus.Status = STATUS_CANCELLED;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
        }
        sender.join();
        sim::RequestResult r = request.Wait();
        EXPECT_EQ(systemControl ? STATUS_INVALID_DEVICE_REQUEST : STATUS_CANCELLED, r.status);
        EXPECT_EQ(STATUS_SUCCESS, remove.get().status);
        EXPECT_FALSE(sim::DeviceExists(device));
    }
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
