// A hardware data breakpoint that stops a thread of the test right after it touched one byte,
// so a test can run something else at exactly that point of a driver routine.
#pragma once

#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace drivertest {

// A data breakpoint on one byte for the calling thread: the first instruction of that thread that
// reads or writes the byte completes, then `OnAccess` runs on the thread (in a signal handler)
// before its next instruction. Fires once.
class AccessTrap {
public:
    AccessTrap(const volatile void* address, void (*onAccess)(void*), void* context)
        : onAccess_(onAccess), context_(context) {
        struct sigaction sa {};
        sa.sa_sigaction = &AccessTrap::Handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTRAP, &sa, &previous_);
        perf_event_attr attr{};
        attr.type = PERF_TYPE_BREAKPOINT;
        attr.size = sizeof attr;
        attr.bp_type = HW_BREAKPOINT_RW;
        attr.bp_addr = reinterpret_cast<uintptr_t>(address);
        attr.bp_len = HW_BREAKPOINT_LEN_1;
        attr.sample_period = 1;
        attr.exclude_kernel = 1;
        attr.exclude_hv = 1;
        attr.sigtrap = 1;  // a synchronous SIGTRAP to the accessing thread
        attr.remove_on_exec = 1;
        armed_ = this;
        fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
        if (fd_ < 0) error_ = std::strerror(errno);
    }
    ~AccessTrap() {
        if (fd_ >= 0) close(fd_);
        armed_ = nullptr;
        sigaction(SIGTRAP, &previous_, nullptr);
    }
    AccessTrap(const AccessTrap&) = delete;
    AccessTrap& operator=(const AccessTrap&) = delete;
    // Empty when armed, else why the platform refused the breakpoint.
    const std::string& Error() const { return error_; }
    bool Fired() const { return fired_; }

private:
    static void Handler(int, siginfo_t*, void*) {
        AccessTrap* self = armed_;
        if (self == nullptr || self->fired_) return;
        self->fired_ = true;
        ioctl(self->fd_, PERF_EVENT_IOC_DISABLE, 0);
        self->onAccess_(self->context_);
    }
    static inline thread_local AccessTrap* armed_ = nullptr;
    void (*onAccess_)(void*);
    void* context_;
    struct sigaction previous_ {};
    int fd_ = -1;
    bool fired_ = false;
    std::string error_;
};

}  // namespace drivertest
