// Unload-safe completion routines and device object references: IoSetCompletionRoutineEx,
// ObfReferenceObject and ObfDereferenceObject for device objects, and the deferred deletion of
// a device object that is still referenced.
//
// As on Windows XP, IoSetCompletionRoutineEx allocates a small record (it may fail with
// STATUS_INSUFFICIENT_RESOURCES), references the device object and installs the I/O manager's
// own routine, which calls the driver's routine, then releases the reference and the record.
// While the reference is held, IoDeleteDevice only marks the device object for deletion; the
// last dereference frees it, and UnloadDriver waits for that, so the driver's image stays
// until its completion routine has returned.
#include "internal.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <condition_variable>

namespace sim::detail {
namespace {

struct UnloadSafeRecord {
    PDEVICE_OBJECT device;
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
};

std::condition_variable& DeferredCv() {
    static std::condition_variable cv;
    return cv;
}

// Device objects IoDeleteDevice has marked, with their driver; guarded by TableLock.
std::map<PDEVICE_OBJECT, PDRIVER_OBJECT>& Deferred() {
    static std::map<PDEVICE_OBJECT, PDRIVER_OBJECT> deferred;
    return deferred;
}

NTSTATUS NTAPI UnloadSafeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto record = static_cast<UnloadSafeRecord*>(Context);
    NTSTATUS status = record->routine(DeviceObject, Irp, record->context);
    PDEVICE_OBJECT device = record->device;
    delete record;
    ObfDereferenceObject(device);
    return status;
}

}  // namespace

bool DeferDeletionWhileReferenced(PDEVICE_OBJECT device) {
    if (__atomic_load_n(&device->ReferenceCount, __ATOMIC_SEQ_CST) == 0) return false;
    Deferred()[device] = device->DriverObject;
    return true;
}

void ForgetDeferredDeletions() {
    for (auto& [d, drv] : Deferred()) {
        (void)drv;
        std::free(d);
    }
    Deferred().clear();
}

void WaitForDeferredDeletions(PDRIVER_OBJECT driver) {
    std::unique_lock<std::mutex> g(TableLock());
    auto pending = [driver] {
        for (const auto& [d, drv] : Deferred())
            if (drv == driver) return true;
        return false;
    };
    if (!DeferredCv().wait_for(g, std::chrono::milliseconds(WatchdogMilliseconds()), [&] { return !pending(); })) {
        g.unlock();
        BugCheck(kBugWatchdog, "UnloadWaitsForReferences",
                 "a deleted device object of the driver is still referenced: " + DescribeInFlight());
    }
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                        BOOLEAN InvokeOnCancel) {
    RequireLiveDevice(DeviceObject, "IoSetCompletionRoutineEx");
    if (faults::ShouldFail(FaultKind::Pool, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
    auto record = new UnloadSafeRecord{DeviceObject, CompletionRoutine, Context};
    ObfReferenceObject(DeviceObject);
    IoSetCompletionRoutine(Irp, UnloadSafeCompletion, record, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

// Only device objects are referenced through these in the model.
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    return __atomic_add_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    LONG left = __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    if (left != 0) return left;
    std::lock_guard<std::mutex> g(TableLock());
    if (Deferred().erase(device) != 0) {
        std::memset(device, 0xDD, sizeof(DEVICE_OBJECT));
        std::free(device);
        DeferredCv().notify_all();
    }
    return 0;
}

}  // extern "C"
