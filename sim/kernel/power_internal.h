// The power manager's shared internals (power.cpp), for its sequences (power_system.cpp).
#pragma once

#include "internal.h"

#include <memory>
#include <string>

namespace sim::detail {
// Records a power IRP the manager created (its next location filled); returns its description.
std::string RegisterPowerIrp(PIRP irp);
// Completion of a power IRP at the top, before the requester hears of it.
void PowerIrpDone(PIRP irp);
// Waits until a completed power IRP has been freed.
void WaitPowerIrpReleased(const std::weak_ptr<IrpTrack>& t);
// The requests waiting at a device and what holds them, for a watchdog report; *notStarted is
// set when the holder left its device without PoStartNextPowerIrp.
std::string DiagnosePower(bool* notStarted);
}  // namespace sim::detail
