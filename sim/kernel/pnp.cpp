// The Plug and Play manager's side of a device's life: AddDevice, PnP requests sent to the top of
// the stack with STATUS_NOT_SUPPORTED preset, and requests from an upper driver.
#include "internal.h"

#include <map>

namespace sim {
namespace {
std::mutex& PnpSerial() {
    static std::mutex m;
    return m;
}

RequestResult SendAndWait(PDEVICE_OBJECT top, IrpOrigin origin, UCHAR major, UCHAR minor, NTSTATUS preset,
                          const std::function<void(PIO_STACK_LOCATION)>& fill, const char* what) {
    auto done = std::make_shared<Completion>();
    auto result = std::make_shared<RequestResult>();
    PIRP irp = AllocateManagedIrp(top->StackSize, origin, [done, result](PIRP finished) {
        result->status = finished->IoStatus.Status;
        result->information = finished->IoStatus.Information;
        done->Signal();
    });
    irp->IoStatus.Status = preset;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill) fill(next);
    NTSTATUS returned = IoCallDriver(top, irp);
    done->Wait(what);
    result->dispatchReturned = returned;
    if (returned != STATUS_PENDING && returned != result->status) {
        BugCheck(kBugIoManagerViolation, "ReturnDiffersFromCompletion",
                 std::string(what) + ": the stack returned " + StatusName(returned) + " but completed with " +
                     StatusName(result->status));
    }
    return *result;
}
}  // namespace

namespace pnp {

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> serial(PnpSerial());
    detail::Frame f;
    f.kind = detail::Frame::Kind::AddDevice;
    f.driver = driver;
    NTSTATUS st;
    {
        detail::FrameScope scope(&f);
        st = driver->DriverExtension->AddDevice(driver, pdo);
    }
    if (NT_SUCCESS(st)) {
        PDEVICE_OBJECT top = TopOfStack(pdo);
        if (top == pdo) {
            BugCheck(kBugPnpDetected, "AddDeviceAttachedNothing", "AddDevice succeeded but attached no device");
        }
        if (top->Flags & DO_DEVICE_INITIALIZING) {
            BugCheck(kBugPnpDetected, "DeviceStillInitializing",
                     "AddDevice returned with DO_DEVICE_INITIALIZING still set on " + DeviceName(top));
        }
    }
    return st;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(detail::TableLock());
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

RequestResult Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill) {
    std::lock_guard<std::mutex> serial(PnpSerial());
    std::string what = "PnP request minor " + detail::Hex(minor) + " to " + DeviceName(TopOfStack(pdo));
    return SendAndWait(TopOfStack(pdo), IrpOrigin::Pnp, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, fill, what.c_str());
}

RequestResult QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps) {
    *caps = DEVICE_CAPABILITIES{};
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    return Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                [caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = caps; });
}

namespace {
std::mutex& FilesLock() {
    static std::mutex m;
    return m;
}
std::map<PDEVICE_OBJECT, size_t>& Files() {
    static auto* files = new std::map<PDEVICE_OBJECT, size_t>();
    return *files;
}

void RequireSuccess(const RequestResult& r, const char* what) {
    if (!NT_SUCCESS(r.status)) {
        BugCheck(kBugPnpDetected, "PnpRequestMayNotFail", std::string(what) + " failed with " + StatusName(r.status));
    }
}
}  // namespace

void NoteFileOpened(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(FilesLock());
    ++Files()[pdo];
}

void NoteFileClosed(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(FilesLock());
    auto it = Files().find(pdo);
    if (it == Files().end() || it->second == 0) {
        BugCheck(kBugPnpDetected, "ModelFileCount", "a file object closed that was never opened");
    }
    if (--it->second == 0) Files().erase(it);
}

size_t OpenFiles(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(FilesLock());
    auto it = Files().find(pdo);
    return it == Files().end() ? 0 : it->second;
}

uint64_t ReachedPdo(PDEVICE_OBJECT pdo, UCHAR minor) {
    std::lock_guard<std::mutex> g(detail::TableLock());
    auto it = detail::W().pnpAtPdo.find({pdo, minor});
    return it == detail::W().pnpAtPdo.end() ? 0 : it->second;
}

// START (when it succeeds) and REMOVE must have reached the PDO: every driver of the stack
// passes them down, and the bus driver's part of them is not optional.
RequestResult SendToPdo(PDEVICE_OBJECT pdo, UCHAR minor, const char* what) {
    const uint64_t before = ReachedPdo(pdo, minor);
    RequestResult r = Send(pdo, minor);
    if ((NT_SUCCESS(r.status) || minor == IRP_MN_REMOVE_DEVICE) && ReachedPdo(pdo, minor) == before) {
        BugCheck(kBugPnpDetected, "PnpNotPassedToPdo",
                 std::string(what) + " completed with " + StatusName(r.status) +
                     " without being passed down to the physical device object");
    }
    return r;
}

// A cancel (of a stop or a removal) may not fail.
RequestResult SendCancel(PDEVICE_OBJECT pdo, UCHAR minor, const char* what) {
    RequestResult r = Send(pdo, minor);
    RequireSuccess(r, what);
    return r;
}

