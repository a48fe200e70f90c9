// What the i686 kernel does with a raised exception: the thread information block reached
// through FS, dispatch along the registration chain, RtlUnwind, and the bug check when nothing
// takes it. Handlers here resume their frame as a driver's guard does, by a non-local jump.
#include "test_stack.h"

#include "app/app.h"

#include <thread>

using namespace simtest;

namespace {

class ExceptionTest : public ModelTest {};

// A registration record with what its handler records and where it resumes.
struct Guard {
    EXCEPTION_REGISTRATION_RECORD reg;
    void* resume[5];
    bool take;              // take exceptions (else continue the search)
    ULONG* seenFlags;       // receives the flags of each call
    NTSTATUS seenCode = 0;
};

PEXCEPTION_REGISTRATION_RECORD Head() {
    return reinterpret_cast<PEXCEPTION_REGISTRATION_RECORD>(__readfsdword(FIELD_OFFSET(NT_TIB, ExceptionList)));
}
void SetHead(PEXCEPTION_REGISTRATION_RECORD r) {
    __writefsdword(FIELD_OFFSET(NT_TIB, ExceptionList), reinterpret_cast<unsigned long>(r));
}

EXCEPTION_DISPOSITION __cdecl Handler(PEXCEPTION_RECORD record, PVOID frame, PCONTEXT, PVOID) {
    Guard* volatile g = static_cast<Guard*>(frame);
    *g->seenFlags = record->ExceptionFlags;
    g->seenCode = record->ExceptionCode;
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) || !g->take) return ExceptionContinueSearch;
    RtlUnwind(g, nullptr, record, nullptr);
    __builtin_longjmp(g->resume, 1);
}

EXCEPTION_DISPOSITION __cdecl ContinueHandler(PEXCEPTION_RECORD, PVOID, PCONTEXT, PVOID) {
    return ExceptionContinueExecution;
}

// Registers a searching record in a frame below the taker's, as nested code would, and raises.
__attribute__((noinline)) void RaiseUnderSearchingFrame(void (*raise)(), ULONG* innerFlags) {
    Guard inner{};
    inner.reg = {Head(), Handler};
    inner.take = false;
    inner.seenFlags = innerFlags;
    SetHead(&inner.reg);
    raise();
    SetHead(inner.reg.Next);
}

// Runs `raise` under a taking record; true when it took the exception and resumed here.
__attribute__((noinline)) bool RunGuarded(Guard* outer, void (*raise)(), ULONG* innerFlags) {
    outer->take = true;
    outer->reg = {Head(), Handler};
    if (__builtin_setjmp(outer->resume) == 0) {
        SetHead(&outer->reg);
        RaiseUnderSearchingFrame(raise, innerFlags);
        SetHead(outer->reg.Next);
        return false;
    }
    SetHead(outer->reg.Next);
    return true;
}

TEST_F(ExceptionTest, ThreadInformationBlockIsPerThreadAndReachedThroughFs) {
    NT_TIB* tib = sim::kernel::CurrentTib();
    EXPECT_EQ(tib, tib->Self);
    EXPECT_EQ(EXCEPTION_CHAIN_END, tib->ExceptionList);
    EXPECT_EQ(reinterpret_cast<unsigned long>(tib), __readfsdword(FIELD_OFFSET(NT_TIB, Self)));
    int local = 0;
    EXPECT_TRUE(&local > static_cast<void*>(tib->StackLimit) && &local < static_cast<void*>(tib->StackBase));
    NT_TIB* other = nullptr;
    std::thread([&] { other = sim::kernel::CurrentTib(); }).join();
    EXPECT_NE(tib, other);
}

// The raise reaches the inner handler first, which searches on; the outer one takes it, and its
// unwind calls the inner one again with EXCEPTION_UNWINDING before the outer record is the head.
TEST_F(ExceptionTest, RaiseDispatchesAlongTheChainAndUnwindsToTheTakingFrame) {
    ULONG outerFlags = 0, innerFlags = 0;
    Guard outer{};
    outer.seenFlags = &outerFlags;
    ASSERT_TRUE(RunGuarded(&outer, [] { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }, &innerFlags));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, outer.seenCode);
    EXPECT_EQ(ULONG{EXCEPTION_NONCONTINUABLE}, outerFlags);
    EXPECT_EQ(ULONG{EXCEPTION_NONCONTINUABLE | EXCEPTION_UNWINDING}, innerFlags);
    EXPECT_EQ(EXCEPTION_CHAIN_END, Head());
}

// A probe of a range that is not valid user memory raises STATUS_ACCESS_VIOLATION and locks
// nothing, so the caller's handler can free the MDL.
TEST_F(ExceptionTest, ProbeOfInvalidUserRangeRaisesAccessViolation) {
    static PMDL mdl;
    sim::app::Process p;
    PVOID u = p.Alloc(16);
    mdl = IoAllocateMdl(u, 17, FALSE, FALSE, nullptr);
    ULONG outerFlags = 0, innerFlags = 0;
    Guard outer{};
    outer.seenFlags = &outerFlags;
    {
        sim::app::ProcessContext context(&p.Memory());
        ASSERT_TRUE(RunGuarded(&outer, [] { MmProbeAndLockPages(mdl, UserMode, IoReadAccess); }, &innerFlags));
    }
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, outer.seenCode);
    EXPECT_EQ(0u, p.Memory().LockedBuffers());
    IoFreeMdl(mdl);  // a locked MDL could not be freed
}

TEST_F(ExceptionTest, ExceptionsNoHandlerTakesAreBugChecks) {
    const std::pair<const char*, void (*)()> cases[] = {
        {"ExceptionNotHandled", [] { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }},
        {"ExceptionFrameNotOnStack", [] {
             static EXCEPTION_REGISTRATION_RECORD r{EXCEPTION_CHAIN_END, ContinueHandler};
             SetHead(&r);
             ExRaiseStatus(STATUS_ACCESS_VIOLATION);
         }},
        {"NoncontinuableException", [] {
             EXCEPTION_REGISTRATION_RECORD r{Head(), ContinueHandler};
             SetHead(&r);
             ExRaiseStatus(STATUS_ACCESS_VIOLATION);
         }},
        {"InvalidUnwindTarget", [] {
             EXCEPTION_REGISTRATION_RECORD r{EXCEPTION_CHAIN_END, ContinueHandler};
             RtlUnwind(&r, nullptr, nullptr, nullptr);
         }},
    };
    for (const auto& [rule, breakIt] : cases) EXPECT_DEATH(breakIt(), std::string("BUGCHECK 0x1E ") + rule);
}

}  // namespace
