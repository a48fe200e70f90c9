// The host model of the Windows platform: the C++ interface that tests and kwsim use to drive
// it. The driver never sees this header; it sees only the platform headers in sim/include.
#pragma once

#include <ntddk.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------------------------------------
// Bug checks and the verifier
// ---------------------------------------------------------------------------------------------

// Bug check codes the model raises. The rule name travels with every report.
enum : ULONG {
    kBugNoMoreIrpStackLocations = 0x35,
    kBugMultipleIrpComplete = 0x44,
    kBugIrqlNotLessOrEqual = 0x0A,
    kBugBadPoolCaller = 0xC2,
    kBugDriverVerifierViolation = 0xC4,
    kBugDriverUnloadedWithPending = 0xCE,
    kBugIoManagerViolation = 0xC9,
    kBugPnpDetected = 0xCA,
    kBugWatchdog = 0xDEAD0001,
};

struct BugCheckReport {
    ULONG code = 0;
    std::string rule;
    std::string message;
};

// Reports a rule break and never returns: the default handler prints the report to stderr and
// aborts the process, as a bug check stops Windows. A test that wants to observe the report
// may install a handler; if the handler returns, the process still aborts.
[[noreturn]] void BugCheck(ULONG code, const char* rule, const std::string& message);
void SetBugCheckHandler(std::function<void(const BugCheckReport&)> handler);

struct VerifierSummary {
    uint64_t irpsAllocated = 0;
    uint64_t irpsCompleted = 0;
    uint64_t callsDriver = 0;
    uint64_t dispatchChecks = 0;
    uint64_t poolAllocations = 0;
    uint64_t poolFrees = 0;
    uint64_t waits = 0;
    uint64_t faultsInjected = 0;
    uint64_t bugChecks = 0;  // always 0 in a live process: a bug check ends it
};
VerifierSummary Summary();
std::string FormatSummary(const VerifierSummary& s);

// "STATUS_PENDING (0x00000103)" for the codes the model knows, the hex value otherwise.
std::string StatusName(NTSTATUS status);

// Wait limit for every blocking wait (driver and model). A wait that exceeds it is a hang:
// the watchdog bug-checks and names every request still in flight. Default 20 s, or the
// value of KWSIM_WATCHDOG_MS.
void SetWatchdogMilliseconds(uint32_t ms);
uint32_t WatchdogMilliseconds();

// ---------------------------------------------------------------------------------------------
// World lifecycle
// ---------------------------------------------------------------------------------------------

// Checks the end of a scenario: no IRP in flight, no DPC queued, no driver pool left
// (bug check otherwise). Then forgets all state so the next scenario starts clean.
void EndScenario();
// Forgets all state without the checks (for a test that deliberately leaves things behind).
void ResetWorld();

// Number of live IRPs / live pool blocks that a driver owns.
size_t LiveIrpCount();
size_t LivePoolCount();
size_t LivePoolBytesWithTag(ULONG tag);

// ---------------------------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------------------------
enum class FaultKind {
    Pool,
    AllocateIrp,
    BuildIoctl,
    CreateDevice,
    RegisterInterface,
    SetInterfaceState,
    AttachDevice,
    AllocateMdl,
    MapMdl,
    Usbd,
    PortResume,  // the hub resuming a suspended port (a device set-power request to D0)
};
const char* FaultKindName(FaultKind k);

struct FaultSite {
    FaultKind kind;
    const void* site;  // return address inside the caller
    uint64_t ordinal;  // ordinal of its first call in the scenario (1-based)
};

namespace faults {
// Clears all requests and the record of calls.
void Clear();
// Fails the n-th injectable call (1-based, counted over every kind) from now on.
void FailOrdinal(uint64_t n);
// Fails every call of this kind (n == 0) or only the n-th call of this kind (1-based).
void FailKind(FaultKind kind, uint64_t n = 0);
// Fails every call made from this call site.
void FailSite(const void* site);
// Every injectable call so far, in order of first appearance of each distinct site.
std::vector<FaultSite> Sites();
uint64_t CallCount();
uint64_t InjectedCount();
// The calls that were made to fail, in order.
std::vector<FaultSite> Injected();
// Used by the model's own services: true when this call must fail.
bool ShouldFail(FaultKind kind, const void* site);
}  // namespace faults

