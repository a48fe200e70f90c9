// The Win32 layer kwtool runs on in the Linux build: what a Windows program sees of each call
// (return values, GetLastError codes mapped from the driver's and the I/O manager's statuses,
// SetupDi's two-call detail pattern, overlapped requests and bounded waits), with the driver
// and the test firmware running underneath.
#include <windows.h>

#include <setupapi.h>

#include "host.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

const GUID kClass = {0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};
const DWORD kGetDeviceDescriptor = 0x00220010;

std::function<void()> g_body;
int RunBody(int, char**) {
    g_body();
    return 0;
}
// Runs body with the driver loaded and the test firmware started; the model's end-of-run checks
// (nothing leaked, nothing in flight) follow it.
void WithDevice(std::function<void()> body) {
    g_body = std::move(body);
    EXPECT_EQ(0, win32host::RunWithModel(0, nullptr, RunBody));
}

std::u16string InterfacePath() {
    HDEVINFO set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    alignas(4) BYTE bytes[1024];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(bytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof bytes, nullptr, nullptr));
    SetupDiDestroyDeviceInfoList(set);
    return std::u16string(detail->DevicePath);
}

HANDLE Open(const char16_t* pipe, bool overlapped = true) {
    return CreateFileW((InterfacePath() + pipe).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

// A call that must fail and the code GetLastError must then give. With a pipe, the call is made
// on a handle opened on it (overlapped or not) and closed afterwards.
struct FailingCall {
    const char* what;
    const char16_t* pipe;  // nullptr: no handle
    bool overlapped;
    std::function<BOOL(HANDLE h, BYTE* buffer)> call;  // buffer: 64 VirtualAlloc'd bytes
    DWORD error;
};

TEST(Win32Layer, FailuresCarryWindowsErrorCodes) {
    WithDevice([] {
        static BYTE notProcessMemory[8];
        DWORD n = 0;
        const FailingCall cases[] = {
            // The driver refuses a name without a pipe with STATUS_INSUFFICIENT_RESOURCES.
            {"open of a name the driver has no pipe for", nullptr, false,
             [](HANDLE, BYTE*) { return Open(u"\\KWDrv9") != INVALID_HANDLE_VALUE; }, ERROR_NO_SYSTEM_RESOURCES},
            {"open of a path no device has", nullptr, false,
             [](HANDLE, BYTE*) {
                 return CreateFileW(u"\\\\?\\USB#nothing", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr) != INVALID_HANDLE_VALUE;
             },
             ERROR_FILE_NOT_FOUND},
            {"a control code the driver does not know", u"", false,
             [&](HANDLE h, BYTE* b) { return DeviceIoControl(h, 0x00220FFC, nullptr, 0, b, 64, &n, nullptr); },
             ERROR_INVALID_PARAMETER},
            {"a descriptor read into no output buffer", u"", false,
             [&](HANDLE h, BYTE*) { return DeviceIoControl(h, kGetDeviceDescriptor, nullptr, 0, nullptr, 0, &n, nullptr); },
             ERROR_INSUFFICIENT_BUFFER},
            {"a read into memory that is not the process's", u"\\KWDrv1", false,
             [&](HANDLE h, BYTE*) { return ReadFile(h, notProcessMemory, sizeof notProcessMemory, &n, nullptr); },
             ERROR_NOACCESS},
            {"a read on an overlapped handle without an OVERLAPPED", u"\\KWDrv1", true,
             [&](HANDLE h, BYTE* b) { return ReadFile(h, b, 8, &n, nullptr); }, ERROR_INVALID_PARAMETER},
            {"closing a handle that is not one", nullptr, false, [](HANDLE, BYTE* b) { return CloseHandle(b); },
             ERROR_INVALID_HANDLE},
        };
        BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, 64, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(nullptr, buffer);
        for (const FailingCall& c : cases) {
            HANDLE h = c.pipe != nullptr ? Open(c.pipe, c.overlapped) : nullptr;
            SetLastError(0);
            EXPECT_FALSE(c.call(h, buffer)) << c.what;
            EXPECT_EQ(c.error, GetLastError()) << c.what;
            if (h != nullptr) CloseHandle(h);
        }
        VirtualFree(buffer, 0, MEM_RELEASE);
    });
}

TEST(Win32Layer, InterfaceDetailIsAskedForInTwoCalls) {
    WithDevice([] {
        HDEVINFO set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(INVALID_HANDLE_VALUE, set);
        SP_DEVICE_INTERFACE_DATA data{sizeof data, {}, 0, 0};
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
        EXPECT_EQ(0, memcmp(&kClass, &data.InterfaceClassGuid, sizeof kClass));
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
        const std::u16string expected =
            u"\\\\?\\USB#VID_1209&PID_0001#5&2f1a0c3&0&1#{77f49321-16ef-11d2-ad51-006097b514dd}";
        EXPECT_EQ(sizeof(DWORD) + (expected.size() + 1) * sizeof(WCHAR), required);
        alignas(4) BYTE bytes[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(bytes);
        detail->cbSize = 8;  // the 64-bit size: wrong for a 32-bit program
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
        detail->cbSize = 6;
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        EXPECT_EQ(expected, std::u16string(detail->DevicePath));
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
        SetupDiDestroyDeviceInfoList(set);

        const GUID other = {0x12345678, 0, 0, {0}};
        set = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
        SetupDiDestroyDeviceInfoList(set);
    });
}

// The firmware's interrupt endpoint has a report every 10 frames; a wait is measured in frames.
TEST(Win32Layer, OverlappedReadEndsWithinTheWaitThatCoversIt) {
    WithDevice([] {
        HANDLE h = Open(u"\\KWDrv2");
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, 8, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        EXPECT_FALSE(ReadFile(h, buffer, 8, &n, &ov));
        EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ov.hEvent, 3));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 10));
        EXPECT_EQ(0u, ov.Internal);
        EXPECT_EQ(8u, ov.InternalHigh);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(8u, n);
        const BYTE report[8] = {0x4b, 0x57, 0x00, 0x01, 0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(report, buffer, 8));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 0)) << "a manual-reset event stays signalled";

        // Nothing to read on the bulk pipe: the read pends until CancelIo ends it.
        HANDLE in = Open(u"\\KWDrv1");
        EXPECT_FALSE(ReadFile(in, buffer, 8, &n, &ov));
        EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ov.hEvent, 20)) << "ReadFile resets the event";
        EXPECT_TRUE(CancelIo(in));
        EXPECT_FALSE(GetOverlappedResult(in, &ov, &n, TRUE));
        EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
        EXPECT_EQ(0u, n);
        CloseHandle(in);
        CloseHandle(ov.hEvent);
        CloseHandle(h);
        VirtualFree(buffer, 0, MEM_RELEASE);
    });
}

TEST(Win32Layer, AutoResetEventIsTakenByTheWaitThatSeesIt) {
    WithDevice([] {
        HANDLE e = CreateEventW(nullptr, FALSE, TRUE, nullptr);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        CloseHandle(e);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(e, 0));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    });
}

TEST(Win32Layer, OnlyVirtualAllocMemoryHasAProcessAddress) {
    WithDevice([] {
        BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, 100, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(nullptr, buffer);
        EXPECT_EQ(0, buffer[99]) << "committed memory starts zeroed";
        ULONG start = PtrToUlong(buffer);
        EXPECT_NE(0u, start);
        EXPECT_EQ(start + 99, PtrToUlong(buffer + 99));
        BYTE local = 0;
        EXPECT_EQ(0u, PtrToUlong(&local));
        EXPECT_FALSE(VirtualFree(buffer + 1, 0, MEM_RELEASE));
        EXPECT_TRUE(VirtualFree(buffer, 0, MEM_RELEASE));
    });
}

}  // namespace
