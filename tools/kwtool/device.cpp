// Finding the device (SetupDi over the driver's interface class), opening it and its pipes, and
// the descriptors and pipe table every command starts from.
#include "kwtool.h"

// The device interface class the driver registers for each device.
static const GUID kInterfaceClass = {
    0x77F49321, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

// A 32-bit program's detail record is packed: cbSize must be 6, or SetupAPI refuses it.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "the 32-bit SetupAPI detail record");

bool FindInterface(DWORD index, WCHAR* path, DWORD chars)
{
    HDEVINFO set = SetupDiGetClassDevsW(&kInterfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    bool found = false;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &kInterfaceClass, index, &data)) {
        // The detail record lives in the caller's path buffer, shifted by its header; the
        // required size is asked for first, as the record's length depends on the path.
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &required, NULL);
        static BYTE detailBytes[sizeof(DWORD) + KW_PATH_CHARS * sizeof(WCHAR)];
        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detailBytes);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (required != 0 && required <= sizeof detailBytes &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, NULL, NULL)) {
            DWORD i = 0;
            for (; detail->DevicePath[i] != 0 && i + 1 < chars; ++i) path[i] = detail->DevicePath[i];
            path[i] = 0;
            found = detail->DevicePath[i] == 0;
            if (!found) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return found;
}