// ---------------------------------------------------------------------------------------------
// IRQL and deferred procedure calls
// ---------------------------------------------------------------------------------------------

// Runs fn on the model's DPC thread at DISPATCH_LEVEL, as a host controller's DPC would.
void QueueDpc(std::function<void()> fn);
// Waits until every queued DPC has run.
void FlushDpcs();

// Runs fn at the given IRQL on the calling thread and restores the previous level.
void RunAtIrql(KIRQL irql, const std::function<void()>& fn);

// ---------------------------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------------------------

// Loads a driver: a DRIVER_OBJECT whose every dispatch entry completes requests with
// STATUS_INVALID_DEVICE_REQUEST, then DriverEntry at PASSIVE_LEVEL. Returns nullptr (and
// frees the object) when DriverEntry fails; *status receives its result.
PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, const char16_t* registryPath,
                          NTSTATUS* status);
// Unloads: bug check if a device object of the driver still exists; runs DriverUnload;
// bug check if pool that the driver allocated is still live.
void UnloadDriver(PDRIVER_OBJECT driver);

// Creates a driver object for a driver of the model itself (the bus driver). No DriverEntry.
PDRIVER_OBJECT CreateModelDriver(const char* name);
void DeleteModelDriver(PDRIVER_OBJECT driver);

// Creates a physical device object for a device instance ID such as
// "USB\\VID_1209&PID_0001\\5&1234&0&1". Its dispatch table is the owning model driver's.
PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT busDriver, const std::string& instanceId, ULONG extensionSize);
// Deletes a PDO that nothing is attached to any more; its interfaces disappear with it.
void DeletePdo(PDEVICE_OBJECT pdo);

std::string DeviceName(PDEVICE_OBJECT device);
std::string DriverName(PDRIVER_OBJECT driver);
bool DeviceExists(PDEVICE_OBJECT device);
// The device object directly below `device` (what IoAttachDeviceToDeviceStack returned to it).
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);
// Device objects of a driver, newest first.
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);

// Device interfaces.
enum class InterfaceState { Unknown, Disabled, Enabled };
InterfaceState QueryInterfaceState(const std::u16string& linkName);
std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo);
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);
std::u16string ToU16(PCUNICODE_STRING s);

// ---------------------------------------------------------------------------------------------
// IRPs originated by the model's managers
// ---------------------------------------------------------------------------------------------

enum class IrpOrigin { Allocated, BuiltIoctl, BuiltFsd, Pnp, Power, User };

// Allocates an IRP whose completion at the top of the stack is reported to onTop (called with
// the IRP's final IoStatus, in the completing thread), after which the model frees it.
PIRP AllocateManagedIrp(CCHAR stackSize, IrpOrigin origin, std::function<void(PIRP)> onTop);

struct RequestResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    NTSTATUS dispatchReturned = 0;
};

// A one-shot event for the model's own waits, honouring the watchdog.
class Completion {
public:
    void Signal();
    bool IsSignalled() const;
    // Waits (watchdog applies); `what` names the wait in a watchdog report.
    void Wait(const char* what);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
};

// ---------------------------------------------------------------------------------------------
// Plug and Play manager
// ---------------------------------------------------------------------------------------------
namespace pnp {
// Calls the driver's AddDevice for a PDO at PASSIVE_LEVEL.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// The device object at the top of the PDO's stack.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo);
// Sends a PnP request to the top of the PDO's stack, as the PnP manager does (status preset to
// STATUS_NOT_SUPPORTED), waits for it and returns its final status and Information.
RequestResult Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {});
// Sends IRP_MN_QUERY_CAPABILITIES as the PnP manager does (record pre-filled).
RequestResult QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps);
// REMOVE_DEVICE. Bug check if it fails, if a file object of the device is still open, or if the
// function driver's device object is not gone afterwards.
RequestResult Remove(PDEVICE_OBJECT pdo);

