// Every rule the verifier enforces turns a rule break into a bug check naming the rule.
#include "test_stack.h"

#include <chrono>
#include <thread>

using namespace simtest;

namespace {

class VerifierTest : public ModelTest {};

NTSTATUS SendOwn(Stack& s) {
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    static Routine back{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
    back.SetOn(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    return IoCallDriver(s.top(), irp);
}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C);
    return STATUS_SUCCESS;
}

// Two layers: the lower one holds the IRP pending; the upper one passes it down, then runs `then`
// on it and returns what that returns.
void PassDownThen(NTSTATUS (*then)(Stack&, PIRP)) {
    Stack s(2);
    s[1].handler = [&s, then](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoCallDriver(s[0].device(), irp);
        return then(s, irp);
    };
    s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    SendOwn(s);
}

struct RuleCase {
    const char* rule;
    std::function<void()> breakIt;
};

TEST_F(VerifierTest, RuleBreaksAreBugChecks) {
    const RuleCase cases[] = {
        {"MultipleIrpComplete",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                 irp->IoStatus.Status = STATUS_SUCCESS;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             };
             SendOwn(s);
         }},
        {"IrpUsedAfterFree",
         [] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoFreeIrp(irp);
             IoCancelIrp(irp);
         }},
        {"PendingWithoutMark",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; };
             SendOwn(s);
         }},
        {"MarkedPendingReturnedOther",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 irp->IoStatus.Status = STATUS_SUCCESS;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             };
             SendOwn(s);
         }},
        {"IrpNotFinished",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
             SendOwn(s);
         }},
        {"ReturnDiffersFromCompletion",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                 irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             };
             SendOwn(s);
         }},
        {"LowerDriverReturn",
         [] {
             Stack s(2);
             s[1].handler = [&s](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 IoCallDriver(s[0].device(), irp);
                 return STATUS_SUCCESS;
             };
             s[0].handler = CompleteWith(STATUS_UNSUCCESSFUL);
             SendOwn(s);
         }},
        {"CompletedWithCancelRoutine",
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                 irp->IoStatus.Status = STATUS_SUCCESS;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             };
             SendOwn(s);
         }},
        {"CompletedWithPendingStatus",
         [] {
             Stack s(1);
             s[0].handler = CompleteWith(STATUS_PENDING);
             SendOwn(s);
         }},
        {"AllocatedIrpReachedTop",
         [] {
             Stack s(1);
             s[0].handler = CompleteWith(STATUS_SUCCESS);
             PIRP irp = IoAllocateIrp(1, FALSE);
             static Routine goOn{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
             goOn.SetOn(irp);
             IoCallDriver(s.top(), irp);
         }},
        {"PendingNotPropagated",
         [] {
             Stack s(2);
             static Routine noMark{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
             s[1].handler = [&s](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 noMark.SetOn(irp);
                 return IoCallDriver(s[0].device(), irp);
             };
             s[0].handler = PendThenComplete(STATUS_SUCCESS);
             SendOwn(s);
             sim::FlushDpcs();
         }},
        {"IrpNotOwned",  // completed by a driver that passed it down and has not got it back
         [] {
             PassDownThen([](Stack&, PIRP irp) {
                 irp->IoStatus.Status = STATUS_SUCCESS;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             });
         }},
        {"IrpNotOwned",  // a cancel routine set on an IRP the lower driver holds
         [] {
             PassDownThen([](Stack&, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                 return STATUS_PENDING;
             });
         }},
        {"IrpNotOwned",  // sent down twice
         [] { PassDownThen([](Stack& s, PIRP irp) { return IoCallDriver(s[0].device(), irp); }); }},
        {"IrpTakenWhileRoutineRan",  // freed by its new owner, then completion went on
         [] {
             Stack s(1);
             s[0].handler = PendThenComplete(STATUS_SUCCESS);
             PIRP irp = IoAllocateIrp(1, FALSE);
             static KEVENT handed;
             static sim::Completion mayReturn;
             KeInitializeEvent(&handed, NotificationEvent, FALSE);
             static Routine goOn{[](PDEVICE_OBJECT, PIRP) {
                 KeSetEvent(&handed, IO_NO_INCREMENT, FALSE);
                 mayReturn.Wait("the test to free the IRP");
                 return STATUS_SUCCESS;
             }};
             goOn.SetOn(irp);
             IoCallDriver(s.top(), irp);
             KeWaitForSingleObject(&handed, Executive, KernelMode, FALSE, nullptr);
             IoFreeIrp(irp);
             mayReturn.Signal();
             sim::FlushDpcs();
         }},
        {"WaitAtDispatchLevel",
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); });
         }},
        {"FreeIrpInFlight",
         [] {
             Stack s(1);
             PIRP held = nullptr;
             s[0].handler = [&held](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 held = irp;
                 return STATUS_PENDING;
             };
             PIRP irp = IoAllocateIrp(1, FALSE);
             static Routine back{[](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; }};
             back.SetOn(irp);
             IoCallDriver(s.top(), irp);
             IoFreeIrp(irp);
         }},
        {"FreeThreadedIrp",
         [] {
             Stack s(1);
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             IO_STATUS_BLOCK iosb;
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, s.top(), nullptr, 0, nullptr, 0, TRUE, &e, &iosb);
             IoFreeIrp(irp);
         }},
        {"DoubleFree",
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
             ExFreePoolWithTag(p, 0x74736554);
             ExFreePoolWithTag(p, 0x74736554);
         }},
        {"FreeForeignPointer",
         [] {
             auto p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554));
             ExFreePool(p + 4);
         }},
        {"FreeWithWrongTag",
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
             ExFreePoolWithTag(p, 0x41414141);
         }},
        {"ZeroSizedAllocation", [] { ExAllocatePoolWithTag(NonPagedPool, 0, 0x74736554); }},
        {"DeleteDeviceInUse",
         [] {
             Layer pdo("bus", true);
             Layer fdo("function");
             IoAttachDeviceToDeviceStack(fdo.device(), pdo.device());
             IoDeleteDevice(fdo.device());
         }},
        {"ScenarioLeak",
         [] {
             ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
             sim::EndScenario();
         }},
        {"Watchdog",
         [] {
             sim::SetWatchdogMilliseconds(50);
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
         }},
        {"SpinLockRecursion",
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeAcquireSpinLockAtDpcLevel(&lock);
         }},
        {"SpinLockReleasedByOtherThread",
         [] {
             static KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             sim::QueueDpc([] { KeAcquireSpinLockAtDpcLevel(&lock); });
             sim::FlushDpcs();
             sim::RunAtIrql(DISPATCH_LEVEL, [] { KeReleaseSpinLockFromDpcLevel(&lock); });
         }},
        {"IrqlLoweredWithSpinLockHeld",
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeLowerIrql(PASSIVE_LEVEL);
         }},
        {"RoutineIrqlChanged",  // a dispatch routine that returns at DISPATCH_LEVEL
         [] {
             Stack s(1);
             s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                 KeRaiseIrqlToDpcLevel();
                 irp->IoStatus.Status = STATUS_SUCCESS;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             };
             SendOwn(s);
         }},
        {"RoutineIrqlChanged",  // a completion routine that lowers the IRQL it was called at
         [] {
             Stack s(1);
             s[0].handler = PendThenComplete(STATUS_SUCCESS);
             PIRP irp = IoAllocateIrp(1, FALSE);
             static Routine lower{[](PDEVICE_OBJECT, PIRP) {
                 KeLowerIrql(PASSIVE_LEVEL);
                 return STATUS_MORE_PROCESSING_REQUIRED;
             }};
             lower.SetOn(irp);
             IoCallDriver(s.top(), irp);
             sim::FlushDpcs();
         }},
        {"IrqlTooHigh",  // a device object created at DISPATCH_LEVEL
         [] {
             Layer pdo("bus", true);
             sim::RunAtIrql(DISPATCH_LEVEL, [&] {
                 PDEVICE_OBJECT d;
                 IoCreateDevice(pdo.device()->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
             });
         }},
        {"IrqlTooHigh",  // paged pool freed at DISPATCH_LEVEL
         [] {
             PVOID p = ExAllocatePoolWithTag(PagedPool, 16, 0x74736554);
             sim::RunAtIrql(DISPATCH_LEVEL, [&] { ExFreePoolWithTag(p, 0x74736554); });
         }},
        {"IrqlTooHigh",  // pageable code run at DISPATCH_LEVEL
         [] { sim::RunAtIrql(DISPATCH_LEVEL, [] { PAGED_CODE(); }); }},
        {"PnpNotPassedToPdo",  // a function driver that completes START itself
         [] {
             Stack s(2);
             s[1].handler = CompleteWith(STATUS_SUCCESS);
             sim::pnp::Start(s.bottom());
         }},
        {"PoolLeak",  // a driver's pool must be gone when the driver unloads
         [] {
             NTSTATUS st;
             sim::UnloadDriver(sim::LoadDriver("leaky", LeakyEntry, u"\\Registry\\Machine\\System\\leaky", &st));
         }},
        {"PoolLeak",  // pool a device's requests allocated must be gone when the device object is deleted
         [] {
             Layer pdo("bus", true);
             Layer fdo("function");
             fdo.handler = [](PDEVICE_OBJECT, PIRP irp) {
                 ExAllocatePoolWithTag(NonPagedPool, 8, 0x6B61654C);
                 return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
             };
             sim::SendToStack(fdo.device(), IRP_MJ_READ, 0);
             IoDeleteDevice(fdo.device());
         }},
        {"UninitializedEvent",
         [] {
             KEVENT e{};
             KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
         }},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.breakIt(), std::string("BUGCHECK .* ") + c.rule);
    }
}

