// The verifier's record of freed pool stays right when the host allocator hands addresses out
// again, as it does at once in an uninstrumented build: freed pool must not be mistaken for
// memory placed at its address later. Under AddressSanitizer freed memory is kept back anyway,
// so the fault shows only in the uninstrumented (32-bit) leg; under AddressSanitizer the test
// checks instead that a use of freed pool is still reported.
#include "kernel/model.h"

#include <gtest/gtest.h>

#include <wdm.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

TEST(AddressReuseTest, FreedPoolIsNotHandedOutWhileTheVerifierRemembersIt) {
    sim::ResetWorld();
    PVOID freed = ExAllocatePoolWithTag(NonPagedPool, 48, kTag);
    ExFreePoolWithTag(freed, kTag);
    std::vector<void*> later;
    for (int i = 0; i < 8; ++i) later.push_back(std::malloc(48));
    for (void* p : later) EXPECT_NE(freed, p);
    for (void* p : later) std::free(p);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_DEATH((void)*static_cast<volatile char*>(freed), "use-after-poison");
#endif
    sim::EndScenario();
}

}  // namespace
