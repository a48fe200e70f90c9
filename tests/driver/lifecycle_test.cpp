// A device's whole life with an application using it: start, opens, I/O on every pipe type, a
// rebalance, a cancel, a close with a read pending, an unplug with a read pending, removal and
// unload; then the same life with every injectable call failed in turn. Whatever fails, the
// scenario must end with no crash, hang, leak or verifier finding (a finding stops the process).
#include "driver_fixture.h"

#include <map>

using namespace drivertest;

namespace {

class LifecycleTest : public DriverTest {
protected:
    // Unplugs, unloads and checks that nothing is left; then loads the driver and plugs the test
    // firmware in again.
    void Reload() {
        DriverTest::TearDown();
        DriverTest::SetUp();
    }

    // One read or write on the pipe, if it could be opened. Under an injected fault any failure is
    // acceptable (a read whose data the fault lost is cancelled); successes are counted.
    void Transfer(sim::app::Process& app, const std::map<ULONG, sim::app::Handle>& h, ULONG pipe, bool read, ULONG length) {
        auto it = h.find(pipe);
        if (it != h.end()) completed_ += RunIo(app, bus(), read, it->second, buffer_, length).first == STATUS_SUCCESS;
    }

    // Starts a read that the device will not answer by itself and leaves it pending.
    bool StartPendingRead(sim::app::Process& app, const std::map<ULONG, sim::app::Handle>& h, ULONG pipe,
                          sim::app::Overlapped& ov) {
        auto it = h.find(pipe);
        return it != h.end() && app.Read(it->second, buffer_, 64, 0, &ov).status == STATUS_PENDING;
    }

    // The whole life. Each step tolerates what an injected fault makes of the steps before it.
    void Life() {
        PDEVICE_OBJECT pdo = bus().Pdo();
        if (!NT_SUCCESS(sim::pnp::AddDevice(driver(), pdo))) return;
        PDEVICE_OBJECT fdo = sim::pnp::TopOfStack(pdo);
        if (sim::pnp::Start(pdo).removed) return;
        const std::u16string path = sim::app::UserPath(static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->InterfaceLinkName);
        bool surprised = false;
        {
            sim::app::Process app("life.exe");
            buffer_ = app.Alloc(256);
            std::map<ULONG, sim::app::Handle> h;
            for (ULONG pipe = kBulkOut; pipe <= kIsoIn; ++pipe) {
                sim::app::OpenResult o = app.Open(path + PipeName(pipe), sim::app::OpenOptions{true});
                if (NT_SUCCESS(o.status)) h[pipe] = o.handle;
            }
            Transfer(app, h, kBulkOut, false, 64);
            Transfer(app, h, kBulkIn, true, 64);
            Transfer(app, h, kInterruptIn, true, 8);
            Transfer(app, h, kIsoOut, false, 256);
            Transfer(app, h, kIsoIn, true, 256);

            sim::app::Overlapped cancelled;
            if (StartPendingRead(app, h, kBulkIn, cancelled)) {
                app.CancelIo(h[kBulkIn]);
                cancelled.Wait();
            }

            sim::pnp::RebalanceResult r = sim::pnp::Rebalance(pdo);
            surprised = r.stopped && !NT_SUCCESS(r.restart.start.status);
            if (r.restart.removed) return;  // nothing was open: the device is gone

            sim::app::Overlapped closedWithRead;
            bool pending = StartPendingRead(app, h, kBulkIn, closedWithRead);
            if (h.count(kBulkIn)) {
                app.Close(h[kBulkIn]);
                h.erase(kBulkIn);
            }
            if (pending) closedWithRead.Wait();

            sim::app::Overlapped unplugged;
            pending = StartPendingRead(app, h, kInterruptIn, unplugged);
            bus().Unplug();
            if (!surprised) sim::pnp::SurpriseRemoval(pdo);
            if (pending) unplugged.Wait();
            for (auto& [pipe, handle] : h) app.Close(handle);
            app.Flush();
        }  // process exit
        sim::FlushDpcs();
        if (sim::DeviceExists(fdo)) sim::pnp::Remove(pdo);
    }

    PVOID buffer_ = nullptr;
    int completed_ = 0;
};

TEST_F(LifecycleTest, FullLifeFaultSweep) {
    sim::faults::Clear();
    Life();
    EXPECT_EQ(5, completed_) << "bulk OUT, bulk IN, interrupt IN, isochronous OUT and IN each moved data";
    const uint64_t calls = sim::faults::CallCount();
    ASSERT_GT(calls, 20u);
    for (uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(n);
        Reload();
        sim::faults::FailOrdinal(n);
        Life();
        EXPECT_LE(sim::faults::InjectedCount(), 1u);
        sim::faults::Clear();
        if (HasFailure()) return;
    }
}

}  // namespace