RequestResult Remove(PDEVICE_OBJECT pdo) {
    if (OpenFiles(pdo) != 0) {
        BugCheck(kBugPnpDetected, "RemoveWithOpenHandles",
                 "IRP_MN_REMOVE_DEVICE is sent only after the last file object of the device is closed (" +
                     std::to_string(OpenFiles(pdo)) + " still open)");
    }
    PDEVICE_OBJECT fdo = TopOfStack(pdo);
    RequestResult r = SendToPdo(pdo, IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE");
    RequireSuccess(r, "IRP_MN_REMOVE_DEVICE");
    if (DeviceExists(fdo) && fdo != pdo) {
        BugCheck(kBugPnpDetected, "RemoveLeftDevice",
                 "after IRP_MN_REMOVE_DEVICE the function device object " + DeviceName(fdo) + " still exists");
    }
    return r;
}

// What Windows asks a device that has just started: its capabilities again, its PnP state and
// its bus relations. A relations list a driver returns belongs to the PnP manager, which frees it.
void AfterStart(PDEVICE_OBJECT pdo) {
    DEVICE_CAPABILITIES caps;
    QueryCapabilities(pdo, &caps);
    Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    RequestResult relations = Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                                   [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (NT_SUCCESS(relations.status) && relations.information != 0) {
        ExFreePool(reinterpret_cast<PVOID>(relations.information));
    }
}

StartResult Start(PDEVICE_OBJECT pdo) {
    StartResult r;
    r.start = SendToPdo(pdo, IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE");
    if (NT_SUCCESS(r.start.status)) AfterStart(pdo);
    if (!NT_SUCCESS(r.start.status)) {
        r.removed = true;
        r.remove = SendToPdo(pdo, IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE after a failed start");
        RequireSuccess(r.remove, "IRP_MN_REMOVE_DEVICE after a failed start");
    }
    return r;
}

RebalanceResult Rebalance(PDEVICE_OBJECT pdo) {
    RebalanceResult r;
    r.queryStop = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(r.queryStop.status)) {
        r.cancelStop = SendCancel(pdo, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
        return r;
    }
    r.stopped = true;
    r.stop = Send(pdo, IRP_MN_STOP_DEVICE);
    r.restart.start = SendToPdo(pdo, IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE after a stop");
    if (NT_SUCCESS(r.restart.start.status)) AfterStart(pdo);
    if (!NT_SUCCESS(r.restart.start.status)) {
        RequireSuccess(Send(pdo, IRP_MN_SURPRISE_REMOVAL), "IRP_MN_SURPRISE_REMOVAL after a failed restart");
        if (OpenFiles(pdo) == 0) {
            r.restart.removed = true;
            r.restart.remove = Remove(pdo);
        }
    }
    return r;
}

OrderlyRemovalResult OrderlyRemove(PDEVICE_OBJECT pdo) {
    OrderlyRemovalResult r;
    r.queryRemove = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(r.queryRemove.status)) {
        r.cancelRemove = SendCancel(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
        return r;
    }
    if (OpenFiles(pdo) != 0) {
        // An application still holds the device open: the PnP manager vetoes the removal
        // (outstanding open) and cancels it.
        r.vetoedByOpenHandles = true;
        r.cancelRemove = SendCancel(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
        return r;
    }
    r.removed = true;
    r.remove = Remove(pdo);
    return r;
}

RequestResult SurpriseRemoval(PDEVICE_OBJECT pdo) {
    RequestResult r = Send(pdo, IRP_MN_SURPRISE_REMOVAL);
    RequireSuccess(r, "IRP_MN_SURPRISE_REMOVAL");
    return r;
}

SurpriseInStateResult SurpriseRemoveIn(PDEVICE_OBJECT pdo, PnpState state, const std::function<void()>& unplug) {
    SurpriseInStateResult r;
    const bool removal = state == PnpState::RemovePending;
    r.query = Send(pdo, removal ? IRP_MN_QUERY_REMOVE_DEVICE : IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(r.query.status)) {
        r.queryCancelled = true;
        if (removal) {
            SendCancel(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
        } else {
            SendCancel(pdo, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
        }
        return r;
    }
    if (state == PnpState::Stopped) {
        r.stop = Send(pdo, IRP_MN_STOP_DEVICE);
        RequireSuccess(r.stop, "IRP_MN_STOP_DEVICE");
    }
    if (unplug) unplug();
    r.surprise = SurpriseRemoval(pdo);
    if (OpenFiles(pdo) == 0) {
        r.removed = true;
        r.remove = Remove(pdo);
    }
    return r;
}

}  // namespace pnp

namespace detail {
void ResetPnp() {
    std::lock_guard<std::mutex> g(pnp::FilesLock());
    pnp::Files().clear();
}
}  // namespace detail

RequestResult SendToStack(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill, NTSTATUS preset) {
    std::string what = "request major " + detail::Hex(major) + " to " + DeviceName(top);
    return SendAndWait(top, IrpOrigin::User, major, minor, preset, fill, what.c_str());
}

}  // namespace sim
