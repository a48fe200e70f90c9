// The power manager of Windows XP or Windows 7 as the model runs it: the system's sleep, resume
// and shutdown sequences sent to a device stack, device power requests from the power policy
// owner's side, and wait-wake requests. The driver sees only PoRequestPowerIrp, PoStartNextPowerIrp,
// PoCallDriver and PoSetPowerState (sim/include/wdm.h).
#pragma once

#include "model.h"

#include <memory>
#include <mutex>

namespace sim::power {

// Which Windows the power manager plays. Xp (the default, and after ResetWorld): PoCallDriver
// serialises set and query requests per device object until PoStartNextPowerIrp, and a power
// request sent with IoCallDriver is a verifier finding. Windows7: PoStartNextPowerIrp does
// nothing, requests are not serialised, and IoCallDriver may carry a power request.
enum class Os { Xp, Windows7 };
void SetOs(Os os);
Os CurrentOs();

// The system power state the power manager last set (PowerSystemWorking at the start).
SYSTEM_POWER_STATE SystemState();

// One system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER of a system state) sent to
// the top of the PDO's stack with PoCallDriver, status preset to STATUS_NOT_SUPPORTED, waited
// for under the watchdog.
RequestResult SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

// The system's sleep sequence for one stack: QUERY_POWER for `state` (S1 to S4), then
// SET_POWER to it. A query that fails is a veto: the power manager then sends SET_POWER for
// the working state, which cancels the query, and the system stays awake.
struct SleepResult {
    RequestResult query;
    bool vetoed = false;
    RequestResult set;     // SET_POWER `state` (when not vetoed)
    RequestResult cancel;  // SET_POWER S0 after a veto
};
SleepResult Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// Resume: SET_POWER S0.
RequestResult Wake(PDEVICE_OBJECT pdo);
// Shutdown: SET_POWER S5, without a query.
RequestResult Shutdown(PDEVICE_OBJECT pdo);

// A device set-power request as the stack's power policy owner sends it: PoRequestPowerIrp on
// the PDO, waited for until its callback has run. `status` is what the callback saw.
RequestResult RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

// A wait-wake request armed through PoRequestPowerIrp (IRP_MN_WAIT_WAKE). It completes when the
// device signals wake (the bus answers it), when it is cancelled, or when a driver refuses it.
class WaitWake {
public:
    bool Done() const;
    // Waits for the callback (watchdog applies) and returns the final status.
    NTSTATUS Wait();
    // IoCancelIrp on the request, unless it has completed; returns what IoCancelIrp returned.
    bool Cancel();

private:
    friend std::shared_ptr<WaitWake> ArmWaitWake(PDEVICE_OBJECT, SYSTEM_POWER_STATE);
    mutable std::recursive_mutex m_;
    PIRP irp_ = nullptr;  // until the callback has run
    NTSTATUS status_ = STATUS_PENDING;
    Completion done_;
    static VOID NTAPI Callback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK);
};
// Returns nullptr when PoRequestPowerIrp fails (fault injection).
std::shared_ptr<WaitWake> ArmWaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wakeFrom = PowerSystemSleeping3);

// The device power state a driver last reported with PoSetPowerState for this device object
// (PowerDeviceUnspecified when it never did).
DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device);

// Waits until the power manager's worker thread has delivered everything queued to it.
void Settle();

// The bus driver (a PDO) reports the status it completes a set-power request with, so the
// verifier can tell a bus that could not power its device from a driver that failed the request.
void NoteBusStatus(PIRP irp, NTSTATUS status);

}  // namespace sim::power

namespace sim::detail {
// IoCallDriver's check: power requests travel only through PoCallDriver.
void CheckPowerCallDriver(PIRP irp);
// The end of a scenario: the worker has delivered everything, and no device is left held by a
// request that was passed on or completed without PoStartNextPowerIrp (bug check otherwise).
void CheckPowerAtScenarioEnd();
// Forgets the power manager's state (ResetWorld).
void ResetPower();
}  // namespace sim::detail