// A driver routine that does not return is a hang whether it spins (waiting on nothing) or is
// blocked outside the kernel's waits: the report names the routine and its request.
TEST_F(VerifierTest, RoutineThatNeverReturnsIsABugCheck) {
    for (bool spin : {true, false}) {
        EXPECT_DEATH(
            {
                sim::SetWatchdogMilliseconds(100);
                Stack s(1);
                s[0].handler = [spin](PDEVICE_OBJECT, PIRP) -> NTSTATUS {
                    static volatile bool forever = true;
                    while (spin && forever) {
                    }
                    std::this_thread::sleep_for(std::chrono::hours(1));
                    return STATUS_SUCCESS;
                };
                sim::SendToStack(s.top(), IRP_MJ_READ, 0);
            },
            "RoutineDidNotReturn(.|\n)*dispatch routine of .*layer0.* for IRP .*major 0x3");
    }
}

// The watchdog's report names the request that never completed.
TEST_F(VerifierTest, WatchdogNamesTheBlockedRequest) {
    EXPECT_DEATH(
        {
            sim::SetWatchdogMilliseconds(50);
            Stack s(1);
            s[0].handler = [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            };
            sim::SendToStack(s.top(), IRP_MJ_WRITE, 0);
        },
        "Watchdog(.|\n)*major 0x4(.|\n)*held by .*layer0");
}

}  // namespace