HANDLE OpenDevice(const WCHAR* path, const char* pipeName)
{
    static WCHAR full[KW_PATH_CHARS + 16];
    DWORD n = 0;
    for (; path[n] != 0 && n < KW_PATH_CHARS; ++n) full[n] = path[n];
    for (DWORD i = 0; pipeName[i] != '\0'; ++i) full[n++] = static_cast<WCHAR>(pipeName[i]);
    full[n] = 0;
    return CreateFileW(full, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
}

void PipeName(BYTE index, char name[8])
{
    const char* base = "\\KWDrv";
    for (int i = 0; i < 6; ++i) name[i] = base[i];
    name[6] = static_cast<char>('0' + index);
    name[7] = '\0';
}

const char* TypeName(BYTE type)
{
    static const char* const kNames[] = {"control", "isochronous", "bulk", "interrupt"};
    return kNames[type & 3];
}

int BuildPipes(const BYTE* set, DWORD length, Pipe* pipes, int cap)
{
    // Interface 0's setting 1 when the set offers it, otherwise setting 0.
    int wanted = 0;
    for (DWORD at = 0; at + 2 <= length && set[at] >= 2; at += set[at]) {
        if (set[at + 1] == 4 && at + 4 <= length && set[at + 2] == 0 && set[at + 3] == 1) wanted = 1;
    }
    int count = 0;
    bool inside = false;
    for (DWORD at = 0; at + 2 <= length && set[at] >= 2 && at + set[at] <= length; at += set[at]) {
        const BYTE* d = set + at;
        if (d[1] == 4 && d[0] >= 4) inside = d[2] == 0 && d[3] == wanted;
        if (d[1] == 5 && d[0] >= 7 && inside && count < cap) {
            Pipe& p = pipes[count];
            p.index = static_cast<BYTE>(count);
            p.address = d[2];
            p.type = d[3] & 3;
            // Bits 11-12 of a high-speed periodic endpoint's wMaxPacketSize are extra
            // transactions per microframe; the pipe moves their sum, as the stack reports it.
            const unsigned raw = d[4] | (d[5] << 8);
            p.maxPacket = static_cast<WORD>((raw & 0x7FF) * (1 + ((raw >> 11) & 3)));
            p.interval = d[6];
            ++count;
        }
    }
    return count;
}

const Pipe* FindPipe(const Session& s, const char* word)
{
    // A name is "KWDrv" (after an optional '\') and one character, '0' plus the index, as the
    // driver names pipes ("KWDrv:" is pipe 10); anything else is an index in digits.
    const char* name = word[0] == '\\' ? word + 1 : word;
    const char* prefix = "KWDrv";
    int i = 0;
    while (prefix[i] != '\0' && name[i] == prefix[i]) ++i;
    DWORD index = 0;
    if (prefix[i] == '\0' && name[i] >= '0' && name[i + 1] == '\0') index = static_cast<DWORD>(name[i] - '0');
    else if (!ParseNumber(word, &index)) return NULL;
    for (int p = 0; p < s.pipeCount; ++p) {
        if (s.pipes[p].index == index) return &s.pipes[p];
    }
    return NULL;
}

HANDLE OpenPipe(Session& s, const char* word, const Pipe** pipe, char name[8])
{
    *pipe = FindPipe(s, word);
    if (*pipe == NULL) {
        Put(g_err, "kwtool: the device has no pipe ");
        Put(g_err, word);
        Put(g_err, " (see kwtool info)\n");
        return INVALID_HANDLE_VALUE;
    }
    PipeName((*pipe)->index, name);
    HANDLE h = OpenDevice(s.path, name);
    if (h == INVALID_HANDLE_VALUE) {
        Put(g_err, "kwtool: cannot open ");
        Put(g_err, name);
        Put(g_err, ": ");
        PutError(g_err, GetLastError());
        Put(g_err, "\n");
    }
    return h;
}

// Reads a descriptor through device control into the session's I/O buffer at `offset`.
static Outcome ReadDescriptor(Session& s, DWORD code, DWORD offset, DWORD length)
{
    Request r = {KW_IOCTL, code, NULL, 0, s.io + offset, length, 0, 0};
    return Perform(s.control, r, s.timeoutMs);
}

int OpenSession(Session& s)
{
    if (!FindInterface(s.deviceIndex, s.path, KW_PATH_CHARS)) {
        Put(g_err, "kwtool: no kwdrv device");
        if (s.deviceIndex != 0) Put(g_err, " with that index");
        Put(g_err, " is present\n");
        return KW_EXIT_NO_DEVICE;
    }
    s.control = OpenDevice(s.path, "");
    if (s.control == INVALID_HANDLE_VALUE) {
        Put(g_err, "kwtool: cannot open ");
        PutWide(g_err, s.path);
        Put(g_err, ": ");
        PutError(g_err, GetLastError());
        Put(g_err, "\n");
        return KW_EXIT_NO_DEVICE;
    }
    s.set = s.io + s.ioBytes - KW_SET_BYTES;
    Outcome d = ReadDescriptor(s, IOCTL_KW_GET_DEVICE_DESCRIPTOR, s.ioBytes - KW_SET_BYTES, 18);
    if (d.result == KW_EXIT_OK && d.moved == 18) CopyMemoryBytes(s.deviceDescriptor, s.set, 18);
    Outcome c = ReadDescriptor(s, IOCTL_KW_GET_CONFIG_DESCRIPTOR, s.ioBytes - KW_SET_BYTES, KW_SET_BYTES);
    if (d.result != KW_EXIT_OK || d.moved != 18 || c.result != KW_EXIT_OK || c.moved < 9) {
        Put(g_err, "kwtool: cannot read the device's descriptors: ");
        PutError(g_err, d.result != KW_EXIT_OK ? d.error : c.error);
        Put(g_err, "\n");
        return KW_EXIT_FAILED;
    }
    s.setLength = c.moved;
    s.pipeCount = BuildPipes(s.set, s.setLength, s.pipes, KW_MAX_PIPES);
    return KW_EXIT_OK;
}

void CloseSession(Session& s)
{
    if (s.control != INVALID_HANDLE_VALUE && s.control != NULL) CloseHandle(s.control);
    s.control = NULL;
}

int CmdList(Session& s)
{
    DWORD index = 0;
    for (; FindInterface(index, s.path, KW_PATH_CHARS); ++index) {
        Put(g_out, "[");
        PutDec(g_out, index);
        Put(g_out, "] ");
        PutWide(g_out, s.path);
        Put(g_out, "\n");
    }
    if (GetLastError() != ERROR_NO_MORE_ITEMS) {
        Put(g_err, "kwtool: enumerating the devices failed: ");
        PutError(g_err, GetLastError());
        Put(g_err, "\n");
        return KW_EXIT_FAILED;
    }
    if (index == 0) {
        Put(g_out, "no kwdrv device is present\n");
        return KW_EXIT_NO_DEVICE;
    }
    PutDec(g_out, index);
    Put(g_out, index == 1 ? " device\n" : " devices\n");
    return KW_EXIT_OK;
}
