// Structured exceptions as the i686 kernel dispatches them: each model thread's thread
// information block (NT_TIB) with its exception registration chain, the dispatch of a raised
// exception along that chain, RtlUnwind, ExRaiseStatus and the FS reads and writes that reach
// the block.
//
// A handler that takes an exception resumes in its own frame by a non-local jump (the driver
// cannot rewrite a CONTEXT the model does not have), so the frames of the dispatch below it
// are abandoned, never returned from. Hence the rules of this file: the raise path holds no
// object with a destructor and no lock, keeps its records in thread storage rather than on the
// stack, and under AddressSanitizer tells the runtime before each handler call that the stack
// below may be left without returning. ThreadSanitizer keeps the abandoned frames on its shadow
// call stack (a few entries per taken exception), which only lengthens its reports' stacks.
#include "internal.h"

#include <pthread.h>

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// The processor state passed to handlers. Drivers never look inside it on x86; the model
// passes one zeroed record per raise.
struct _CONTEXT {
    ULONG ContextFlags;
};

namespace sim {
namespace kernel {
namespace {

struct ThreadBlock {
    NT_TIB tib{};
    EXCEPTION_RECORD record{};  // the exception being dispatched or unwound on this thread
    EXCEPTION_RECORD unwind{};  // RtlUnwind's copy with the unwinding flags
    CONTEXT context{};
    bool initialised = false;
};
thread_local ThreadBlock t_block;

// The host thread's stack, as the kernel knows a thread's stack limits.
void Initialise(ThreadBlock& b) {
    b.tib.ExceptionList = EXCEPTION_CHAIN_END;
    b.tib.Self = &b.tib;
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        (void)pthread_attr_getstack(&attr, &low, &size);
        (void)pthread_attr_destroy(&attr);
    }
    b.tib.StackLimit = low;
    b.tib.StackBase = static_cast<char*>(low) + size;
    b.initialised = true;
}

// A registration record must lie inside the thread's stack, aligned, as the x86 dispatcher
// checks before it calls a handler; one that does not ends the dispatch (EXCEPTION_STACK_INVALID).
bool OnStack(const NT_TIB& tib, const void* record) {
#if defined(__SANITIZE_ADDRESS__)
    // With detect_stack_use_after_return, AddressSanitizer moves locals to a fake stack.
    void* fake = __asan_get_current_fake_stack();
    if (fake != nullptr && __asan_addr_is_in_fake_stack(fake, const_cast<void*>(record), nullptr, nullptr) != nullptr) {
        return true;
    }
#endif
    auto p = reinterpret_cast<uintptr_t>(record);
    return p % sizeof(void*) == 0 && p >= reinterpret_cast<uintptr_t>(tib.StackLimit) &&
           p + sizeof(EXCEPTION_REGISTRATION_RECORD) <= reinterpret_cast<uintptr_t>(tib.StackBase);
}

// Calls a handler. Under AddressSanitizer the stack from here up is unpoisoned first, because a
// handler that takes the exception jumps back to its own frame without returning through ours.
EXCEPTION_DISPOSITION CallHandler(PEXCEPTION_REGISTRATION_RECORD r, PEXCEPTION_RECORD record, CONTEXT* context) {
#if defined(__SANITIZE_ADDRESS__)
    __asan_handle_no_return();
#endif
    PVOID dispatcherContext = nullptr;
    return r->Handler(record, r, context, &dispatcherContext);
}

[[noreturn]] void NotHandled(const char* rule, NTSTATUS code, const char* why) {
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED, rule,
             std::string("exception ") + StatusName(code) + " " + why +
                 ": KMODE_EXCEPTION_NOT_HANDLED (a driver that probes or touches memory that may be invalid "
                 "must guard the access with an exception handler of its own)");
}

}  // namespace

NT_TIB* CurrentTib() {
    if (!t_block.initialised) Initialise(t_block);
    return &t_block.tib;
}

