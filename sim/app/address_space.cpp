// The simulated user address space: a reserved region without access rights, buffers mapped to
// separate host memory, and a fault handler that turns a direct dereference of a user address
// into a bug check report.
#include "app/address_space.h"

#include "kernel/model.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace sim::app {
namespace {

constexpr size_t kMaxSpaces = 64;
constexpr uintptr_t kFirstHint = 0x10000000;  // 256 MB: inside a 32-bit process's user range
constexpr uintptr_t kHintLimit = 0x7FFF0000;  // the top of that range
constexpr unsigned char kFill = 0xBE;

// Regions, readable from the fault handler without locks: [begin, end) pairs, 0 when unused.
std::atomic<uintptr_t> g_regionBegin[kMaxSpaces];
std::atomic<uintptr_t> g_regionEnd[kMaxSpaces];

std::mutex& RegistryLock() {
    static std::mutex m;
    return m;
}
std::vector<AddressSpace*>& Registry() {
    static auto* spaces = new std::vector<AddressSpace*>();  // never destroyed: see World
    return *spaces;
}

thread_local AddressSpace* t_current = nullptr;

struct sigaction g_previousSegv;
struct sigaction g_previousBus;

bool InUserRegion(uintptr_t a) {
    for (size_t i = 0; i < kMaxSpaces; ++i) {
        uintptr_t b = g_regionBegin[i].load(std::memory_order_acquire);
        if (b != 0 && a >= b && a < g_regionEnd[i].load(std::memory_order_acquire)) return true;
    }
    return false;
}

void WriteHex(char* out, uintptr_t v) {
    static const char digits[] = "0123456789ABCDEF";
    char tmp[2 * sizeof(uintptr_t)];
    int n = 0;
    do {
        tmp[n++] = digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    *out++ = '0';
    *out++ = 'x';
    while (n > 0) *out++ = tmp[--n];
    *out = 0;
}

void Say(const char* s) {
    ssize_t ignored = write(STDERR_FILENO, s, std::strlen(s));
    (void)ignored;
}

// Runs in the faulting thread. Async-signal-safe: fixed buffers and write(2) only.
void OnFault(int sig, siginfo_t* info, void* context) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (InUserRegion(address)) {
        char hex[2 + 2 * sizeof(uintptr_t) + 1];
        WriteHex(hex, address);
        Say("\n*** BUGCHECK 0x50 UserAddressDereferenced\n    code dereferenced the user address ");
        Say(hex);
        Say(" directly. A user address is not kernel memory: reach a caller's buffer through its MDL "
            "(MmGetSystemAddressForMdlSafe) or the system buffer the I/O manager built\n");
        signal(SIGABRT, SIG_DFL);
        abort();
    }
    const struct sigaction& prev = sig == SIGSEGV ? g_previousSegv : g_previousBus;
    if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
        prev.sa_sigaction(sig, info, context);
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
        prev.sa_handler(sig);
    } else {
        // Let the fault happen again with the default action.
        sigaction(sig, &prev, nullptr);
    }
}

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = OnFault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &g_previousSegv);
        sigaction(SIGBUS, &sa, &g_previousBus);
    });
}

