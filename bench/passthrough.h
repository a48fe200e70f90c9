// The yardstick of the bulk benchmarks: the least a WDM function driver can do for a read or
// write on the same model. One URB is allocated from the request, sent down with the request
// and freed at completion; nothing is tracked, checked or counted. Create, close and PnP are
// as short as the model allows, and the configuration is selected by the benchmark itself
// (SelectPassThroughConfiguration), so only the transfer path is compared with kwdrv's.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace bench {

// DriverEntry of the pass-through driver, for sim::LoadDriver.
NTSTATUS NTAPI PassThroughDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The interface link the pass-through device registered on `fdo`'s PDO.
std::u16string PassThroughLink(PDEVICE_OBJECT fdo);

// Selects the first configuration of the device below `fdo` with every interface in alternate
// setting 0, sent straight to `pdo`, and binds "\KWDrvN" to the N-th pipe of interface 0.
// Returns the status of the selection.
NTSTATUS SelectPassThroughConfiguration(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo,
                                        const std::vector<unsigned char>& configurationSet);

}  // namespace bench
