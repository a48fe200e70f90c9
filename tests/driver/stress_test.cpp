// Applications reading, writing, opening and closing on several threads while the PnP manager
// stops, restarts and removes the device. Whatever each request returns, the verifier must find
// nothing: every request completed once, nothing touched after it was freed, no hang, and
// nothing left when the device is gone. Runs in the ThreadSanitizer leg.
#include "driver_fixture.h"

#include "app/app.h"

#include <atomic>
#include <random>
#include <thread>

using namespace drivertest;

namespace {

class StressTest : public DriverTest {
protected:
    std::u16string Path(int pipe) const {
        return sim::app::UserPath(link_) + u"\\KWDrv" + std::u16string(1, static_cast<char16_t>(u'0' + pipe));
    }

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
    for (PIRP slot : ext()->PendingTransfers) EXPECT_EQ(nullptr, slot);
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

// A device that never answers reads: removal, orderly (vetoed until the application's reads end)
// or surprise, returns with every request completed exactly once and nothing leaked.
TEST_F(StressTest, RemovalWithReadsThatNeverComplete) {
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise);
        auto firmware = sim::usb::Device::Default()->Description();
        firmware.endpoints.erase(0x82);  // an interrupt endpoint with nothing to say; bulk IN has
                                         // nothing either, since nothing was written
        bus().PlugIn(std::make_shared<sim::usb::Device>(firmware));
        ASSERT_EQ(STATUS_SUCCESS, Add());
        link_ = ext()->InterfaceLinkName;
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        {
            sim::app::Process app("reader.exe");
            PVOID buffer = app.Alloc(64);
            std::vector<std::unique_ptr<sim::app::Overlapped>> reads;
            std::vector<sim::app::Handle> handles;
            for (int pipe : {1, 2}) {
                sim::app::OpenResult o = app.Open(Path(pipe), sim::app::OpenOptions{true});
                ASSERT_EQ(STATUS_SUCCESS, o.status);
                handles.push_back(o.handle);
                reads.push_back(std::make_unique<sim::app::Overlapped>());
                EXPECT_EQ(STATUS_PENDING, app.Read(o.handle, buffer, 64, 0, reads.back().get()).status);
            }
            EXPECT_EQ(3, ext()->OutstandingIo);
            // Closing the handles does not end the reads (the driver has no cleanup handler),
            // so the file objects stay open and an orderly removal is vetoed.
            for (sim::app::Handle h : handles) EXPECT_EQ(STATUS_SUCCESS, app.Close(h));
            EXPECT_EQ(2u, sim::pnp::OpenFiles(bus().Pdo()));
            if (surprise) {
                // The unplugged device's reads fail, the file objects close, and REMOVE follows.
                bus().Unplug();
                sim::pnp::SurpriseRemoval(bus().Pdo());
            } else {
                EXPECT_TRUE(sim::pnp::OrderlyRemove(bus().Pdo()).vetoedByOpenHandles);
                app.ExitThread();  // the application's thread ends: its reads are cancelled
            }
            for (auto& r : reads) {
                r->Wait();
                EXPECT_FALSE(NT_SUCCESS(r->Internal()));
            }
            app.Flush();
            EXPECT_EQ(0u, sim::pnp::OpenFiles(bus().Pdo()));
            if (surprise) {
                Remove();
            } else {
                EXPECT_TRUE(sim::pnp::OrderlyRemove(bus().Pdo()).removed);
            }
            app.Free(buffer);
        }
        EXPECT_EQ(0u, sim::LiveIrpCount());
    }
}

}  // namespace
