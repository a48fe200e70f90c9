// Memory descriptor lists: IoAllocateMdl, IoFreeMdl, IoBuildPartialMdl, MmBuildMdlForNonPagedPool,
// MmProbeAndLockPages, MmUnlockPages and MmGetSystemAddressForMdlSafe, with the verifier's MDL
// checks. Every MDL from IoAllocateMdl is tracked (live, locked, where its bytes live in host
// memory) so leaks are reported when a scenario ends. User addresses are checked against the
// simulated address space of the calling thread's process (sim/app/address_space.h).
#include "internal.h"

#include "app/address_space.h"

#include <cstdlib>
#include <cstring>
#include <deque>

namespace sim::detail {
namespace {

using app::AddressSpace;

// An MDL's record beside the MDL itself.
struct MdlTrack {
    bool allocated = false;  // from IoAllocateMdl (else a driver-initialised MDL an Mm routine saw)
    bool ioManager = false;  // the I/O manager's MDL over a caller's buffer
    const void* site = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    size_t capacityPages = 0;  // pages its PFN array can hold
    uint64_t seq = 0;
    // Where the described bytes live in host memory while the MDL is locked or built.
    unsigned char* host = nullptr;
    AddressSpace* space = nullptr;  // user pages locked in this space
    uint64_t pin = 0;
    PMDL parent = nullptr;  // a partial MDL's source
};

struct MdlTable {
    std::mutex m;
    std::unordered_map<PMDL, MdlTrack> live;
    // Freed MDLs stay allocated (poisoned) for a while, so a late use is recognised as such
    // rather than meeting a new MDL at the same address.
    std::unordered_set<PMDL> freed;
    std::deque<PMDL> quarantine;
    uint64_t nextSeq = 1;
};
constexpr size_t kQuarantine = 4096;
MdlTable& T() {
    static auto* t = new MdlTable();  // never destroyed: threads may outlive static teardown
    return *t;
}

// The i686 sizes Windows' limits are computed with, whatever the host's pointer width.
constexpr size_t kI686MdlSize = 28;
constexpr size_t kI686PfnSize = 4;
constexpr CSHORT kFreshMask = MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA;

[[noreturn]] void MdlViolation(const char* rule, const std::string& msg) {
    BugCheck(kBugDriverVerifierViolation, rule, msg);
}

std::string Range(uintptr_t va, size_t len) { return "[" + Hex(va) + ", " + Hex(va + len) + ")"; }

// MmGetMdlVirtualAddress in integers: a caller's buffer in page 0 has a null StartVa, to which
// the macro's pointer arithmetic may not add the offset.
uintptr_t VaOf(PMDL m) { return reinterpret_cast<uintptr_t>(m->StartVa) + m->ByteOffset; }

size_t SpanPages(uintptr_t va, size_t len) { return ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, len); }

void RequireIrql(KIRQL max, const char* api) {
    if (KeGetCurrentIrql() > max) {
        BugCheck(kBugIrqlNotLessOrEqual, "MdlCallIrql",
                 std::string(api) + " at IRQL " + std::to_string(KeGetCurrentIrql()) + " (allowed up to " +
                     std::to_string(max) + ")");
    }
}

// The record of an MDL an Mm routine is given; a driver-initialised MDL (MmInitializeMdl over
// its own memory) is adopted. Caller holds T().m.
MdlTrack& Adopt(PMDL mdl, const char* api) {
    MdlTable& t = T();
    auto it = t.live.find(mdl);
    if (it != t.live.end()) return it->second;
    if (t.freed.count(mdl) != 0) {
        MdlViolation("MdlUsedAfterFree", std::string(api) + " on MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                             ", which IoFreeMdl already freed");
    }
    MdlTrack& r = t.live[mdl];
    r.capacityPages = SpanPages(VaOf(mdl), mdl->ByteCount);
    return r;
}

// A known MDL for routines that need one prepared by an earlier call. Caller holds T().m.
MdlTrack& Known(PMDL mdl, const char* api, const char* ruleIfUnknown) {
    MdlTable& t = T();
    auto it = t.live.find(mdl);
    if (it != t.live.end()) return it->second;
    if (t.freed.count(mdl) != 0) {
        MdlViolation("MdlUsedAfterFree", std::string(api) + " on MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                             ", which IoFreeMdl already freed");
    }
    MdlViolation(ruleIfUnknown, std::string(api) + " on MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                    ", which was never locked, built or made partial");
}

void FillPfns(PMDL mdl, uintptr_t hostOrUser) {
    auto* pfn = reinterpret_cast<PPFN_NUMBER>(mdl + 1);
    size_t pages = SpanPages(VaOf(mdl), mdl->ByteCount);
    for (size_t i = 0; i < pages; ++i) pfn[i] = static_cast<PFN_NUMBER>((hostOrUser >> PAGE_SHIFT) + i);
}

// A kernel range that starts inside a pool block must end inside it.
void CheckPoolBounds(uintptr_t va, size_t len, const char* api) {
    std::string problem;
    {
        std::lock_guard<std::mutex> g(TableLock());
        for (auto& [p, b] : W().pool) {
            auto start = reinterpret_cast<uintptr_t>(p);
            if (va >= start && va < start + b.size && len > start + b.size - va) {
                problem = std::string(api) + " on " + Range(va, len) + ", which runs past the end of the pool block " +
                          Range(start, b.size);
            }
        }
    }
    if (!problem.empty()) MdlViolation("MdlBeyondPoolBlock", problem);
}

bool Locked(PMDL m) { return (m->MdlFlags & MDL_PAGES_LOCKED) != 0; }

// The host address of the first described byte of a prepared MDL (locked, built or partial of
// such), or nullptr when it is none of these. Caller holds T().m.
unsigned char* HostOf(PMDL mdl, const MdlTrack& r) {
    if (r.parent == nullptr) return (Locked(mdl) || (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) ? r.host : nullptr;
    auto it = T().live.find(r.parent);
    if (it == T().live.end()) return nullptr;
    unsigned char* base = HostOf(r.parent, it->second);
    return base == nullptr ? nullptr : base + (VaOf(mdl) - VaOf(r.parent));
}

PMDL NewMdl(PVOID va, ULONG length, bool ioManager, const void* site) {
    size_t pages = SpanPages(reinterpret_cast<uintptr_t>(va), length);
    auto mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL) + pages * sizeof(PFN_NUMBER)));
    MmInitializeMdl(mdl, va, length);
    if (pages <= 23) mdl->MdlFlags |= MDL_ALLOCATED_FIXED_SIZE;
    MdlTable& t = T();
    std::lock_guard<std::mutex> g(t.m);
    MdlTrack& r = t.live[mdl];
    r = MdlTrack{};
    r.allocated = true;
    r.ioManager = ioManager;
    r.site = site;
    r.driver = ioManager ? nullptr : CurrentDriver();
    r.capacityPages = pages;
    r.seq = t.nextSeq++;
    return mdl;
}

// Windows refuses lengths whose MDL would not fit the 16-bit Size field, and lengths of 2 GB or more.
bool TooLong(PVOID va, ULONG length) {
    size_t pages = SpanPages(reinterpret_cast<uintptr_t>(va), length);
    return (length & 0x80000000u) != 0 || kI686MdlSize + pages * kI686PfnSize > 0xFFFF;
}

void Unlock(PMDL mdl, MdlTrack& r) {
    if (r.space != nullptr) r.space->Unlock(r.pin);
    r.space = nullptr;
    r.host = nullptr;
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

void Destroy(PMDL mdl) {
    MdlTable& t = T();
    t.live.erase(mdl);
    std::memset(mdl, 0xDD, sizeof(MDL));
    t.freed.insert(mdl);
    t.quarantine.push_back(mdl);
    if (t.quarantine.size() > kQuarantine) {
        PMDL oldest = t.quarantine.front();
        t.quarantine.pop_front();
        t.freed.erase(oldest);
        std::free(oldest);
    }
}

}  // namespace

bool LockedForReadOnly(PMDL mdl) {
    std::lock_guard<std::mutex> g(T().m);
    // A partial MDL describes its source's pages: the source's lock says how they may be used.
    for (int depth = 0; mdl != nullptr && depth < 64; ++depth) {
        auto it = T().live.find(mdl);
        if (it == T().live.end() || it->second.parent == nullptr) break;
        mdl = it->second.parent;
    }
    return mdl != nullptr && (mdl->MdlFlags & MDL_PAGES_LOCKED) != 0 && (mdl->MdlFlags & MDL_WRITE_OPERATION) == 0;
}

NTSTATUS LockUserBuffer(PVOID userAddress, ULONG length, LOCK_OPERATION op, PMDL* result) {
    *result = nullptr;
    if (TooLong(userAddress, length)) return STATUS_INSUFFICIENT_RESOURCES;
    AddressSpace* space = app::CurrentAddressSpace();
    auto va = reinterpret_cast<uintptr_t>(userAddress);
    uint64_t pin = 0;
    void* host = space == nullptr ? nullptr
                                  : space->Lock(va, length,
                                                op == IoReadAccess ? AddressSpace::Access::Read
                                                                   : AddressSpace::Access::Write,
                                                &pin);
    if (host == nullptr) return STATUS_ACCESS_VIOLATION;
    PMDL mdl = NewMdl(userAddress, length, true, nullptr);
    {
        std::lock_guard<std::mutex> g(T().m);
        MdlTrack& r = T().live[mdl];
        r.host = static_cast<unsigned char*>(host);
        r.space = space;
        r.pin = pin;
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (op != IoReadAccess ? MDL_WRITE_OPERATION : 0);
    mdl->Process = reinterpret_cast<PEPROCESS>(space);
    FillPfns(mdl, va);
    *result = mdl;
    return STATUS_SUCCESS;
}

void ReleaseRequestMdls(PIRP irp) {
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        std::string problem;
        PMDL next = nullptr;
        {
            std::lock_guard<std::mutex> g(T().m);
            auto it = T().live.find(mdl);
            if (it == T().live.end()) {
                problem = T().freed.count(mdl) != 0 ? "was already freed with IoFreeMdl" : "is not an MDL";
            } else if (!it->second.allocated) {
                problem = "does not come from IoAllocateMdl, yet the I/O manager frees it with IoFreeMdl";
            } else if (!Locked(mdl)) {
                problem = "is not locked, yet the I/O manager unlocks every MDL of a completed request";
            } else {
                next = mdl->Next;
                Unlock(mdl, it->second);
                Destroy(mdl);
            }
        }
        if (!problem.empty()) {
            MdlViolation("BadMdlOnCompletedRequest", "MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                                         " on the MdlAddress chain of a completed user request " +
                                                         problem);
        }
        mdl = next;
    }
}

std::string DescribeLiveMdls() {
    std::lock_guard<std::mutex> g(T().m);
    std::string s;
    for (auto& [mdl, r] : T().live) {
        if (!r.allocated) continue;
        s += "  MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) + " describing " + Range(VaOf(mdl), mdl->ByteCount) +
             (Locked(mdl) ? ", locked" : "") +
             (r.ioManager ? ", the I/O manager's" : ", IoAllocateMdl #" + std::to_string(r.seq) + " from call site " +
                                                       Hex(reinterpret_cast<uintptr_t>(r.site))) +
             "\n";
    }
    return s;
}

void ResetMdls() {
    std::lock_guard<std::mutex> g(T().m);
    for (auto& [mdl, r] : T().live) {
        if (r.allocated) std::free(mdl);
    }
    for (PMDL mdl : T().quarantine) std::free(mdl);
    T().live.clear();
    T().freed.clear();
    T().quarantine.clear();
}

}  // namespace sim::detail

namespace sim {
size_t LiveMdlCount() {
    std::lock_guard<std::mutex> g(detail::T().m);
    size_t n = 0;
    for (auto& [mdl, r] : detail::T().live) n += r.allocated ? 1 : 0;
    return n;
}
}  // namespace sim

using namespace sim;
using namespace sim::detail;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    const void* site = __builtin_return_address(0);
    RequireIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0) {
        MdlViolation("ZeroLengthMdl", "IoAllocateMdl with a length of zero (an MDL describes at least one byte)");
    }
    if (Irp != nullptr) {
        RequireIrp(Irp, "IoAllocateMdl");
        if (SecondaryBuffer && Irp->MdlAddress == nullptr) {
            MdlViolation("SecondaryMdlWithoutPrimary",
                         "IoAllocateMdl(SecondaryBuffer TRUE) on an IRP that has no MdlAddress to chain it to");
        }
        if (!SecondaryBuffer && Irp->MdlAddress != nullptr) {
            MdlViolation("IrpMdlReplaced",
                         "IoAllocateMdl(SecondaryBuffer FALSE) replaces the IRP's MdlAddress " +
                             Hex(reinterpret_cast<uintptr_t>(Irp->MdlAddress)) +
                             ", which is then never unlocked or freed");
        }
    }
    if (TooLong(VirtualAddress, Length)) return nullptr;
    if (faults::ShouldFail(FaultKind::AllocateMdl, site)) return nullptr;
    PMDL mdl = NewMdl(VirtualAddress, Length, false, site);
    if (Irp != nullptr) {
        if (SecondaryBuffer) {
            PMDL p = Irp->MdlAddress;
            while (p->Next != nullptr) p = p->Next;
            p->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    RequireIrql(DISPATCH_LEVEL, "IoFreeMdl");
    const char* rule = nullptr;
    std::string msg;
    {
        std::lock_guard<std::mutex> g(T().m);
        auto it = T().live.find(Mdl);
        std::string which = "IoFreeMdl of MDL " + Hex(reinterpret_cast<uintptr_t>(Mdl));
        if (it == T().live.end() || !it->second.allocated) {
            bool twice = T().freed.count(Mdl) != 0;
            rule = twice ? "MdlDoubleFree" : "FreeForeignMdl";
            msg = which + (twice ? ", which was already freed" : ", which IoAllocateMdl did not allocate");
        } else if (Locked(Mdl)) {
            rule = "FreeLockedMdl";
            msg = which + ", whose pages are still locked (MmUnlockPages first)";
        } else {
            Destroy(Mdl);
        }
    }
    if (rule != nullptr) MdlViolation(rule, msg);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    RequireIrql(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    uintptr_t va = VaOf(mdl);
    {
        std::lock_guard<std::mutex> g(T().m);
        Adopt(mdl, "MmBuildMdlForNonPagedPool");
        if (mdl->MdlFlags & kFreshMask) {
            MdlViolation("MdlNotFresh", "MmBuildMdlForNonPagedPool on an MDL that is already locked, built, mapped or "
                                        "partial (flags " + Hex(static_cast<uint16_t>(mdl->MdlFlags)) + ")");
        }
    }
    if (app::IsUserAddress(reinterpret_cast<void*>(va)) ||
        app::IsUserAddress(reinterpret_cast<void*>(va + (mdl->ByteCount ? mdl->ByteCount - 1 : 0)))) {
        MdlViolation("BuildMdlForUserBuffer", "MmBuildMdlForNonPagedPool on the user range " + Range(va, mdl->ByteCount) +
                                                  ": only nonpaged system memory can be described this way");
    }
    CheckPoolBounds(va, mdl->ByteCount, "MmBuildMdlForNonPagedPool");
    std::lock_guard<std::mutex> g(T().m);
    MdlTrack& r = Adopt(mdl, "MmBuildMdlForNonPagedPool");
    r.host = reinterpret_cast<unsigned char*>(va);
    r.parent = nullptr;
    mdl->MappedSystemVa = reinterpret_cast<PVOID>(va);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->Process = nullptr;
    FillPfns(mdl, va);
}

// The checks of MmProbeAndLockPages. Returns false when the range is not valid for the access
// in AccessMode, which Windows answers by raising STATUS_ACCESS_VIOLATION; otherwise pins a user
// range and sets *host, *space and *pin.
static bool ProbeRange(PMDL mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation, unsigned char** host,
                       AddressSpace** space, uint64_t* pin) {
    uintptr_t va = VaOf(mdl);
    size_t len = mdl->ByteCount;
    {
        std::lock_guard<std::mutex> g(T().m);
        Adopt(mdl, "MmProbeAndLockPages");
        if (mdl->MdlFlags & kFreshMask) {
            MdlViolation("MdlNotFresh", "MmProbeAndLockPages on an MDL that is already locked, built, mapped or partial "
                                        "(flags " + Hex(static_cast<uint16_t>(mdl->MdlFlags)) + ")");
        }
    }
    *space = app::AddressSpaceContaining(va);
    if (*space == nullptr && len != 0) *space = app::AddressSpaceContaining(va + len - 1);
    auto access = Operation == IoReadAccess ? AddressSpace::Access::Read : AddressSpace::Access::Write;
    const std::string what = "MmProbeAndLockPages on " + Range(va, len);
    if (*space != nullptr) {
        RequireIrql(APC_LEVEL, "MmProbeAndLockPages of user memory");
        if (AccessMode == KernelMode) {
            MdlViolation("KernelProbeOfUserAddress",
                         what + " with AccessMode KernelMode: a user buffer must be probed in the requestor's mode "
                                "(UserMode), or the caller could pass a kernel address as its own");
        }
        if (app::CurrentAddressSpace() != *space) {
            MdlViolation("UserAddressOutsideProcess",
                         what + ", a user range of a process this thread is not running in (a system thread, a DPC "
                                "or another process): user addresses are valid only in their own process's context");
        }
        *host = static_cast<unsigned char*>((*space)->Lock(va, len, access, pin));
        return *host != nullptr;
    }
    RequireIrql(DISPATCH_LEVEL, "MmProbeAndLockPages");
    // A kernel address is never valid user memory.
    if (AccessMode == UserMode) return false;
    CheckPoolBounds(va, len, "MmProbeAndLockPages");
    *host = reinterpret_cast<unsigned char*>(va);
    return true;
}

// A range that is not valid for the access raises STATUS_ACCESS_VIOLATION, as Windows does: a
// caller's exception handler gets it back, and without one the raise is a bug check
// (KMODE_EXCEPTION_NOT_HANDLED). Nothing is locked or recorded then, and the raise happens with
// no lock held and no object alive in this frame, which the handler abandons.
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    PMDL mdl = MemoryDescriptorList;
    unsigned char* host = nullptr;
    AddressSpace* space = nullptr;
    uint64_t pin = 0;
    if (!ProbeRange(mdl, AccessMode, Operation, &host, &space, &pin)) {
        sim::kernel::RaiseException(STATUS_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, __builtin_return_address(0));
    }
    std::lock_guard<std::mutex> g(T().m);
    MdlTrack& r = Adopt(mdl, "MmProbeAndLockPages");
    r.host = host;
    r.space = space;
    r.pin = pin;
    r.parent = nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (Operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
    mdl->Process = reinterpret_cast<PEPROCESS>(space);
    FillPfns(mdl, VaOf(mdl));
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    RequireIrql(DISPATCH_LEVEL, "MmUnlockPages");
    std::lock_guard<std::mutex> g(T().m);
    MdlTrack& r = Known(mdl, "MmUnlockPages", "UnlockUnlockedMdl");
    if (!Locked(mdl)) {
        MdlViolation("UnlockUnlockedMdl", "MmUnlockPages on MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                              ", whose pages are not locked");
    }
    Unlock(mdl, r);
}

PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    (void)Priority;
    const void* site = __builtin_return_address(0);
    RequireIrql(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
    bool mapped;
    {
        std::lock_guard<std::mutex> g(T().m);
        MdlTrack& r = Known(Mdl, "MmGetSystemAddressForMdlSafe", "MapUnpreparedMdl");
        if (HostOf(Mdl, r) == nullptr) {
            MdlViolation(r.parent != nullptr ? "PartialMdlOfUnlockedSource" : "MapUnpreparedMdl",
                         "MmGetSystemAddressForMdlSafe on MDL " + Hex(reinterpret_cast<uintptr_t>(Mdl)) +
                             (r.parent != nullptr ? ", a partial MDL whose source is no longer locked or built"
                                                  : ", which is neither locked nor built for nonpaged pool"));
        }
        mapped = (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0;
        if (mapped) return Mdl->MappedSystemVa;
    }
    // Mapping pages into system space needs page table entries, which can run out.
    if (faults::ShouldFail(FaultKind::MapMdl, site)) return nullptr;
    std::lock_guard<std::mutex> g(T().m);
    MdlTrack& r = Known(Mdl, "MmGetSystemAddressForMdlSafe", "MapUnpreparedMdl");
    unsigned char* host = HostOf(Mdl, r);
    Mdl->MappedSystemVa = host;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | (r.parent != nullptr ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0);
    return host;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    RequireIrql(DISPATCH_LEVEL, "IoBuildPartialMdl");
    std::lock_guard<std::mutex> g(T().m);
    MdlTrack& src = Known(SourceMdl, "IoBuildPartialMdl (source)", "PartialMdlOfUnlockedSource");
    if (HostOf(SourceMdl, src) == nullptr) {
        MdlViolation("PartialMdlOfUnlockedSource",
                     "IoBuildPartialMdl from MDL " + Hex(reinterpret_cast<uintptr_t>(SourceMdl)) +
                         ", which is neither locked nor built for nonpaged pool");
    }
    MdlTrack& dst = Adopt(TargetMdl, "IoBuildPartialMdl (target)");
    if (Locked(TargetMdl)) {
        MdlViolation("PartialMdlTargetLocked", "IoBuildPartialMdl into MDL " +
                                                   Hex(reinterpret_cast<uintptr_t>(TargetMdl)) +
                                                   ", whose own pages are still locked");
    }
    uintptr_t srcVa = VaOf(SourceMdl);
    auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    if (va < srcVa || va - srcVa > SourceMdl->ByteCount) {
        MdlViolation("PartialMdlOutOfRange", "IoBuildPartialMdl at " + Hex(va) + ", outside the source's " +
                                                 Range(srcVa, SourceMdl->ByteCount));
    }
    size_t offset = va - srcVa;
    size_t length = Length != 0 ? Length : SourceMdl->ByteCount - offset;
    if (length > SourceMdl->ByteCount - offset) {
        MdlViolation("PartialMdlOutOfRange", "IoBuildPartialMdl of " + Range(va, length) + ", beyond the source's " +
                                                 Range(srcVa, SourceMdl->ByteCount));
    }
    if (SpanPages(va, length) > dst.capacityPages) {
        MdlViolation("PartialMdlTooSmall", "IoBuildPartialMdl of " + Range(va, length) + " spans " +
                                               std::to_string(SpanPages(va, length)) + " pages, but the target MDL " +
                                               "was sized for " + std::to_string(dst.capacityPages));
    }
    TargetMdl->StartVa = PAGE_ALIGN(va);
    TargetMdl->ByteOffset = BYTE_OFFSET(va);
    TargetMdl->ByteCount = static_cast<ULONG>(length);
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags &= MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED;
    TargetMdl->MdlFlags |= SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA | MDL_IO_SPACE);
    TargetMdl->MdlFlags |= MDL_PARTIAL;
    TargetMdl->MappedSystemVa = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(SourceMdl->MappedSystemVa) + offset);
    size_t firstPage = (reinterpret_cast<uintptr_t>(PAGE_ALIGN(va)) - reinterpret_cast<uintptr_t>(SourceMdl->StartVa)) >>
                       PAGE_SHIFT;
    std::memcpy(TargetMdl + 1, reinterpret_cast<PPFN_NUMBER>(SourceMdl + 1) + firstPage,
                SpanPages(va, length) * sizeof(PFN_NUMBER));
    dst.parent = SourceMdl;
    dst.host = nullptr;
    dst.space = nullptr;
}

}  // extern "C"
