// Applications reading, writing, opening and closing on several threads while the PnP manager
// stops, restarts and removes the device. Whatever each request returns, the verifier must find
// nothing: every request completed once, nothing touched after it was freed, no hang, and
// nothing left when the device is gone. Runs in the ThreadSanitizer leg.
#include "driver_fixture.h"

#include <atomic>
#include <random>
#include <thread>

using namespace drivertest;

namespace {

class StressTest : public DriverTest {
protected:
    std::u16string Path(int pipe) const { return sim::app::UserPath(link_) + PipeName(pipe); }

    // One application thread: a bounded number of rounds of open, transfer and close on a
    // pipe chosen at random; reads are overlapped and cancelled if they do not finish soon.
    void AppThread(sim::app::Process& app, unsigned seed, int rounds) {
        std::mt19937 rng(seed);
        PVOID buffer = app.Alloc(256);
        for (int i = 0; i < rounds && !stop_.load(); ++i) {
            int pipe = static_cast<int>(rng() % 3);  // bulk OUT, bulk IN, interrupt IN
            sim::app::OpenResult o = app.Open(Path(pipe), sim::app::OpenOptions{true});
            if (!NT_SUCCESS(o.status)) continue;
            for (int k = 0; k < 3; ++k) {
                ULONG length = 1 + rng() % 200;
                sim::app::Overlapped ov;
                sim::app::IoResult r = pipe == 0 ? app.Write(o.handle, buffer, length, 0, &ov)
                                                 : app.Read(o.handle, buffer, length, 0, &ov);
                if (r.status == STATUS_PENDING) {
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                    if (!ov.Signalled()) app.CancelIo(o.handle);
                    ov.Wait();
                }
            }
            app.Close(o.handle);
        }
        app.Free(buffer);
        app.ExitThread();
    }

    void RunWhile(const std::function<void()>& pnp) {
        ASSERT_EQ(STATUS_SUCCESS, Add());
        link_ = ext()->InterfaceLinkName;
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        {
            sim::app::Process app("stress.exe");
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < 3; ++t) threads.emplace_back([&, t] { AppThread(app, 7 + t, 400); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the applications get going
            pnp();
            stop_ = true;
            for (auto& t : threads) t.join();
        }  // process exit: every handle closed
        sim::FlushDpcs();
    }

    std::u16string link_;
    std::atomic<bool> stop_{false};
};

TEST_F(StressTest, ConcurrencyStressRebalanceThenOrderlyRemoval) {
    RunWhile([this] {
        for (int i = 0; i < 5; ++i) {
            sim::pnp::RebalanceResult r = sim::pnp::Rebalance(bus().Pdo());
            EXPECT_EQ(STATUS_SUCCESS, r.restart.start.status);
        }
    });
    EXPECT_EQ(1, ext()->OutstandingIo);
    EXPECT_TRUE(IsListEmpty(&ext()->TransferList));
    sim::pnp::OrderlyRemovalResult r = sim::pnp::OrderlyRemove(bus().Pdo());
    EXPECT_TRUE(r.removed);
}

TEST_F(StressTest, ConcurrencyStressSurpriseRemoval) {
    RunWhile([this] {
        sim::pnp::Rebalance(bus().Pdo());
        bus().Unplug();
        sim::pnp::SurpriseRemoval(bus().Pdo());
    });
    Remove();
}

// A device whose interrupt and bulk IN endpoints never answer: reads stay in the USB stack until
// something ends them.
class NeverAnswersTest : public AppTest {
protected:
    NeverAnswersTest() {
        auto firmware = sim::usb::Device::Default()->Description();
        firmware.endpoints.erase(0x82);  // nothing to say on interrupt IN; bulk IN has nothing either
        device_ = std::make_shared<sim::usb::Device>(firmware);
    }
    void SetUp() override {
        AppTest::SetUp();
        buffer_ = app().Alloc(64);
    }
    // Opens `pipe` and leaves a read pending on it.
    sim::app::Handle OpenWithRead(ULONG pipe, sim::app::Overlapped& ov) {
        sim::app::Handle h = Open(pipe, true);
        EXPECT_EQ(STATUS_PENDING, app().Read(h, buffer_, 64, 0, &ov).status);
        return h;
    }
    // The application goes (its reads cancelled at process exit) in AppTest's TearDown, before
    // these records.
    sim::app::Overlapped reads_[3];
    PVOID buffer_ = nullptr;
};

// Closing a handle ends its reads and only its own: the pipe can be opened again at once, and an
// orderly removal is not vetoed by a file object a read kept open.
TEST_F(NeverAnswersTest, CloseEndsOnlyThatHandlesReads) {
    sim::app::Overlapped &closed = reads_[0], &kept = reads_[1];
    sim::app::Handle a = OpenWithRead(1, closed), b = OpenWithRead(2, kept);
    EXPECT_EQ(STATUS_SUCCESS, app_->Close(a));
    closed.Wait();  // the stack ends the cancelled read later, from its DPC; one left there hangs
    app_->Flush();
    EXPECT_EQ(STATUS_CANCELLED, closed.Internal());
    EXPECT_FALSE(kept.Signalled());
    EXPECT_EQ(1u, sim::pnp::OpenFiles(bus().Pdo()));
    EXPECT_EQ(STATUS_SUCCESS, app_->Close(Open(kBulkIn, true))) << "the closed handle still holds its pipe";
    EXPECT_EQ(STATUS_SUCCESS, app_->Close(b));
    kept.Wait();
    app_->Flush();
    EXPECT_EQ(STATUS_CANCELLED, kept.Internal());
    EXPECT_TRUE(sim::pnp::OrderlyRemove(bus().Pdo()).removed);
}

// A surprise removal while the stack still holds reads (the port failed; nothing completes them):
// new requests are turned away, the interface is disabled, the reads end and every pipe is
// aborted before the request goes down; REMOVE then repeats none of it.
TEST_F(NeverAnswersTest, SurpriseRemovalEndsReadsTheStackHolds) {
    sim::app::Overlapped &r1 = reads_[0], &r2 = reads_[1];
    sim::app::Handle a = OpenWithRead(1, r1), b = OpenWithRead(2, r2);
    bus().ClearTrace();
    EXPECT_EQ(STATUS_SUCCESS, sim::pnp::SurpriseRemoval(bus().Pdo()).status);
    for (sim::app::Overlapped* r : {&r1, &r2}) {
        r->Wait();  // the stack ends a cancelled transfer later, from its DPC; a read left there hangs
        EXPECT_EQ(STATUS_CANCELLED, r->Internal());
    }
    EXPECT_EQ(sim::InterfaceState::Disabled, sim::QueryInterfaceState(ext()->InterfaceLinkName));
    EXPECT_EQ(ext()->InterfaceInfo->NumberOfPipes, UrbsSent(URB_FUNCTION_ABORT_PIPE));
    EXPECT_EQ(STATUS_DELETE_PENDING, app_->Read(b, buffer_, 64, 0, &reads_[2]).status);
    EXPECT_EQ(STATUS_SUCCESS, app_->Close(a));
    EXPECT_EQ(STATUS_SUCCESS, app_->Close(b));
    app_->Flush();
    bus().ClearTrace();
    sim::faults::Clear();
    Remove();
    EXPECT_EQ(0u, UrbsSent(URB_FUNCTION_ABORT_PIPE));
    for (const sim::FaultSite& f : sim::faults::Sites())
        EXPECT_NE(sim::FaultKind::SetInterfaceState, f.kind) << "the interface state changed twice";
}

}  // namespace
