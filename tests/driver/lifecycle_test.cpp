// A device's whole life with an application using it: start, opens, I/O on every pipe type, a
// rebalance, a cancel, a close with a read pending, an unplug with a read pending, removal and
// unload; then the same life with every injectable call failed in turn. Whatever fails, the
// scenario must end with no crash, hang, leak or verifier finding (a finding stops the process).
#include "driver_fixture.h"

#include <map>

using namespace drivertest;

namespace {

constexpr int kBulkOut = 0, kBulkIn = 1, kInterruptIn = 2, kIsoOut = 3, kIsoIn = 4;

class LifecycleTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure()) sim::ResetWorld();
    }

    // Loads the driver and plugs the test firmware in.
    void Begin() {
        sim::ResetWorld();
        NTSTATUS st = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv", &st);
        ASSERT_EQ(STATUS_SUCCESS, st);
        bus_ = std::make_unique<sim::usb::BusDevice>();
    }

    // Unplugs, unloads and checks that nothing is left.
    void End() {
        bus_.reset();
        sim::UnloadDriver(driver_);
        sim::EndScenario();
    }

    // Starts a read or write and waits for it, advancing the frame clock so periodic data falls due;
    // a request still unanswered then is cancelled. Under an injected fault any failure is
    // acceptable; successes are counted.
    void Transfer(sim::app::Process& app, const std::map<int, sim::app::Handle>& h, int pipe, bool read, ULONG length) {
        auto it = h.find(pipe);
        if (it == h.end()) return;
        sim::app::Overlapped ov;
        sim::app::IoResult r = read ? app.Read(it->second, buffer_, length, 0, &ov) : app.Write(it->second, buffer_, length, 0, &ov);
        if (r.status != STATUS_PENDING) return;
        bus_->AdvanceFrames(20);
        if (!ov.Signalled()) app.CancelIo(it->second);  // a read whose data an injected fault lost
        ov.Wait();
        completed_ += ov.Internal() == STATUS_SUCCESS;
    }

    // Starts a read that the device will not answer by itself and leaves it pending.
    bool StartPendingRead(sim::app::Process& app, const std::map<int, sim::app::Handle>& h, int pipe,
                          sim::app::Overlapped& ov) {
        auto it = h.find(pipe);
        return it != h.end() && app.Read(it->second, buffer_, 64, 0, &ov).status == STATUS_PENDING;
    }

    // The whole life. Each step tolerates what an injected fault makes of the steps before it.
    void Life() {
        PDEVICE_OBJECT pdo = bus_->Pdo();
        if (!NT_SUCCESS(sim::pnp::AddDevice(driver_, pdo))) return;
        PDEVICE_OBJECT fdo = sim::pnp::TopOfStack(pdo);
        if (sim::pnp::Start(pdo).removed) return;
        const std::u16string path = sim::app::UserPath(static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->InterfaceLinkName);
        bool surprised = false;
        {
            sim::app::Process app("life.exe");
            buffer_ = app.Alloc(256);
            std::map<int, sim::app::Handle> h;
            for (int pipe = kBulkOut; pipe <= kIsoIn; ++pipe) {
                std::u16string name = u"\\KWDrv" + std::u16string(1, static_cast<char16_t>(u'0' + pipe));
                sim::app::OpenResult o = app.Open(path + name, sim::app::OpenOptions{true});
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
            bus_->Unplug();
            if (!surprised) sim::pnp::SurpriseRemoval(pdo);
            if (pending) unplugged.Wait();
            for (auto& [pipe, handle] : h) app.Close(handle);
            app.Flush();
        }  // process exit
        sim::FlushDpcs();
        if (sim::DeviceExists(fdo)) sim::pnp::Remove(pdo);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::usb::BusDevice> bus_;
    PVOID buffer_ = nullptr;
    int completed_ = 0;
};

TEST_F(LifecycleTest, FullLifeFaultSweep) {
    Begin();
    sim::faults::Clear();
    Life();
    EXPECT_EQ(5, completed_) << "bulk OUT, bulk IN, interrupt IN, isochronous OUT and IN each moved data";
    const uint64_t calls = sim::faults::CallCount();
    End();
    ASSERT_GT(calls, 20u);
    for (uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(n);
        Begin();
        sim::faults::FailOrdinal(n);
        Life();
        EXPECT_LE(sim::faults::InjectedCount(), 1u);
        sim::faults::Clear();
        End();
        if (HasFailure()) return;
    }
}

}  // namespace
