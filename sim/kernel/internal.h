// State shared by the model's own translation units. Not for tests or the driver.
#pragma once

#include "model.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace sim::detail {

// One lock guards every shadow table below. It is never held while driver code runs.
std::mutex& TableLock();

// Per-IRP shadow record.
struct IrpTrack {
    enum class State { Idle, InFlight, Completing, Stopped, Done };
    uint64_t id = 0;
    IrpOrigin origin = IrpOrigin::Allocated;
    State state = State::Idle;
    CCHAR stackCount = 0;
    // Per location (index 1..stackCount+1): what the completion walk saw when it left it.
    std::vector<bool> popped;
    std::vector<bool> pendingSeen;
    std::vector<bool> propagated;
    std::function<void(PIRP)> onTop;
    PVOID systemBuffer = nullptr;  // model-owned buffer of a built METHOD_BUFFERED request
    // Completion routines of this IRP that have not returned yet, on any thread. Windows waits
    // for none of them: once a routine has handed the IRP on (an event, a list), its new owner
    // may free, reuse, resend or complete it at once, and the routine must then return
    // STATUS_MORE_PROCESSING_REQUIRED without touching it again. `taken` counts such takes
    // while a routine runs, so the walk can tell when a routine let completion go on over an
    // IRP that is no longer its own.
    int routinesRunning = 0;
    uint64_t taken = 0;
    const char* takenBy = nullptr;
    // The driver that allocated or built the IRP (null for the model's managers): the owner
    // while no stack location holds it.
    PDRIVER_OBJECT originator = nullptr;
    // The driver that owns the IRP now: the one whose dispatch routine IoCallDriver called
    // last, or whose completion routine the walk called last; `holder` is its device.
    PDRIVER_OBJECT owner = nullptr;
    PDEVICE_OBJECT holder = nullptr;
};

struct DeviceTrack {
    std::string name;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned to it
    bool isPdo = false;
    std::string instanceId;
};

// Deferred deletion of referenced device objects (unloadsafe.cpp). Defer...: under TableLock,
// true when IoDeleteDevice must leave the memory to the last dereference.
bool DeferDeletionWhileReferenced(PDEVICE_OBJECT device);
void WaitForDeferredDeletions(PDRIVER_OBJECT driver);
void ForgetDeferredDeletions();  // frees them; under TableLock, for ResetWorld

struct DriverTrack {
    std::string name;
    bool model = false;  // a driver of the model itself (bus driver)
};

struct PoolBlock {
    size_t size = 0;
    bool paged = false;  // PagedPool (any paged type): never touched at DISPATCH_LEVEL
    ULONG tag = 0;
    const void* site = nullptr;
    PDRIVER_OBJECT driver = nullptr;  // the driver on whose behalf it was allocated
    PDEVICE_OBJECT device = nullptr;  // the device whose request was running, if any
    uint64_t seq = 0;
};

struct InterfaceEntry {
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
    std::u16string link;
};

struct World {
    std::unordered_map<PIRP, std::shared_ptr<IrpTrack>> irps;
    std::unordered_set<PIRP> freedIrps;
    std::unordered_map<PDEVICE_OBJECT, DeviceTrack> devices;
    std::unordered_set<PDEVICE_OBJECT> deletedDevices;
    std::unordered_map<PDRIVER_OBJECT, DriverTrack> drivers;
    std::unordered_map<void*, PoolBlock> pool;
    std::unordered_set<void*> freedPool;
    // Freed blocks not yet given back to the host allocator, oldest first: while an address is
    // here nothing else can be placed at it, so freedPool never names live memory.
    std::deque<std::pair<void*, size_t>> poolQuarantine;  // block, bytes
    std::map<std::u16string, InterfaceEntry> interfaces;  // key: lower-cased link name
    std::map<std::pair<PDEVICE_OBJECT, UCHAR>, uint64_t> pnpAtPdo;  // PnP requests a PDO received, by minor
    uint64_t nextIrpId = 1;
    uint64_t nextPoolSeq = 1;
    uint32_t nextDeviceNumber = 1;
    VerifierSummary summary;
};
World& W();
// Gives a quarantined pool block back to the host allocator (nullptr: nothing).
void ReleaseQuarantined(void* p, size_t bytes);

