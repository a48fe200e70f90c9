// What Windows does with IRPs: allocation, stack locations, the completion walk, cancellation
// and the requests that IoBuildDeviceIoControlRequest builds.
#include "test_stack.h"

#include <usbioctl.h>

using namespace simtest;

namespace {

class IrpTest : public ModelTest {};

// A one-level stack sends an IoAllocateIrp IRP with a routine that takes it back.
struct OwnIrp {
    PIRP irp;
    Routine back{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
    explicit OwnIrp(CCHAR size) : irp(IoAllocateIrp(size, FALSE)) {}
};

// A fresh IRP (the stack-location macros themselves are checked in the header tests).
TEST_F(IrpTest, FreshIrpFromIoAllocateIrp) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(IO_TYPE_IRP, irp->Type);
    EXPECT_EQ(3, irp->StackCount);
    EXPECT_EQ(4, irp->CurrentLocation);
    EXPECT_NE(0, irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE);
    EXPECT_EQ(&irp->ThreadListEntry, irp->ThreadListEntry.Flink);
    EXPECT_EQ(reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2, IoGetNextIrpStackLocation(irp));
    IoFreeIrp(irp);
}

// Each routine sees its own driver's device and location; the originator's sees NULL at the top.
TEST_F(IrpTest, CompletionWalkOrderAndDeviceObjects) {
    Stack s(3);
    std::vector<std::string> order;
    Routine fromTop{[&](PDEVICE_OBJECT d, PIRP irp) {
        order.push_back("layer2");
        EXPECT_EQ(s[2].device(), d);
        EXPECT_EQ(s[2].device(), IoGetCurrentIrpStackLocation(irp)->DeviceObject);
        return STATUS_SUCCESS;
    }};
    Routine fromMiddle{[&](PDEVICE_OBJECT d, PIRP) {
        order.push_back("layer1");
        EXPECT_EQ(s[1].device(), d);
        return STATUS_SUCCESS;
    }};
    OwnIrp own(s.top()->StackSize);
    Routine originator{[&](PDEVICE_OBJECT d, PIRP irp) {
        order.push_back("originator");
        EXPECT_EQ(nullptr, d);
        EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    s[2].handler = [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_FALSE(irp->PendingReturned);
        IoCopyCurrentIrpStackLocationToNext(irp);
        fromTop.SetOn(irp);
        return IoCallDriver(s[1].device(), irp);
    };
    s[1].handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        fromMiddle.SetOn(irp);
        return IoCallDriver(s[0].device(), irp);
    };
    s[0].handler = CompleteWith(STATUS_SUCCESS);
    originator.SetOn(own.irp);
    IoGetNextIrpStackLocation(own.irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(s.top(), own.irp));
    EXPECT_EQ((std::vector<std::string>{"layer1", "layer2", "originator"}), order);
    IoFreeIrp(own.irp);
}

// PendingReturned tells a routine whether the driver below marked pending; with no routine at
// a level the I/O manager carries the mark up itself, and a routine carries it by hand.
TEST_F(IrpTest, PendingReturnedPerLevel) {
    for (bool middleHasRoutine : {false, true}) {
        SCOPED_TRACE(testing::Message() << "middle routine " << middleHasRoutine);
        Stack s(2);
        bool middleSaw = false;
        Routine middle{[&](PDEVICE_OBJECT, PIRP irp) {
            middleSaw = irp->PendingReturned;
            if (irp->PendingReturned) IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        }};
        s[1].handler = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (middleHasRoutine) middle.SetOn(irp);
            return IoCallDriver(s[0].device(), irp);
        };
        s[0].handler = PendThenComplete(STATUS_SUCCESS);
        sim::Completion done;
        bool topSaw = false;
        OwnIrp own(s.top()->StackSize);
        Routine top{[&](PDEVICE_OBJECT, PIRP irp) {
            topSaw = irp->PendingReturned;
            done.Signal();
            return STATUS_MORE_PROCESSING_REQUIRED;
        }};
        top.SetOn(own.irp);
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), own.irp));
        done.Wait("test completion");
        EXPECT_EQ(middleHasRoutine, middleSaw);
        EXPECT_TRUE(topSaw);
        sim::FlushDpcs();
        IoFreeIrp(own.irp);
    }
}