// START_DEVICE, processed bottom-up by the drivers' own forwarding. When the start fails the
// PnP manager removes the device at once, as Windows does (REMOVE_DEVICE without a query).
struct StartResult {
    RequestResult start;
    bool removed = false;
    RequestResult remove;
};
StartResult Start(PDEVICE_OBJECT pdo);

// Resource rebalance: QUERY_STOP; STOP and START again when the query succeeds, CANCEL_STOP
// when it fails. A failing restart removes the device (SURPRISE_REMOVAL then REMOVE).
struct RebalanceResult {
    RequestResult queryStop;
    bool stopped = false;
    RequestResult stop;
    StartResult restart;
    RequestResult cancelStop;
};
RebalanceResult Rebalance(PDEVICE_OBJECT pdo);

// Orderly removal (disable, uninstall): QUERY_REMOVE; REMOVE when it succeeds, CANCEL_REMOVE
// when it fails or when a file object of the device is still open (the removal is vetoed).
struct OrderlyRemovalResult {
    RequestResult queryRemove;
    bool vetoedByOpenHandles = false;
    bool removed = false;
    RequestResult remove;
    RequestResult cancelRemove;
};
OrderlyRemovalResult OrderlyRemove(PDEVICE_OBJECT pdo);

// Surprise removal, after the device was unplugged: SURPRISE_REMOVAL now, which must not fail.
// The PnP manager sends REMOVE only once the last file object is closed: call Remove then.
RequestResult SurpriseRemoval(PDEVICE_OBJECT pdo);

// A started device brought into another PnP state and then surprise-removed there: stopped
// (QUERY_STOP and STOP), stop-pending (QUERY_STOP only) or remove-pending (QUERY_REMOVE only).
// `unplug` takes the device off its port (the hub notices it and reports it gone). Windows sends
// SURPRISE_REMOVAL in any PnP state and cancels no query first; REMOVE follows at once when no
// file object is open, else the caller calls Remove after the last close. A query the driver
// fails is cancelled (CANCEL_STOP or CANCEL_REMOVE) and nothing is removed.
enum class PnpState { Stopped, StopPending, RemovePending };
struct SurpriseInStateResult {
    RequestResult query;  // QUERY_STOP or QUERY_REMOVE
    RequestResult stop;   // Stopped only
    bool queryCancelled = false;
    RequestResult surprise;
    bool removed = false;
    RequestResult remove;
};
SurpriseInStateResult SurpriseRemoveIn(PDEVICE_OBJECT pdo, PnpState state, const std::function<void()>& unplug);

// Open file objects on the stack of this PDO, as the I/O manager counts them: from a successful
// IRP_MJ_CREATE until its IRP_MJ_CLOSE, which comes only once no request holds the file object
// (the user side reports both).
void NoteFileOpened(PDEVICE_OBJECT pdo);
void NoteFileClosed(PDEVICE_OBJECT pdo);
size_t OpenFiles(PDEVICE_OBJECT pdo);
}  // namespace pnp

// Sends a request of the given major function to the top of a stack, as the I/O manager would,
// with `preset` in its status, and waits for its completion.
RequestResult SendToStack(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                          NTSTATUS preset = STATUS_SUCCESS);

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// MDLs (the user side of the I/O manager is in sim/app/app.h)
// ---------------------------------------------------------------------------------------------
namespace sim {
// MDLs from IoAllocateMdl (a driver's or the I/O manager's) not yet freed.
size_t LiveMdlCount();
}  // namespace sim

// ---------------------------------------------------------------------------------------------
// Structured exceptions (exception.cpp)
// ---------------------------------------------------------------------------------------------
namespace sim::kernel {
// The calling thread's thread information block, created on first use with an empty exception
// registration chain (EXCEPTION_CHAIN_END) and the host thread's stack as its limits. Driver code
// reaches it through FS (__readfsdword / __writefsdword at FIELD_OFFSET(NT_TIB, ...)), never
// through this call; the record stays at one address for the thread's life.
NT_TIB* CurrentTib();
}  // namespace sim::kernel
