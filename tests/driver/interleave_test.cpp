// Two opens of one pipe interleaved at the claim itself, the same way every run: the first opener
// is stopped by a hardware data breakpoint right after its first access to the pipe's Opened
// flag, the second open runs to its end, and only then does the first go on. A claim made of a
// plain load and a later store lets both opens win; an indivisible claim lets exactly one win.
#include "access_trap.h"
#include "driver_fixture.h"
#include "foreign.h"

#include <semaphore.h>

using namespace drivertest;

namespace {

class InterleaveTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        StartPdo();
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(fdo()));
    }
};

// The second opener, run while the first is held right after its first touch of Opened.
struct SecondOpen {
    sem_t go, done;
    PDEVICE_OBJECT device;
    ForeignFile file;
    NTSTATUS status = STATUS_PENDING;
    static void Run(void* self) {  // on the first opener's thread, in the trap's signal handler
        auto* s = static_cast<SecondOpen*>(self);
        sem_post(&s->go);
        while (sem_wait(&s->done) != 0) {
        }
    }
};

TEST_F(InterleaveTest, OpenHeldInsideItsClaimWhileAnotherOpensThePipe) {
    for (ULONG pipe = 0; pipe < 5; ++pipe) {
        SCOPED_TRACE(pipe);
        const std::u16string name = PipeName(pipe);
        SecondOpen second{{}, {}, fdo(), ForeignFile(name)};
        sem_init(&second.go, 0, 0);
        sem_init(&second.done, 0, 0);
        std::thread secondThread([&] {
            while (sem_wait(&second.go) != 0) {
            }
            second.status = ForeignRequest(fdo(), IRP_MJ_CREATE, &second.file.fo).SendAndWait().status;
            sem_post(&second.done);
        });
        ForeignFile first(name);
        NTSTATUS firstStatus = STATUS_PENDING;
        std::string error;
        bool fired = false;
        std::thread([&] {
            AccessTrap trap(&ext()->PipeTable[pipe].Opened, &SecondOpen::Run, &second);
            error = trap.Error();
            if (error.empty()) firstStatus = ForeignRequest(fdo(), IRP_MJ_CREATE, &first.fo).SendAndWait().status;
            fired = trap.Fired();
        }).join();
        if (!fired) sem_post(&second.go);  // the second open runs anyway, after the first
        secondThread.join();
        if (!error.empty()) GTEST_SKIP() << "no hardware data breakpoint here (perf_event_open: " << error << ")";
        ASSERT_TRUE(fired) << "the first open never touched the pipe's Opened flag";
        // Exactly one of them holds the pipe, and the loser's file object is unbound.
        EXPECT_EQ(1, (firstStatus == STATUS_SUCCESS) + (second.status == STATUS_SUCCESS))
            << "first " << sim::StatusName(firstStatus) << ", second " << sim::StatusName(second.status);
        for (ForeignFile* f : {&first, &second.file}) {
            if (f->fo.FsContext != nullptr) {
                EXPECT_EQ(&ext()->PipeTable[pipe], f->fo.FsContext);
                EXPECT_EQ(STATUS_SUCCESS, ForeignRequest(fdo(), IRP_MJ_CLOSE, &f->fo).SendAndWait().status);
            }
        }
        ForeignFile again(name);  // the pipe was given back
        EXPECT_EQ(STATUS_SUCCESS, ForeignRequest(fdo(), IRP_MJ_CREATE, &again.fo).SendAndWait().status);
        EXPECT_EQ(STATUS_SUCCESS, ForeignRequest(fdo(), IRP_MJ_CLOSE, &again.fo).SendAndWait().status);
        sem_destroy(&second.go);
        sem_destroy(&second.done);
    }
    EXPECT_EQ(1, ext()->OutstandingIo);
}

}  // namespace