// Which routines run, by final status and cancellation (warnings count as errors,
// informational codes as success); a status changed by a routine is what the next level sees.
TEST_F(IrpTest, InvokeFlagsMatrix) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool called;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_OBJECT_NAME_EXISTS, false, true, false, false, true},
        {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
        {STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_CANCELLED, true, true, false, true, true},
        {STATUS_CANCELLED, true, true, true, false, true},
        {STATUS_CANCELLED, true, true, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::StatusName(c.status));
        Stack s(2);
        bool called = false;
        Routine r{[&](PDEVICE_OBJECT, PIRP irp) {
            called = true;
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            return STATUS_SUCCESS;
        }};
        s[1].handler = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            r.SetOn(irp, c.onSuccess, c.onError, c.onCancel);
            return IoCallDriver(s[0].device(), irp);
        };
        s[0].handler = [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.cancel) irp->Cancel = TRUE;
            irp->IoStatus.Status = c.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        };
        NTSTATUS final = 0;
        OwnIrp own(s.top()->StackSize);
        Routine top{[&](PDEVICE_OBJECT, PIRP irp) {
            final = irp->IoStatus.Status;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }};
        top.SetOn(own.irp);
        IoCallDriver(s.top(), own.irp);
        EXPECT_EQ(c.called, called);
        EXPECT_EQ(c.called ? STATUS_DEVICE_BUSY : c.status, final);
        IoFreeIrp(own.irp);
    }
}

// A routine returning STATUS_MORE_PROCESSING_REQUIRED stops the walk and gives the IRP back to its
// driver, which may then set its cancel routine and complete it again, resuming the walk.
TEST_F(IrpTest, MoreProcessingRequiredStopsAndResumes) {
    Stack s(2);
    int topCalls = 0;
    Routine stop{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
    s[1].handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        stop.SetOn(irp);
        NTSTATUS st = IoCallDriver(s[0].device(), irp);
        EXPECT_EQ(STATUS_SUCCESS, st);
        EXPECT_EQ(0, topCalls);
        EXPECT_EQ(nullptr, IoSetCancelRoutine(irp, nullptr));  // its own again
        irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_IO_DEVICE_ERROR;
    };
    s[0].handler = CompleteWith(STATUS_SUCCESS);
    OwnIrp own(s.top()->StackSize);
    Routine top{[&](PDEVICE_OBJECT, PIRP) {
        ++topCalls;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    top.SetOn(own.irp);
    EXPECT_EQ(STATUS_IO_DEVICE_ERROR, IoCallDriver(s.top(), own.irp));
    EXPECT_EQ(1, topCalls);
    IoFreeIrp(own.irp);
}

// After a pending IoCallDriver the IRP still sits at the pending driver's location; IoCancelIrp
// runs the cancel routine (cleared first, at DISPATCH_LEVEL) of the driver that holds it.
TEST_F(IrpTest, CancelWithAndWithoutRoutine) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);

    Stack s(1);
    PIRP held = nullptr;
    static bool sawCancel, sawRoutineCleared, ranAtDispatch;
    sawCancel = sawRoutineCleared = ranAtDispatch = false;
    s[0].handler = [&](PDEVICE_OBJECT, PIRP i) {
        IoMarkIrpPending(i);
        held = i;
        IoSetCancelRoutine(i, [](PDEVICE_OBJECT, PIRP c) NTAPI {
            sawCancel = c->Cancel;
            sawRoutineCleared = c->CancelRoutine == nullptr;
            ranAtDispatch = KeGetCurrentIrql() == DISPATCH_LEVEL;
            IoReleaseCancelSpinLock(c->CancelIrql);
            c->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(c, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
    OwnIrp own(1);
    NTSTATUS final = 0;
    Routine back{[&](PDEVICE_OBJECT, PIRP i) {
        final = i->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    back.SetOn(own.irp);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), own.irp));
    EXPECT_EQ(1, own.irp->CurrentLocation);
    EXPECT_FALSE(own.irp->PendingReturned);
    EXPECT_TRUE(IoCancelIrp(held));
    EXPECT_TRUE(own.irp->PendingReturned);
    EXPECT_TRUE(sawCancel);
    EXPECT_TRUE(sawRoutineCleared);
    EXPECT_TRUE(ranAtDispatch);
    EXPECT_EQ(STATUS_CANCELLED, final);
    EXPECT_FALSE(IoCancelIrp(own.irp));
    IoFreeIrp(own.irp);
}

// Windows waits for no completion routine: once a routine has handed the IRP on (here by an
// event), its new owner may free or reuse it at once, while the routine is still returning,
// provided the routine then returns STATUS_MORE_PROCESSING_REQUIRED and touches it no more.
TEST_F(IrpTest, NewOwnerTakesTheIrpBeforeTheHandingRoutineReturns) {
    Stack s(1);
    s[0].handler = PendThenComplete(STATUS_SUCCESS);
    for (bool reuse : {false, true}) {
        SCOPED_TRACE(reuse ? "IoReuseIrp" : "IoFreeIrp");
        OwnIrp own(1);
        KEVENT handed;
        KeInitializeEvent(&handed, NotificationEvent, FALSE);
        sim::Completion mayReturn;
        Routine back{[&](PDEVICE_OBJECT, PIRP) {
            KeSetEvent(&handed, IO_NO_INCREMENT, FALSE);
            mayReturn.Wait("the test to take the IRP");
            return STATUS_MORE_PROCESSING_REQUIRED;
        }};
        back.SetOn(own.irp);
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), own.irp));
        KeWaitForSingleObject(&handed, Executive, KernelMode, FALSE, nullptr);
        if (reuse) IoReuseIrp(own.irp, STATUS_SUCCESS);
        if (!reuse) IoFreeIrp(own.irp);  // returns at once: nothing waits for the routine
        mayReturn.Signal();
        sim::FlushDpcs();
        if (reuse) IoFreeIrp(own.irp);
    }
}

