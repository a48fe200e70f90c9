// What a loaded image's imports bind to: the model's routines (the list exports.py draws
// from sim/include), the kernel's run-time library routines, and the fastcall Interlocked
// routines and KeInitializeSpinLock the i386 kernel exports (the model's own headers make them
// inline).
#include "loader/loader.h"

#include <usbdlib.h>

#include <cctype>
#include <cstring>
#include <map>
#include <utility>

namespace {

// The model's inline Interlocked routines, with the kernel's exported (fastcall) convention.
LONG FASTCALL ImageInterlockedIncrement(LONG volatile* addend) { return InterlockedIncrement(addend); }
LONG FASTCALL ImageInterlockedDecrement(LONG volatile* addend) { return InterlockedDecrement(addend); }
LONG FASTCALL ImageInterlockedExchange(LONG volatile* target, LONG value) { return InterlockedExchange(target, value); }
LONG FASTCALL ImageInterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    return InterlockedExchangeAdd(addend, value);
}
LONG FASTCALL ImageInterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    return InterlockedCompareExchange(destination, exchange, comparand);
}

// KeInitializeSpinLock is inline in the model's headers; the i386 kernel exports it (stdcall).
VOID NTAPI ImageKeInitializeSpinLock(PKSPIN_LOCK spinLock) { KeInitializeSpinLock(spinLock); }

// PoSetPowerState returns a POWER_STATE, a 4-byte union: Windows' i386 convention returns it in
// EAX, the Linux i386 one through a hidden pointer, so the image gets a routine that returns it as
// the ULONG it is.
ULONG NTAPI ImagePoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    POWER_STATE previous = PoSetPowerState(device, type, state);
    ULONG value;
    static_assert(sizeof value == sizeof previous);
    std::memcpy(&value, &previous, sizeof value);
    return value;
}

using Key = std::pair<std::string, std::string>;  // module (lower case), routine

std::map<Key, void*> BuildTable() {
    std::map<Key, void*> t;
#define KWSIM_EXPORT(module, name) t[{module, #name}] = reinterpret_cast<void*>(&name);
#include "loader_exports.inc"
#undef KWSIM_EXPORT
    t[{"ntoskrnl.exe", "InterlockedIncrement"}] = reinterpret_cast<void*>(&ImageInterlockedIncrement);
    t[{"ntoskrnl.exe", "InterlockedDecrement"}] = reinterpret_cast<void*>(&ImageInterlockedDecrement);
    t[{"ntoskrnl.exe", "InterlockedExchange"}] = reinterpret_cast<void*>(&ImageInterlockedExchange);
    t[{"ntoskrnl.exe", "InterlockedExchangeAdd"}] = reinterpret_cast<void*>(&ImageInterlockedExchangeAdd);
    t[{"ntoskrnl.exe", "InterlockedCompareExchange"}] = reinterpret_cast<void*>(&ImageInterlockedCompareExchange);
    t[{"ntoskrnl.exe", "KeInitializeSpinLock"}] = reinterpret_cast<void*>(&ImageKeInitializeSpinLock);
    t[{"ntoskrnl.exe", "PoSetPowerState"}] = reinterpret_cast<void*>(&ImagePoSetPowerState);
    // The kernel's C run-time routines are cdecl, as the C library's are.
    t[{"ntoskrnl.exe", "memcpy"}] = reinterpret_cast<void*>(&memcpy);
    t[{"ntoskrnl.exe", "memmove"}] = reinterpret_cast<void*>(&memmove);
    t[{"ntoskrnl.exe", "memset"}] = reinterpret_cast<void*>(&memset);
    t[{"ntoskrnl.exe", "strlen"}] = reinterpret_cast<void*>(&strlen);
    t[{"ntoskrnl.exe", "DbgPrint"}] = reinterpret_cast<void*>(&DbgPrint);
    return t;
}

// "_Name@8" and "@Name@4" are the decorated forms of Name (stdcall, fastcall).
std::string Undecorate(const std::string& routine) {
    size_t at = routine.rfind('@');
    if (routine.size() < 3 || (routine[0] != '_' && routine[0] != '@') || at == 0 || at == std::string::npos) return routine;
    for (size_t i = at + 1; i < routine.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(routine[i]))) return routine;
    }
    return at + 1 == routine.size() ? routine : routine.substr(1, at - 1);
}

}  // namespace

namespace sim::loader {

void* ResolveExport(const std::string& module, const std::string& routine) {
    static const std::map<Key, void*> table = BuildTable();
    std::string lower = module;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto it = table.find({lower, routine});
    if (it == table.end()) it = table.find({lower, Undecorate(routine)});
    return it == table.end() ? nullptr : it->second;
}

}  // namespace sim::loader