// Dispatches `code` raised at `address` along the calling thread's chain. Returns only into a
// handler's own frame, by its jump; every other outcome is a bug check.
[[noreturn]] void RaiseException(NTSTATUS code, ULONG flags, PVOID address) {
    NT_TIB* tib = CurrentTib();
    EXCEPTION_RECORD* record = &t_block.record;
    *record = EXCEPTION_RECORD{};
    record->ExceptionCode = code;
    record->ExceptionFlags = flags;
    record->ExceptionAddress = address;
    t_block.context = CONTEXT{};
    for (PEXCEPTION_REGISTRATION_RECORD r = tib->ExceptionList; r != EXCEPTION_CHAIN_END; r = r->Next) {
        if (r == nullptr || !OnStack(*tib, r)) {
            record->ExceptionFlags |= EXCEPTION_STACK_INVALID;
            NotHandled("ExceptionFrameNotOnStack", code,
                       "reached an exception registration record outside the thread's stack");
        }
        EXCEPTION_DISPOSITION d = CallHandler(r, record, &t_block.context);
        if (d == ExceptionContinueSearch) continue;
        if (d == ExceptionContinueExecution && (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)) {
            NotHandled("NoncontinuableException", code,
                       "is not continuable, but a handler asked to continue execution");
        }
        NotHandled("BadExceptionDisposition", code, "got a disposition the dispatcher cannot follow");
    }
    NotHandled("ExceptionNotHandled", code, "was not taken by any registered handler");
}

}  // namespace kernel
}  // namespace sim

using sim::kernel::CurrentTib;

extern "C" {

VOID NTAPI ExRaiseStatus(NTSTATUS Status) {
    sim::kernel::RaiseException(Status, EXCEPTION_NONCONTINUABLE, __builtin_return_address(0));
}

VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp, PEXCEPTION_RECORD ExceptionRecord, PVOID ReturnValue) {
    (void)TargetIp;
    (void)ReturnValue;
    NT_TIB* tib = CurrentTib();
    EXCEPTION_RECORD* record = &sim::kernel::t_block.unwind;
    *record = ExceptionRecord != nullptr ? *ExceptionRecord : EXCEPTION_RECORD{};
    record->ExceptionFlags |= EXCEPTION_UNWINDING | (TargetFrame == nullptr ? EXCEPTION_EXIT_UNWIND : 0);
    auto target = static_cast<PEXCEPTION_REGISTRATION_RECORD>(TargetFrame);
    PEXCEPTION_REGISTRATION_RECORD r = tib->ExceptionList;
    while (r != target) {
        if (r == EXCEPTION_CHAIN_END) {
            if (target == nullptr) break;
            sim::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, "InvalidUnwindTarget",
                          "RtlUnwind to a frame that is not on the thread's exception registration chain");
        }
        if (!sim::kernel::OnStack(*tib, r) || (target != nullptr && r > target)) {
            sim::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, "InvalidUnwindTarget",
                          "RtlUnwind met a registration record outside the stack or below its target");
        }
        (void)sim::kernel::CallHandler(r, record, &sim::kernel::t_block.context);
        r = r->Next;
        tib->ExceptionList = r;
    }
}

// FS reaches no further than the thread information block in the model.
static void CheckFsOffset(unsigned long Offset, const char* api) {
    if (Offset > sizeof(NT_TIB) - sizeof(unsigned long) || Offset % sizeof(unsigned long) != 0) {
        sim::BugCheck(sim::kBugDriverVerifierViolation, "FsOffsetOutsideTib",
                      std::string(api) + " at offset " + sim::detail::Hex(Offset) +
                          ", which is not a field of the thread information block");
    }
}

unsigned long __readfsdword(unsigned long Offset) {
    CheckFsOffset(Offset, "__readfsdword");
    unsigned long value;
    std::memcpy(&value, reinterpret_cast<const char*>(CurrentTib()) + Offset, sizeof value);
    return value;
}

void __writefsdword(unsigned long Offset, unsigned long Data) {
    CheckFsOffset(Offset, "__writefsdword");
    std::memcpy(reinterpret_cast<char*>(CurrentTib()) + Offset, &Data, sizeof Data);
}

}  // extern "C"