// IoBuildDeviceIoControlRequest: an internal request at the next location; the status block
// and event are written only when the request completes, and a synchronous error leaves them.
TEST_F(IrpTest, BuiltIoctlReportsThroughStatusBlockAndEvent) {
    struct Case {
        bool pend;
        NTSTATUS status;
        bool reported;
    };
    for (Case c : {Case{false, STATUS_SUCCESS, true}, Case{true, STATUS_SUCCESS, true},
                   Case{false, STATUS_UNSUCCESSFUL, false}, Case{true, STATUS_UNSUCCESSFUL, true}}) {
        SCOPED_TRACE(testing::Message() << "pend " << c.pend << " " << sim::StatusName(c.status));
        Stack s(1);
        s[0].handler = c.pend ? PendThenComplete(c.status) : CompleteWith(c.status);
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        iosb.Status = 0x12345678;
        iosb.Information = 99;
        ULONG arg = 0;
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, s.top(), nullptr, 0, nullptr, 0, TRUE,
                                                 &ev, &iosb);
        ASSERT_NE(nullptr, irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, next->MajorFunction);
        EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB), next->Parameters.DeviceIoControl.IoControlCode);
        next->Parameters.Others.Argument1 = &arg;
        EXPECT_EQ(0, KeReadStateEvent(&ev));
        NTSTATUS st = IoCallDriver(s.top(), irp);
        if (st == STATUS_PENDING) KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        sim::FlushDpcs();
        EXPECT_EQ(c.reported ? 1 : 0, KeReadStateEvent(&ev));
        EXPECT_EQ(c.reported ? c.status : static_cast<NTSTATUS>(0x12345678), iosb.Status);
    }
}

// A METHOD_BUFFERED request copies Information bytes back unless the status is an error.
TEST_F(IrpTest, BufferedCopyBack) {
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(sim::StatusName(status));
        Stack s(1);
        s[0].handler = [status](PDEVICE_OBJECT, PIRP irp) {
            auto buf = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(0xAB, buf[0]);  // input arrives in the system buffer
            buf[0] = 0x11;
            buf[1] = 0x22;
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 2;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        };
        UCHAR in[1] = {0xAB};
        UCHAR out[4] = {0, 0, 0, 0};
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                                 s.top(), in, 1, out, 4, FALSE, &ev, &iosb);
        IoCallDriver(s.top(), irp);
        bool copied = !NT_ERROR(status);
        EXPECT_EQ(copied ? 0x11 : 0, out[0]);
        EXPECT_EQ(copied ? 0x22 : 0, out[1]);
        EXPECT_EQ(0, out[2]);
    }
}

}  // namespace