void* Reserve(size_t bytes) {
#ifdef MAP_FIXED_NOREPLACE
    const size_t step = (bytes + 0xFFFFF) & ~size_t{0xFFFFF};
    for (uintptr_t hint = kFirstHint; hint + bytes <= kHintLimit && hint >= kFirstHint; hint += step) {
        void* p = mmap(reinterpret_cast<void*>(hint), bytes, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == MAP_FAILED) continue;
        if (p == reinterpret_cast<void*>(hint)) return p;
        munmap(p, bytes);  // an old kernel took the flag as a hint only
        break;
    }
#endif
    void* p = mmap(reinterpret_cast<void*>(kFirstHint), bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

[[noreturn]] void ModelLimit(const char* what) {
    std::fprintf(stderr, "\n*** model limit: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

AddressSpace::AddressSpace(size_t reserveBytes) {
    InstallFaultHandler();
    size_ = (std::max(reserveBytes, 4 * kPageSize) + kPageSize - 1) & ~(kPageSize - 1);
    void* p = Reserve(size_);
    if (p == nullptr) ModelLimit("could not reserve a user address space");
    base_ = reinterpret_cast<uintptr_t>(p);
    next_ = base_ + kPageSize;  // the first page stays unallocated, as page zero is on Windows
    std::lock_guard<std::mutex> g(RegistryLock());
    size_t i = 0;
    while (i < kMaxSpaces && g_regionBegin[i].load() != 0) ++i;
    if (i == kMaxSpaces) ModelLimit("more than 64 simulated processes at once");
    g_regionEnd[i].store(base_ + size_, std::memory_order_release);
    g_regionBegin[i].store(base_, std::memory_order_release);
    Registry().push_back(this);
}

AddressSpace::~AddressSpace() {
    size_t locked = LockedBuffers();
    if (locked != 0) {
        BugCheck(0x76, "ProcessHasLockedPages",
                 "a process ended while MDLs still held " + std::to_string(locked) +
                     " of its buffers locked (MmProbeAndLockPages without MmUnlockPages)");
    }
    {
        std::lock_guard<std::mutex> g(RegistryLock());
        auto& r = Registry();
        r.erase(std::remove(r.begin(), r.end(), this), r.end());
        for (size_t i = 0; i < kMaxSpaces; ++i) {
            if (g_regionBegin[i].load() == base_) {
                g_regionBegin[i].store(0, std::memory_order_release);
                g_regionEnd[i].store(0, std::memory_order_release);
            }
        }
    }
    munmap(reinterpret_cast<void*>(base_), size_);
}

uintptr_t AddressSpace::TakePages(size_t pages) {
    if (next_ + pages * kPageSize <= base_ + size_) {
        uintptr_t slot = next_;
        next_ += pages * kPageSize;
        return slot;
    }
    for (auto it = freeRuns_.begin(); it != freeRuns_.end(); ++it) {
        if (it->second < pages) continue;
        uintptr_t slot = it->first;
        size_t left = it->second - pages;
        freeRuns_.erase(it);
        if (left != 0) freeRuns_[slot + pages * kPageSize] = left;
        return slot;
    }
    ModelLimit("the simulated user address space is exhausted");
}

void AddressSpace::ReturnPages(uintptr_t slot, size_t pages) {
    auto it = freeRuns_.emplace(slot, pages).first;
    auto next = std::next(it);
    if (next != freeRuns_.end() && it->first + it->second * kPageSize == next->first) {
        it->second += next->second;
        freeRuns_.erase(next);
    }
    if (it != freeRuns_.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second * kPageSize == it->first) {
            prev->second += it->second;
            freeRuns_.erase(it);
        }
    }
}

uintptr_t AddressSpace::Allocate(size_t bytes, size_t pageOffset, bool readOnly) {
    pageOffset &= kPageSize - 1;
    size_t pages = (pageOffset + bytes + kPageSize - 1) / kPageSize;
    if (pages == 0) pages = 1;
    ++pages;  // guard page
    auto* host = static_cast<unsigned char*>(std::malloc(bytes));
    if (host == nullptr && bytes != 0) ModelLimit("no host memory for a user buffer");
    if (bytes != 0) std::memset(host, kFill, bytes);
    std::lock_guard<std::mutex> g(m_);
    Buffer b;
    b.slot = TakePages(pages);
    b.start = b.slot + pageOffset;
    b.bytes = bytes;
    b.pages = pages;
    b.backing.reset(host);
    b.readOnly = readOnly;
    b.id = nextId_++;
    uintptr_t start = b.start;
    buffers_.emplace(start, std::move(b));
    return start;
}

void AddressSpace::Release(std::map<uintptr_t, Buffer>::iterator it) {
    ReturnPages(it->second.slot, it->second.pages);
    buffers_.erase(it);
}

void AddressSpace::Free(uintptr_t address) {
    std::lock_guard<std::mutex> g(m_);
    auto it = buffers_.find(address);
    if (it == buffers_.end() || it->second.freed) {
        ModelLimit("Free of an address that does not start a live user buffer");
    }
    it->second.freed = true;
    if (it->second.locks == 0) Release(it);
}

const AddressSpace::Buffer* AddressSpace::Find(uintptr_t address, size_t length, Access access) const {
    auto it = buffers_.upper_bound(address);
    if (it == buffers_.begin()) return nullptr;
    const Buffer& b = std::prev(it)->second;
    if (b.freed || (access == Access::Write && b.readOnly)) return nullptr;
    if (address - b.start > b.bytes || length > b.bytes - (address - b.start)) return nullptr;
    return &b;
}

void* AddressSpace::Translate(uintptr_t address, size_t length, Access access) const {
    std::lock_guard<std::mutex> g(m_);
    const Buffer* b = Find(address, length, access);
    return b == nullptr ? nullptr : b->backing.get() + (address - b->start);
}

bool AddressSpace::CopyIn(uintptr_t address, const void* source, size_t length) {
    void* host = Translate(address, length, Access::Write);
    if (host == nullptr) return false;
    if (length != 0) std::memcpy(host, source, length);
    return true;
}

bool AddressSpace::CopyOut(void* destination, uintptr_t address, size_t length) const {
    const void* host = Translate(address, length, Access::Read);
    if (host == nullptr) return false;
    if (length != 0) std::memcpy(destination, host, length);
    return true;
}

void* AddressSpace::Lock(uintptr_t address, size_t length, Access access, uint64_t* pin) {
    std::lock_guard<std::mutex> g(m_);
    const Buffer* found = Find(address, length, access);
    if (found == nullptr) return nullptr;
    Buffer& b = buffers_.find(found->start)->second;
    ++b.locks;
    *pin = b.start;
    return b.backing.get() + (address - b.start);
}

void AddressSpace::Unlock(uint64_t pin) {
    std::lock_guard<std::mutex> g(m_);
    auto it = buffers_.find(static_cast<uintptr_t>(pin));
    if (it == buffers_.end() || it->second.locks == 0) ModelLimit("Unlock of a user buffer that is not locked");
    if (--it->second.locks == 0 && it->second.freed) Release(it);
}

size_t AddressSpace::LockedBuffers() const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (auto& [start, b] : buffers_) {
        if (b.locks != 0) ++n;
    }
    return n;
}

AddressSpace* AddressSpaceContaining(uintptr_t address) {
    std::lock_guard<std::mutex> g(RegistryLock());
    for (AddressSpace* s : Registry()) {
        if (s->Contains(address)) return s;
    }
    return nullptr;
}

AddressSpace* CurrentAddressSpace() { return t_current; }

ProcessContext::ProcessContext(AddressSpace* space) : previous_(t_current) { t_current = space; }

ProcessContext::~ProcessContext() { t_current = previous_; }

}  // namespace sim::app
