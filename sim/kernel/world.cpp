// The model's global state, bug checks, the watchdog and scenario boundaries.
#include "internal.h"
#include "power.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {
namespace detail {

std::mutex& TableLock() {
    static std::mutex m;
    return m;
}

World& W() {
    static World* w = new World();  // never destroyed: threads may outlive static teardown
    return *w;
}

std::vector<Frame*>& Frames() {
    thread_local std::vector<Frame*> frames;
    return frames;
}

PDRIVER_OBJECT CurrentDriver() {
    auto& f = Frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if ((*it)->driver != nullptr) return (*it)->driver;
    }
    return nullptr;
}

PDEVICE_OBJECT CurrentDevice() {
    auto& f = Frames();
    for (auto it = f.rbegin(); it != f.rend(); ++it) {
        if ((*it)->device != nullptr) return (*it)->device;
    }
    return nullptr;
}

std::string Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

void WaitWithWatchdog(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                      const std::function<bool()>& ready, const char* what) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WatchdogMilliseconds());
    while (!ready()) {
        if (cv.wait_until(lock, deadline) == std::cv_status::timeout && !ready()) {
            lock.unlock();
            BugCheck(kBugWatchdog, "Watchdog",
                     std::string("a wait did not end within ") + std::to_string(WatchdogMilliseconds()) +
                         " ms: " + what + "\n" + DescribeInFlight());
        }
    }
}

}  // namespace detail

using namespace detail;

namespace {
std::mutex g_handlerLock;
std::function<void(const BugCheckReport&)> g_handler;
std::atomic<uint32_t> g_watchdogMs{0};
}  // namespace

void SetBugCheckHandler(std::function<void(const BugCheckReport&)> handler) {
    std::lock_guard<std::mutex> g(g_handlerLock);
    g_handler = std::move(handler);
}

[[noreturn]] void BugCheck(ULONG code, const char* rule, const std::string& message) {
    BugCheckReport r{code, rule, message};
    std::fflush(nullptr);  // what the run printed so far comes before the report
    std::fprintf(stderr, "\n*** BUGCHECK %s %s\n    %s\n", Hex(code).c_str(), rule, message.c_str());
    std::fflush(stderr);
    std::function<void(const BugCheckReport&)> h;
    {
        std::lock_guard<std::mutex> g(g_handlerLock);
        h = g_handler;
    }
    if (h) h(r);
    std::abort();
}

void SetWatchdogMilliseconds(uint32_t ms) { g_watchdogMs = ms; }

uint32_t WatchdogMilliseconds() {
    uint32_t ms = g_watchdogMs;
    if (ms != 0) return ms;
    // Read once: every wait asks, and the environment does not change under a run.
    static const uint32_t fromEnvironment = [] {
        const char* env = std::getenv("KWSIM_WATCHDOG_MS");
        return env != nullptr && std::atoi(env) > 0 ? static_cast<uint32_t>(std::atoi(env)) : 20000u;
    }();
    return fromEnvironment;
}

VerifierSummary Summary() {
    std::lock_guard<std::mutex> g(TableLock());
    return W().summary;
}

std::string FormatSummary(const VerifierSummary& s) {
    std::ostringstream o;
    o << "verifier: " << s.dispatchChecks << " dispatch returns checked, " << s.irpsAllocated
      << " IRPs allocated, " << s.irpsCompleted << " completions walked, " << s.callsDriver
      << " IoCallDriver calls, " << s.poolAllocations << " pool allocations / " << s.poolFrees
      << " frees, " << s.waits << " waits, " << s.faultsInjected << " faults injected; findings: "
      << s.bugChecks;
    return o.str();
}

size_t LiveIrpCount() {
    std::lock_guard<std::mutex> g(TableLock());
    return W().irps.size();
}

size_t LivePoolCount() {
    std::lock_guard<std::mutex> g(TableLock());
    return W().pool.size();
}

size_t LivePoolBytesWithTag(ULONG tag) {
    std::lock_guard<std::mutex> g(TableLock());
    size_t n = 0;
    for (auto& [p, b] : W().pool) {
        if (b.tag == tag) n += b.size;
    }
    return n;
}

void Completion::Signal() {
    std::lock_guard<std::mutex> g(m_);
    done_ = true;
    cv_.notify_all();
}

bool Completion::IsSignalled() const {
    std::lock_guard<std::mutex> g(m_);
    return done_;
}

void Completion::Wait(const char* what) {
    std::unique_lock<std::mutex> l(m_);
    WaitWithWatchdog(l, cv_, [this] { return done_; }, what);
}

void ResetWorld() {
    StopDpcThread();
    ResetFaults();
    ResetIrql();
    ResetPnp();
    ResetMdls();
    ResetPower();
    std::lock_guard<std::mutex> g(TableLock());
    World& w = W();
    for (auto& [irp, t] : w.irps) {
        (void)t;
        FreeIrpStorage(irp);
    }
    for (auto& [p, b] : w.pool) {
        (void)b;
        std::free(p);
    }
    for (auto [p, bytes] : w.poolQuarantine) ReleaseQuarantined(p, bytes);
    for (auto& [d, t] : w.devices) {
        (void)t;
        std::free(d);
    }
    for (auto& [d, t] : w.drivers) {
        (void)t;
        std::free(d);
    }
    ForgetDeferredDeletions();
    w = World();
}

void EndScenario() {
    FlushDpcs();
    CheckPowerAtScenarioEnd();
    std::string problems;
    {
        std::lock_guard<std::mutex> g(TableLock());
        for (auto& [irp, t] : W().irps) {
            if (t->origin != IrpOrigin::Allocated || t->state != IrpTrack::State::Idle) {
                problems += "  IRP still in flight: " + DescribeIrp(irp) + "\n";
            } else {
                problems += "  IRP allocated and never freed: " + DescribeIrp(irp) + "\n";
            }
        }
        for (auto& [p, b] : W().pool) {
            char tag[5] = {static_cast<char>(b.tag & 0xFF), static_cast<char>((b.tag >> 8) & 0xFF),
                           static_cast<char>((b.tag >> 16) & 0xFF), static_cast<char>((b.tag >> 24) & 0xFF), 0};
            problems += "  pool block " + Hex(reinterpret_cast<uintptr_t>(p)) + " of " + std::to_string(b.size) +
                        " bytes, tag '" + tag + "', allocation #" + std::to_string(b.seq) + "\n";
        }
    }
    problems += DescribeLiveMdls();
    if (!problems.empty()) {
        BugCheck(kBugDriverVerifierViolation, "ScenarioLeak",
                 "the scenario ended with requests or pool outstanding:\n" + problems);
    }
    ResetWorld();
}

}  // namespace sim
