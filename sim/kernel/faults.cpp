// Fault injection: any injectable call can be made to fail by its ordinal in the scenario, by
// its kind, or by the call site it came from. Every call is recorded, so a sweep can first run
// a scenario once to learn how many injectable calls it makes and then fail each in turn.
#include "internal.h"

namespace sim {
namespace {
struct FaultState {
    std::mutex m;
    uint64_t calls = 0;
    uint64_t injected = 0;
    std::set<uint64_t> failOrdinals;
    std::map<FaultKind, uint64_t> kindCalls;
    std::map<FaultKind, std::set<uint64_t>> failKindNth;
    std::set<FaultKind> failKindAll;
    std::set<const void*> failSites;
    std::vector<FaultSite> sites;
    std::vector<FaultSite> injectedSites;
    std::set<std::pair<int, const void*>> seen;
};
FaultState& F() {
    static FaultState* f = new FaultState();
    return *f;
}
}  // namespace

const char* FaultKindName(FaultKind k) {
    switch (k) {
        case FaultKind::Pool: return "pool";
        case FaultKind::AllocateIrp: return "IoAllocateIrp";
        case FaultKind::BuildIoctl: return "IoBuildDeviceIoControlRequest";
        case FaultKind::CreateDevice: return "IoCreateDevice";
        case FaultKind::RegisterInterface: return "IoRegisterDeviceInterface";
        case FaultKind::SetInterfaceState: return "IoSetDeviceInterfaceState";
        case FaultKind::AttachDevice: return "IoAttachDeviceToDeviceStack";
        case FaultKind::AllocateMdl: return "IoAllocateMdl";
        case FaultKind::MapMdl: return "MmGetSystemAddressForMdlSafe";
        case FaultKind::Usbd: return "USBD allocation";
        case FaultKind::PortResume: return "hub port resume";
    }
    return "?";
}

namespace faults {

void Clear() {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    f.calls = 0;
    f.injected = 0;
    f.failOrdinals.clear();
    f.kindCalls.clear();
    f.failKindNth.clear();
    f.failKindAll.clear();
    f.failSites.clear();
    f.sites.clear();
    f.injectedSites.clear();
    f.seen.clear();
}

void FailOrdinal(uint64_t n) {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    f.failOrdinals.insert(f.calls + n);
}

void FailKind(FaultKind kind, uint64_t n) {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    if (n == 0) {
        f.failKindAll.insert(kind);
    } else {
        f.failKindNth[kind].insert(f.kindCalls[kind] + n);
    }
}

void FailSite(const void* site) {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    f.failSites.insert(site);
}

std::vector<FaultSite> Sites() {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    return f.sites;
}

uint64_t CallCount() {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    return f.calls;
}

std::vector<FaultSite> Injected() {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    return f.injectedSites;
}

uint64_t InjectedCount() {
    FaultState& f = F();
    std::lock_guard<std::mutex> g(f.m);
    return f.injected;
}

bool ShouldFail(FaultKind kind, const void* site) {
    FaultState& f = F();
    bool fail = false;
    {
        std::lock_guard<std::mutex> g(f.m);
        uint64_t ordinal = ++f.calls;
        uint64_t nth = ++f.kindCalls[kind];
        if (f.seen.insert({static_cast<int>(kind), site}).second) f.sites.push_back({kind, site, ordinal});
        fail = f.failOrdinals.count(ordinal) != 0 || f.failKindAll.count(kind) != 0 ||
               f.failKindNth[kind].count(nth) != 0 || f.failSites.count(site) != 0;
        if (fail) {
            ++f.injected;
            f.injectedSites.push_back({kind, site, ordinal});
        }
    }
    if (fail) {
        std::lock_guard<std::mutex> g(detail::TableLock());
        ++detail::W().summary.faultsInjected;
    }
    return fail;
}

}  // namespace faults

namespace detail {
void ResetFaults() { faults::Clear(); }
}  // namespace detail

}  // namespace sim