// Driver-routine frames on the current thread: what the verifier checks when a dispatch
// routine returns, and whom pool is attributed to.
struct Frame {
    enum class Kind { Dispatch, Completion, AddDevice, DriverEntry, Unload, Cancel, Dpc, Model };
    Kind kind = Kind::Model;
    PIRP irp = nullptr;
    std::shared_ptr<IrpTrack> track;
    int location = 0;
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool completedHere = false;
    NTSTATUS completedStatus = 0;
    bool forwardedHere = false;
    NTSTATUS lowerReturned = 0;
};
std::vector<Frame*>& Frames();
// A frame for a routine of the driver that owns `device` (none for the IRP's originator).
inline Frame MakeFrame(Frame::Kind kind, PIRP irp, std::shared_ptr<IrpTrack> track, int location,
                       PDEVICE_OBJECT device) {
    Frame f;
    f.kind = kind;
    f.irp = irp;
    f.track = std::move(track);
    f.location = location;
    f.device = device;
    f.driver = device != nullptr ? device->DriverObject : nullptr;
    return f;
}
// The routine watchdog (watchdog.cpp): a driver routine that has not returned within the
// watchdog's limit is a bug check naming it and its request, whether it spins or blocks.
uint64_t EnterRoutine(const Frame& f);
void LeaveRoutine(uint64_t token);
// A driver routine's frame for as long as it runs. On leaving: the routine must return at the
// IRQL it was called at (a cancel routine is checked by IoCancelIrp, since it returns at the
// IRQL of the cancel spin lock's acquirer).
struct FrameScope {
    explicit FrameScope(Frame* f) : frame_(f), irql_(KeGetCurrentIrql()), token_(EnterRoutine(*f)) {
        Frames().push_back(f);
    }
    ~FrameScope() {
        Frames().pop_back();
        LeaveRoutine(token_);
        if (frame_->kind != Frame::Kind::Cancel && KeGetCurrentIrql() != irql_) IrqlChanged();
    }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    [[noreturn]] void IrqlChanged() const;
    Frame* frame_;
    KIRQL irql_;
    uint64_t token_;
};
// The driver and device on whose behalf the current thread runs (from the innermost frame).
PDRIVER_OBJECT CurrentDriver();
PDEVICE_OBJECT CurrentDevice();

// IRP helpers.
std::shared_ptr<IrpTrack> FindIrp(PIRP irp);  // nullptr when unknown
std::shared_ptr<IrpTrack> RequireIrp(PIRP irp, const char* api);  // bug check on freed/unknown
PIRP NewIrp(CCHAR stackSize, IrpOrigin origin);
void FreeIrpStorage(PIRP irp);
void ReleaseIrp(PIRP irp);  // forgets the IRP (its address is remembered as freed) and frees it
[[noreturn]] void IoViolation(const char* rule, const std::string& msg);
void ResetLocations(IrpTrack& t, int upTo);  // locations 1..upTo: not popped, nothing seen
// Notes that `api` takes the IRP over; true while a completion routine of it still runs.
bool NoteTake(const std::shared_ptr<IrpTrack>& t, const char* api);
void SetOwner(IrpTrack& t, PDEVICE_OBJECT device);  // table lock held; nullptr: its originator
// Only the IRP's owner may pass it on, complete it or set its cancel routine (IrpNotOwned).
void RequireOwner(const std::shared_ptr<IrpTrack>& t, const char* api);
PIO_STACK_LOCATION Location(PIRP irp, int index);  // index 1..StackCount
std::string DescribeIrp(PIRP irp);
std::string DescribeInFlight();

// Pool for the model's own bookkeeping that is handed to a driver (link names, USBD URBs):
// tracked like driver pool and attributed to the calling driver.
PVOID AllocateTracked(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site, FaultKind kind);

// Device helpers.
DeviceTrack* FindDevice(PDEVICE_OBJECT d);
void RequireLiveDevice(PDEVICE_OBJECT d, const char* api);

// Waits on a predicate with the watchdog; `what` names the wait.
void WaitWithWatchdog(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                      const std::function<bool()>& ready, const char* what);

// The IRQL limit of a platform call, from one table (irql.cpp): bug check when the calling
// thread is above it.
void RequireIrql(const char* api);

void ResetIrql();
void ResetPnp();
void StopDpcThread();
void ResetFaults();

std::string Hex(uint64_t v);

}  // namespace sim::detail

// ---------------------------------------------------------------------------------------------
// MDLs (mdl.cpp) and the I/O manager's user side (sim/app)
// ---------------------------------------------------------------------------------------------
namespace sim::detail {

// The I/O manager's MDL over a caller's buffer for a direct-I/O request: allocated (never
// fault-injected, attributed to no driver), probed and locked for `op` in the calling thread's
// process; the caller makes it Irp->MdlAddress. Returns STATUS_SUCCESS, STATUS_ACCESS_VIOLATION
// (nothing allocated) when the range is not valid user memory for the access, which is what the
// probe's exception turns into, or STATUS_INSUFFICIENT_RESOURCES when the length exceeds what an
// MDL can describe.
NTSTATUS LockUserBuffer(PVOID userAddress, ULONG length, LOCK_OPERATION op, PMDL* mdl);
// What completion of a user request does with its MDLs: unlock and free every MDL on the
// Irp->MdlAddress chain (bug check if one of them is not a locked MDL from IoAllocateMdl).
void ReleaseRequestMdls(PIRP irp);
// True when the MDL (for a partial MDL, its source) was locked for IoReadAccess only: its pages
// may be read from but not written into.
bool LockedForReadOnly(PMDL mdl);
// MDLs from IoAllocateMdl still live, one line each; empty when there are none.
std::string DescribeLiveMdls();
// Forgets every MDL (ResetWorld).
void ResetMdls();

}  // namespace sim::detail

namespace sim::kernel {
// Raises `code` on the calling thread and dispatches it along its exception registration chain
// (exception.cpp). Never returns to the caller: a handler that takes the exception resumes in its
// own frame, and an exception no handler takes is a bug check (KMODE_EXCEPTION_NOT_HANDLED). The
// caller must hold no lock and no object with a destructor, since its frame is abandoned.
[[noreturn]] void RaiseException(NTSTATUS code, ULONG flags, PVOID address);
}  // namespace sim::kernel
