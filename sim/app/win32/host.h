// What the Win32 layer (win32.cpp) needs from the model, in plain types, so that Windows' own
// names (windows.h) and the model's kernel headers never meet in one translation unit.
// host.cpp implements it over one application process of the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace win32host {

enum class Kind { Read, Write, Control };

struct Result {
    int32_t status = 0;         // NTSTATUS
    uintptr_t information = 0;
    bool pending = false;       // still running: Poll or Wait its ticket
};

// CreateFile on a user path; `overlapped` is FILE_FLAG_OVERLAPPED.
int32_t Open(const std::u16string& path, bool overlapped, uint32_t* handle);
int32_t Close(uint32_t handle);
// Starts a request on the process's buffers (user addresses). An overlapped request that pends
// gets a ticket; a request that does not pend has ended when this returns.
Result Start(Kind kind, uint32_t handle, uint32_t code, uintptr_t input, uint32_t inputLength, uintptr_t output,
             uint32_t outputLength, int64_t offset, bool overlapped, uint64_t* ticket);
// True once the ticket's request has ended (its result in *r); the ticket is then gone.
bool Poll(uint64_t ticket, Result* r);
// Blocks until the ticket's request ends (the model's watchdog limits the wait).
void Wait(uint64_t ticket);
int32_t Cancel(uint32_t handle);

// Memory of the process: a buffer's user address, and the host memory behind it.
uintptr_t Allocate(size_t bytes, void** host);
void Free(uintptr_t address);

// User paths of the enabled device interfaces of every device the host plugged in.
std::vector<std::u16string> Interfaces();
// One millisecond of the model's time passes: one frame on the bus, deferred calls run.
void Tick();

// Runs `program` with the driver loaded and a device plugged in and started: the test firmware,
// or the description in $KWTOOL_DEVICE ("none": no device). $KWTOOL_UNPLUG_AFTER_MS=N pulls the
// device out once N milliseconds of model time have passed. Afterwards the device is removed,
// the driver unloaded and the model's end-of-run checks made. Returns the program's exit code.
int RunWithModel(int argc, char** argv, int (*program)(int, char**));

}  // namespace win32host
