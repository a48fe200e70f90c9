// Per-thread FS segments for image code (see tib_segment.h). The descriptor table is the
// process's; each thread takes one free entry and gives it back when it ends.
#include "loader/tib_segment.h"

#include <asm/ldt.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

// The model's per-thread record (sim/kernel/exception.cpp): the model's exception dispatch and
// the image's FS:[0] see one list.
struct _NT_TIB;
namespace sim::kernel {
_NT_TIB* CurrentTib();
}

namespace sim::loader {

namespace {

constexpr int kEntries = 8192;  // descriptor table entries a process may use
constexpr int kFirst = 16;      // leave the lowest ones to anything else that uses the table

std::mutex g_lock;
bool g_used[kEntries];
struct sigaction g_previous;

struct ThreadSegment {
    int entry = -1;
    ~ThreadSegment() {
        if (entry < 0) return;
        std::lock_guard<std::mutex> g(g_lock);
        g_used[entry] = false;
    }
};
thread_local ThreadSegment t_segment;

int TakeEntry() {
    std::lock_guard<std::mutex> g(g_lock);
    for (int i = kFirst; i < kEntries; ++i) {
        if (!g_used[i]) {
            g_used[i] = true;
            return i;
        }
    }
    return -1;
}

// Writes the thread's descriptor (base: its record) and returns the selector, 0 on failure.
uint16_t ThreadSelector() {
    if (t_segment.entry < 0) t_segment.entry = TakeEntry();
    if (t_segment.entry < 0) return 0;
    user_desc d{};
    d.entry_number = static_cast<unsigned>(t_segment.entry);
    d.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(ThreadTib()));
    d.limit = 0xFFF;  // the record and what follows it in the processor control region
    d.seg_32bit = 1;
    d.useable = 1;
    if (syscall(SYS_modify_ldt, 1, &d, sizeof d) != 0) return 0;
    return static_cast<uint16_t>((t_segment.entry << 3) | 4 | 3);  // table: local; privilege 3
}

// Whether the instruction at `ip` addresses memory through FS (an FS override among its prefixes).
bool UsesFs(const uint8_t* ip) {
    for (int i = 0; i < 4; ++i) {
        switch (ip[i]) {
            case 0x64: return true;
            case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x65: case 0x66: case 0x67:
            case 0xF0: case 0xF2: case 0xF3: continue;
            default: return false;
        }
    }
    return false;
}

void OnFault(int sig, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t& fs = uc->uc_mcontext.gregs[REG_FS];
    const auto* ip = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.gregs[REG_EIP]);
    if ((fs & 0xFFFF) == 0 && UsesFs(ip)) {
        uint16_t selector = ThreadSelector();
        if (selector != 0) {
            fs = selector;  // loaded on return from the handler; the instruction runs again
            return;
        }
    }
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction != nullptr) return g_previous.sa_sigaction(sig, info, context);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        return g_previous.sa_handler(sig);
    }
    signal(sig, SIG_DFL);  // fault again, unhandled: the process ends with the fault
}

}  // namespace

void* ThreadTib() {
    return sim::kernel::CurrentTib();
}

void GiveThreadItsSegment() {
    uint16_t selector = ThreadSelector();
    __asm__ volatile("movw %w0, %%fs" : : "r"(selector));
}

void EnableTibSegments() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = OnFault;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &g_previous);
    });
    GiveThreadItsSegment();
}

}  // namespace sim::loader

// A new thread would start with its creator's FS, which addresses the creator's record: every
// thread the process creates gets its own segment before it runs. (The process's threads are
// created through this definition, which the executable exports in place of the C library's.)
namespace {

struct Start {
    void* (*routine)(void*);
    void* argument;
};

// qemu's user-mode emulation gives a thread the process's descriptor table only if the table
// existed when the thread was created (threads copy their creator's processor state): the table
// is made before anything else runs, with an unused entry below the threads' ones. (Nothing of
// the model is called here: its static objects may not exist yet.)
[[gnu::constructor(101)]] void MakeTheDescriptorTable() {
    user_desc d{};
    d.entry_number = sim::loader::kFirst - 1;
    d.seg_32bit = 1;
    d.seg_not_present = 1;
    d.useable = 0;
    syscall(SYS_modify_ldt, 1, &d, sizeof d);
}

void* StartWithOwnFs(void* p) {
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    sim::loader::GiveThreadItsSegment();
    return start.routine(start.argument);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    auto* start = new Start{routine, argument};
    int error = real(thread, attr, StartWithOwnFs, start);
    if (error != 0) delete start;
    return error;
}
