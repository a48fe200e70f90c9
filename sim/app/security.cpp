// The access check of an open, as the I/O manager makes it against the security descriptor and
// device characteristics the PnP manager applied to a device's stack from its INF.
//
// The security descriptor is given in SDDL with the subset an INF uses: "D:" with optional
// flags, then access-allowed ACEs "(A;;RIGHTS;;;SID)" whose RIGHTS are GA, GR, GW, GX (or a
// combination) and whose SID is a two-letter alias (SY, BA, IU, AU, WD, LS, NS ...). A caller
// is a set of such aliases.
//
// An open that names something below the device (a remainder after the interface path, such as
// "\KWDrv0") is checked only when a device object of the stack is FILE_DEVICE_SECURE_OPEN:
// otherwise Windows leaves the check of such names to the driver, which here does none.
#include "app/app.h"

#include "kernel/internal.h"

#include <map>
#include <mutex>

namespace sim::app {
namespace {

struct DeviceSecurity {
    std::string sddl;
    ULONG characteristics = 0;
};

std::mutex& SecurityLock() {
    static std::mutex m;
    return m;
}

std::map<PDEVICE_OBJECT, DeviceSecurity>& Securities() {
    static std::map<PDEVICE_OBJECT, DeviceSecurity> s;
    return s;
}

constexpr ACCESS_MASK kGenericAll = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// The generic rights an ACE's rights field grants; 0 for anything this model does not know.
ACCESS_MASK RightsOf(const std::string& rights) {
    ACCESS_MASK granted = 0;
    for (size_t i = 0; i + 2 <= rights.size(); i += 2) {
        std::string r = rights.substr(i, 2);
        if (r == "GA") granted |= kGenericAll;
        else if (r == "GR") granted |= GENERIC_READ;
        else if (r == "GW") granted |= GENERIC_WRITE;
        else if (r == "GX") granted |= GENERIC_EXECUTE;
    }
    return granted;
}

// What the descriptor grants a caller with these aliases.
ACCESS_MASK Granted(const std::string& sddl, const std::set<std::string>& caller) {
    ACCESS_MASK granted = 0;
    for (size_t open = sddl.find('('); open != std::string::npos; open = sddl.find('(', open + 1)) {
        size_t close = sddl.find(')', open);
        if (close == std::string::npos) break;
        std::vector<std::string> fields(1);
        for (char c : sddl.substr(open + 1, close - open - 1)) {
            if (c == ';') fields.emplace_back();
            else fields.back() += c;
        }
        if (fields.size() == 6 && fields[0] == "A" && caller.count(fields[5]) != 0) granted |= RightsOf(fields[2]);
    }
    return granted;
}

}  // namespace

void SetDeviceSecurity(PDEVICE_OBJECT pdo, const std::string& sddl, ULONG characteristics) {
    std::lock_guard<std::mutex> g(SecurityLock());
    Securities()[pdo] = DeviceSecurity{sddl, characteristics};
}

void ForgetDeviceSecurity(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(SecurityLock());
    Securities().erase(pdo);
}

NTSTATUS CheckOpenAccess(PDEVICE_OBJECT pdo, bool belowDevice, ACCESS_MASK desired,
                         const std::set<std::string>& caller) {
    DeviceSecurity security;
    {
        std::lock_guard<std::mutex> g(SecurityLock());
        auto it = Securities().find(pdo);
        if (it == Securities().end()) return STATUS_SUCCESS;  // no descriptor: the default allows all
        security = it->second;
    }
    ULONG characteristics = security.characteristics;
    {
        std::lock_guard<std::mutex> g(detail::TableLock());
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) characteristics |= d->Characteristics;
    }
    if (belowDevice && !(characteristics & FILE_DEVICE_SECURE_OPEN)) return STATUS_SUCCESS;
    ACCESS_MASK wanted = desired & kGenericAll;
    if ((desired & ~kGenericAll) != 0) wanted |= GENERIC_ALL;  // specific rights: only GA grants them here
    ACCESS_MASK granted = Granted(security.sddl, caller);
    return (wanted & ~granted) == 0 && granted != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace sim::app
