// Surprise removal of a device that is not simply started: stopped for a rebalance, with a stop
// pending, or with a removal pending, as the PnP manager sends it (SURPRISE_REMOVAL with no
// cancel of the query first, REMOVE once the last handle is closed). With an application holding
// a pipe open, a read started before the query and one started in the state each end exactly
// once with a failure; the scenario ends with no request, reservation or pool left behind.
#include "driver_fixture.h"

#include "app/app.h"

using namespace drivertest;

namespace {

struct Case {
    const char* name;
    sim::pnp::PnpState state;
    bool open;  // an application holds the bulk IN pipe open with reads pending
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SurpriseStatesTest : public AppTest, public ::testing::WithParamInterface<Case> {};

// How a read ended: pending or not, and the status its OVERLAPPED shows once it ended.
struct ReadEnd {
    NTSTATUS returned = STATUS_SUCCESS;
    NTSTATUS final = STATUS_SUCCESS;
};

TEST_P(SurpriseStatesTest, EveryRequestEndsOnceAndTheDeviceGoesClean) {
    const Case c = GetParam();
    PDEVICE_OBJECT pdo = bus().Pdo();
    PVOID buffer = app().Alloc(64);
    sim::app::Handle in{};
    sim::app::Overlapped before, during;
    ReadEnd first, second;
    if (c.open) {
        in = Open(kBulkIn, true);
        first.returned = app().Read(in, buffer, 64, 0, &before).status;
        ASSERT_EQ(STATUS_PENDING, first.returned) << "the device sends nothing by itself";
    }
    sim::pnp::SurpriseInStateResult r = sim::pnp::SurpriseRemoveIn(pdo, c.state, [&] {
        // In the state the query left the device in: a new read, then the device leaves its port.
        if (c.open) second.returned = app().Read(in, buffer, 64, 0, &during).status;
        bus().Unplug();
    });
    ASSERT_FALSE(r.queryCancelled) << "the driver refused " << c.name;
    EXPECT_EQ(STATUS_SUCCESS, r.query.status);
    EXPECT_EQ(STATUS_SUCCESS, r.surprise.status);
    if (c.state == sim::pnp::PnpState::Stopped) {
        EXPECT_EQ(STATUS_SUCCESS, r.stop.status);
    }
    EXPECT_EQ(!c.open, r.removed) << "REMOVE comes only once no handle is open";
    if (c.open) {
        // Both reads must have ended by the surprise removal: waiting is bounded by the watchdog.
        before.Wait();
        first.final = before.Internal();
        if (second.returned == STATUS_PENDING) during.Wait();
        second.final = second.returned == STATUS_PENDING ? during.Internal() : second.returned;
        EXPECT_FALSE(NT_SUCCESS(first.final)) << sim::StatusName(first.final);
        EXPECT_FALSE(NT_SUCCESS(second.final)) << sim::StatusName(second.final);
        EXPECT_NE(STATUS_PENDING, second.final);
        EXPECT_EQ(STATUS_SUCCESS, app().Close(in));
        app().Flush();
        EXPECT_EQ(STATUS_SUCCESS, Remove().status);
    }
    EXPECT_FALSE(sim::DeviceExists(sim::pnp::TopOfStack(pdo)) && sim::pnp::TopOfStack(pdo) != pdo)
        << "the function device object outlived REMOVE";
}

INSTANTIATE_TEST_SUITE_P(
    States, SurpriseStatesTest,
    ::testing::Values(Case{"Stopped", sim::pnp::PnpState::Stopped, false},
                      Case{"StoppedOpen", sim::pnp::PnpState::Stopped, true},
                      Case{"StopPending", sim::pnp::PnpState::StopPending, false},
                      Case{"StopPendingOpen", sim::pnp::PnpState::StopPending, true},
                      Case{"RemovePending", sim::pnp::PnpState::RemovePending, false},
                      Case{"RemovePendingOpen", sim::pnp::PnpState::RemovePending, true}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
