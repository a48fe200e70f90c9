// Pool with tags, tracked per block: who allocated it (call site, driver, device) and whether
// it was freed. Blocks come from malloc so AddressSanitizer sees overruns and use after free;
// new blocks are filled with a pattern because Windows pool is not zeroed.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KWSIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KWSIM_ASAN 1
#endif
#ifdef KWSIM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim::detail {
namespace {
std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site, FaultKind kind) {
    if (bytes == 0) {
        BugCheck(kBugDriverVerifierViolation, "ZeroSizedAllocation", "a pool allocation of zero bytes");
    }
    const bool paged = (type & 1) != 0;  // PagedPool and its variants are the odd types
    RequireIrql(paged ? "ExAllocatePoolWithTag(PagedPool)" : "ExAllocatePoolWithTag");
    if (faults::ShouldFail(kind, site)) return nullptr;
    void* p = std::malloc(bytes);
    if (p == nullptr) return nullptr;
    std::memset(p, 0xA5, bytes);
    std::lock_guard<std::mutex> g(TableLock());
    World& w = W();
    w.freedPool.erase(p);
    PoolBlock b;
    b.size = bytes;
    b.paged = paged;
    b.tag = tag;
    b.site = site;
    b.driver = CurrentDriver();
    b.device = CurrentDevice();
    b.seq = w.nextPoolSeq++;
    w.pool[p] = b;
    ++w.summary.poolAllocations;
    return p;
}

// Freed blocks kept back from the host allocator (see World::poolQuarantine). Under
// AddressSanitizer they are poisoned meanwhile, so a use after free is still reported at once.
constexpr size_t kPoolQuarantine = 1024;

void Quarantine(void* p, size_t bytes) {
#ifdef KWSIM_ASAN
    __asan_poison_memory_region(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

void Free(PVOID p, ULONG tag, bool checkTag) {
    if (p == nullptr) {
        BugCheck(kBugBadPoolCaller, "FreeNullPool", "ExFreePool of a NULL pointer");
    }
    const char* rule = nullptr;
    std::string msg;
    std::pair<void*, size_t> release{nullptr, 0};
    {
        std::lock_guard<std::mutex> g(TableLock());
        World& w = W();
        auto it = w.pool.find(p);
        if (it == w.pool.end()) {
            bool twice = w.freedPool.count(p) != 0;
            rule = twice ? "DoubleFree" : "FreeForeignPointer";
            msg = "pool block " + Hex(reinterpret_cast<uintptr_t>(p)) +
                  (twice ? " freed twice" : " is not the start of a live pool block");
        } else if (KeGetCurrentIrql() > (it->second.paged ? APC_LEVEL : DISPATCH_LEVEL)) {
            rule = "IrqlTooHigh";
            msg = std::string(it->second.paged ? "paged" : "nonpaged") + " pool freed at IRQL " +
                  std::to_string(KeGetCurrentIrql());
        } else if (checkTag && it->second.tag != tag) {
            rule = "FreeWithWrongTag";
            msg = "block " + Hex(reinterpret_cast<uintptr_t>(p)) + " has tag '" + TagText(it->second.tag) +
                  "' but was freed with tag '" + TagText(tag) + "'";
        } else {
            std::memset(p, 0xDF, it->second.size);
            Quarantine(p, it->second.size);
            w.poolQuarantine.emplace_back(p, it->second.size);
            w.pool.erase(it);
            w.freedPool.insert(p);
            if (w.poolQuarantine.size() > kPoolQuarantine) {
                release = w.poolQuarantine.front();
                w.poolQuarantine.pop_front();
                w.freedPool.erase(release.first);
            }
            ++w.summary.poolFrees;
        }
    }
    if (rule != nullptr) BugCheck(std::string_view(rule) == "IrqlTooHigh" ? kBugIrqlNotLessOrEqual : kBugBadPoolCaller, rule, msg);
    ReleaseQuarantined(release.first, release.second);
}
}  // namespace

void ReleaseQuarantined(void* p, size_t bytes) {
    if (p == nullptr) return;
#ifdef KWSIM_ASAN
    __asan_unpoison_memory_region(p, bytes);
#else
    (void)bytes;
#endif
    std::free(p);
}

PVOID AllocateTracked(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site, FaultKind kind) {
    return Allocate(type, bytes, tag, site, kind);
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), FaultKind::Pool);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, __builtin_return_address(0),
                    FaultKind::Pool);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag, true); }

VOID NTAPI ExFreePool(PVOID P) { Free(P, 0, false); }

// What PAGED_CODE() expands to in the model: code in a pageable section runs at most at
// APC_LEVEL.
VOID NTAPI KwsimPagedCode(VOID) { RequireIrql("PAGED_CODE"); }

}  // extern "C"
