// The Win32 calls kwtool makes, over the model's application process (host.h), with Windows'
// semantics where a caller can see them: handles, overlapped requests that signal their event
// and fill Internal and InternalHigh, GetLastError codes mapped from NTSTATUS as
// RtlNtStatusToDosError maps them, device interface enumeration. Time in waits is the model's:
// each millisecond waited is one frame of the bus, so a wait for a device that answers every
// ten frames returns after ten milliseconds of waiting and a bounded wait ends deterministically.
#include "windows.h"

#include "host.h"
#include "setupapi.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <iterator>
#include <set>
#include <unistd.h>

namespace {

constexpr uint32_t kStatusPending = 0x00000103;

struct Object {
    enum class Type { File, Event, Console, DeviceSet } type;
    uint32_t file = 0;  // File: the process's handle
    bool overlapped = false;
    bool manualReset = true;  // Event
    bool signalled = false;
    int fd = -1;  // Console
    std::vector<std::u16string> paths;  // DeviceSet
};

struct Pending {
    uint64_t ticket = 0;
    Object* file = nullptr;
};

struct Region {
    uintptr_t user = 0;
    size_t bytes = 0;
};

std::set<Object*> g_objects;
std::map<LPOVERLAPPED, Pending> g_pending;
std::map<const BYTE*, Region> g_regions;  // by host address
thread_local DWORD g_lastError = 0;
Object g_stdout{Object::Type::Console, 0, false, true, false, 1, {}};
Object g_stderr{Object::Type::Console, 0, false, true, false, 2, {}};

Object* New(Object::Type type) {
    Object* o = new Object{};
    o->type = type;
    g_objects.insert(o);
    return o;
}

Object* Find(HANDLE h, Object::Type type) {
    Object* o = static_cast<Object*>(h);
    if (o == &g_stdout || o == &g_stderr) return type == Object::Type::Console ? o : nullptr;
    return g_objects.count(o) != 0 && o->type == type ? o : nullptr;
}

// RtlNtStatusToDosError for the statuses the driver, the I/O manager and the USB stack return.
DWORD DosError(uint32_t status) {
    static const std::map<uint32_t, DWORD> kMap = {
        {0x00000000, ERROR_SUCCESS},           {0x00000103, ERROR_IO_PENDING},
        {0x80000005, ERROR_MORE_DATA},         {0x80000011, ERROR_BUSY},
        {0xC0000001, ERROR_GEN_FAILURE},       {0xC0000005, ERROR_NOACCESS},
        {0xC0000008, ERROR_INVALID_HANDLE},    {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC000000E, ERROR_FILE_NOT_FOUND},    {0xC0000010, ERROR_INVALID_FUNCTION},
        {0xC0000011, ERROR_HANDLE_EOF},        {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},
        {0xC0000022, ERROR_ACCESS_DENIED},     {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
        {0xC0000033, ERROR_INVALID_NAME},      {0xC0000034, ERROR_FILE_NOT_FOUND},
        {0xC000003A, ERROR_PATH_NOT_FOUND},    {0xC000003C, ERROR_IO_DEVICE},
        {0xC000003E, ERROR_CRC},               {0xC0000043, ERROR_SHARING_VIOLATION},
        {0xC0000056, ERROR_ACCESS_DENIED},     {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
        {0xC000009C, ERROR_CRC},               {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
        {0xC00000A3, ERROR_NOT_READY},         {0xC00000B5, ERROR_SEM_TIMEOUT},
        {0xC00000BB, ERROR_NOT_SUPPORTED},     {0xC00000E8, ERROR_INVALID_USER_BUFFER},
        {0xC0000120, ERROR_OPERATION_ABORTED}, {0xC0000184, ERROR_BAD_COMMAND},
        {0xC00002B6, ERROR_DEV_NOT_EXIST},
    };
    auto it = kMap.find(status);
    return it != kMap.end() ? it->second : ERROR_MR_MID_NOT_FOUND;
}

bool Failed(uint32_t status) { return (status & 0x80000000u) != 0; }

BOOL Fail(DWORD error) {
    g_lastError = error;
    return FALSE;
}

// The user address of a VirtualAlloc'd range; any other pointer goes to the I/O manager as it
// is, a kernel address its probe refuses.
uintptr_t UserAddress(const void* p, size_t length) {
    const BYTE* b = static_cast<const BYTE*>(p);
    auto it = g_regions.upper_bound(b);
    if (p == nullptr || it == g_regions.begin()) return reinterpret_cast<uintptr_t>(p);
    --it;
    size_t at = static_cast<size_t>(b - it->first);
    if (at > it->second.bytes || length > it->second.bytes - at) return reinterpret_cast<uintptr_t>(p);
    return it->second.user + at;
}

void Finish(LPOVERLAPPED ov, const win32host::Result& r) {
    ov->Internal = static_cast<uint32_t>(r.status);
    ov->InternalHigh = r.information;
    if (Object* e = Find(ov->hEvent, Object::Type::Event)) e->signalled = true;
}

// Moves the endings of finished requests into their OVERLAPPEDs and events.
void Collect(HANDLE event) {
    for (auto it = g_pending.begin(); it != g_pending.end();) {
        win32host::Result r;
        if ((event == nullptr || it->first->hEvent == event) && win32host::Poll(it->second.ticket, &r)) {
            Finish(it->first, r);
            it = g_pending.erase(it);
        } else {
            ++it;
        }
    }
}

BOOL StartRequest(win32host::Kind kind, HANDLE h, DWORD code, LPCVOID in, DWORD inLength, LPVOID out,
                  DWORD outLength, LPDWORD done, LPOVERLAPPED ov) {
    Object* f = Find(h, Object::Type::File);
    if (f == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (f->overlapped && ov == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (ov != nullptr && g_pending.count(ov) != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (done != nullptr) *done = 0;
    int64_t offset = 0;
    if (ov != nullptr) {
        offset = static_cast<int64_t>((static_cast<uint64_t>(ov->OffsetHigh) << 32) | ov->Offset);
        ov->Internal = kStatusPending;
        ov->InternalHigh = 0;
        if (Object* e = Find(ov->hEvent, Object::Type::Event)) e->signalled = false;
    }
    uint64_t ticket = 0;
    win32host::Result r = win32host::Start(kind, f->file, code, UserAddress(in, inLength), inLength,
                                           UserAddress(out, outLength), outLength, offset,
                                           f->overlapped && ov != nullptr, &ticket);
    if (r.pending) {
        g_pending[ov] = Pending{ticket, f};
        return Fail(ERROR_IO_PENDING);
    }
    uint32_t status = static_cast<uint32_t>(r.status);
    if (Failed(status)) return Fail(DosError(status));
    if (ov != nullptr) Finish(ov, r);
    if (done != nullptr) *done = static_cast<DWORD>(r.information);
    return TRUE;
}

std::u16string GuidText(const GUID& g) {
    static const char kDigits[] = "0123456789abcdef";
    std::u16string s = u"{";
    auto hex = [&](uint64_t v, int digits) {
        for (int i = digits - 1; i >= 0; --i) s += static_cast<char16_t>(kDigits[(v >> (4 * i)) & 0xF]);
    };
    hex(g.Data1, 8), s += u'-', hex(g.Data2, 4), s += u'-', hex(g.Data3, 4), s += u'-';
    hex(g.Data4[0], 2), hex(g.Data4[1], 2), s += u'-';
    for (int i = 2; i < 8; ++i) hex(g.Data4[i], 2);
    return s + u"}";
}

std::u16string Lower(std::u16string s) {
    for (char16_t& c : s) c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    return s;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE) {
    if (name == nullptr || disposition != OPEN_EXISTING || access == 0 || share == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    uint32_t file = 0;
    uint32_t status = static_cast<uint32_t>(win32host::Open(name, overlapped, &file));
    if (Failed(status)) {
        Fail(DosError(status));
        return INVALID_HANDLE_VALUE;
    }
    Object* o = New(Object::Type::File);
    o->file = file;
    o->overlapped = overlapped;
    return o;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    Object* o = static_cast<Object*>(handle);
    if (g_objects.count(o) == 0) return Fail(ERROR_INVALID_HANDLE);
    if (o->type == Object::Type::File) {
        win32host::Close(o->file);
        // The close ended the handle's requests; their OVERLAPPEDs are the caller's again.
        for (auto it = g_pending.begin(); it != g_pending.end();) {
            it = it->second.file == o ? g_pending.erase(it) : std::next(it);
        }
    }
    g_objects.erase(o);
    delete o;
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) {
    return StartRequest(win32host::Kind::Read, file, 0, nullptr, 0, buffer, length, read, ov);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) {
    if (Object* c = Find(file, Object::Type::Console)) {
        ssize_t n = write(c->fd, buffer, length);
        if (written != nullptr) *written = n < 0 ? 0 : static_cast<DWORD>(n);
        return n == static_cast<ssize_t>(length) ? TRUE : Fail(ERROR_GEN_FAILURE);
    }
    return StartRequest(win32host::Kind::Write, file, 0, nullptr, 0, const_cast<LPVOID>(buffer), length, written, ov);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                            DWORD outputLength, LPDWORD returned, LPOVERLAPPED ov) {
    return StartRequest(win32host::Kind::Control, device, code, input, inputLength, output, outputLength, returned,
                        ov);
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (Find(file, Object::Type::File) == nullptr || ov == nullptr) return Fail(ERROR_INVALID_HANDLE);
    auto it = g_pending.find(ov);
    if (it != g_pending.end() && wait) win32host::Wait(it->second.ticket);
    Collect(nullptr);
    if (g_pending.count(ov) != 0) return Fail(ERROR_IO_INCOMPLETE);
    *transferred = static_cast<DWORD>(ov->InternalHigh);
    uint32_t status = static_cast<uint32_t>(ov->Internal);
    return Failed(status) ? Fail(DosError(status)) : TRUE;
}

BOOL WINAPI CancelIo(HANDLE file) {
    Object* f = Find(file, Object::Type::File);
    if (f == nullptr) return Fail(ERROR_INVALID_HANDLE);
    win32host::Cancel(f->file);
    Collect(nullptr);
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    Object* e = New(Object::Type::Event);
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    return e;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Object* e = Find(handle, Object::Type::Event);
    if (e == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    for (DWORD waited = 0;; ++waited) {
        Collect(handle);
        if (e->signalled) {
            if (!e->manualReset) e->signalled = false;
            return WAIT_OBJECT_0;
        }
        if (milliseconds != INFINITE && waited >= milliseconds) return WAIT_TIMEOUT;
        win32host::Tick();
    }
}

DWORD WINAPI GetLastError(void) { return g_lastError; }

void WINAPI SetLastError(DWORD error) { g_lastError = error; }

HANDLE WINAPI GetStdHandle(DWORD which) {
    return which == STD_OUTPUT_HANDLE ? &g_stdout : which == STD_ERROR_HANDLE ? &g_stderr : INVALID_HANDLE_VALUE;
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
    if (address != nullptr || size == 0 || (type & MEM_COMMIT) == 0 || protect != PAGE_READWRITE) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* host = nullptr;
    uintptr_t user = win32host::Allocate(size, &host);
    std::memset(host, 0, size);  // committed pages start zeroed
    g_regions[static_cast<const BYTE*>(host)] = Region{user, size};
    return host;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    auto it = g_regions.find(static_cast<const BYTE*>(address));
    if (it == g_regions.end() || size != 0 || type != MEM_RELEASE) return Fail(ERROR_INVALID_PARAMETER);
    win32host::Free(it->second.user);
    g_regions.erase(it);
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000000;
    return TRUE;
}

ULONG Win32UserAddress(const void* pointer) {
    uintptr_t user = UserAddress(pointer, 0);
    return user == reinterpret_cast<uintptr_t>(pointer) ? 0 : static_cast<ULONG>(user);
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR, void*, DWORD flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Object* set = New(Object::Type::DeviceSet);
    const std::u16string guid = GuidText(*classGuid);
    for (const std::u16string& path : win32host::Interfaces()) {
        if (Lower(path).find(guid) != std::u16string::npos) set->paths.push_back(path);
    }
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* classGuid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    Object* s = Find(set, Object::Type::DeviceSet);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || classGuid == nullptr || data->cbSize != sizeof *data) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= s->paths.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = *classGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             LPDWORD requiredSize, PSP_DEVINFO_DATA) {
    Object* s = Find(set, Object::Type::DeviceSet);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->Reserved == 0 || data->Reserved > s->paths.size()) return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string& path = s->paths[data->Reserved - 1];
    const DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                              (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize != nullptr) *requiredSize = required;
    if (detail == nullptr || detailSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) { return CloseHandle(set); }

}  // extern "C"
