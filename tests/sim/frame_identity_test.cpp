// The verifier notes on a dispatch routine's frame that the routine passed its IRP down and what
// the lower driver returned (the LowerDriverReturn check). IRP memory is reused as soon as an
// IRP is freed (Windows takes IRPs from lookaside lists), so a new IRP sent from inside that
// routine may sit at the address of the routine's own, finished IRP: it must not count as the
// routine's IRP going down. Frames are matched by the IRP's identity, not its address.
#include "test_stack.h"

#include "kernel/internal.h"

namespace {

using namespace simtest;

class FrameIdentityTest : public ModelTest {};

TEST_F(FrameIdentityTest, OnlyTheFramesOwnIrpGoingDownIsNoted) {
    const struct {
        const char* name;
        bool sameIrp;  // the frame's IRP is the one sent (else an earlier IRP at the same address)
    } cases[] = {{"the frame's own IRP", true}, {"a new IRP at the frame's address", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stack s(2);
        s[0].handler = PendThenComplete(STATUS_SUCCESS);
        sim::Completion done;
        Routine routine{[&done](PDEVICE_OBJECT, PIRP) {
            done.Signal();
            return STATUS_MORE_PROCESSING_REQUIRED;
        }};
        // layer1's dispatch routine, still running; its IRP is `irp` or one that had its address.
        sim::detail::Frame f;
        f.kind = sim::detail::Frame::Kind::Dispatch;
        f.device = s.top();
        f.driver = s.top()->DriverObject;
        f.location = 2;
        f.lowerReturned = STATUS_SUCCESS;
        PIRP irp = nullptr;
        NTSTATUS returned = STATUS_SUCCESS;
        {
            sim::detail::FrameScope scope(&f);
            irp = IoAllocateIrp(s.bottom()->StackSize, FALSE);
            f.irp = irp;
            f.track = c.sameIrp ? sim::detail::FindIrp(irp) : std::make_shared<sim::detail::IrpTrack>();
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            routine.SetOn(irp);
            returned = IoCallDriver(s.bottom(), irp);
        }
        EXPECT_EQ(STATUS_PENDING, returned);
        EXPECT_EQ(c.sameIrp, f.forwardedHere);
        EXPECT_EQ(c.sameIrp ? STATUS_PENDING : STATUS_SUCCESS, f.lowerReturned)
            << "the lower driver's return is noted on the frame of the IRP it was given";
        done.Wait("the new IRP");
        IoFreeIrp(irp);
    }
}

}  // namespace
