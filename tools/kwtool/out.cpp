// Console output without a C runtime: text is gathered in a small buffer per stream and written
// with WriteFile on the standard handle at each line's end and when the buffer is full.
#include "kwtool.h"

Out g_out = {STD_OUTPUT_HANDLE, 0, {}};
Out g_err = {STD_ERROR_HANDLE, 0, {}};

void Flush(Out& o)
{
    DWORD written = 0;
    if (o.used != 0) WriteFile(GetStdHandle(o.which), o.buffer, o.used, &written, NULL);
    o.used = 0;
}

static void PutChar(Out& o, char c)
{
    if (o.used == sizeof o.buffer) Flush(o);
    o.buffer[o.used++] = c;
    if (c == '\n') Flush(o);
}

void Put(Out& o, const char* text)
{
    while (*text != '\0') PutChar(o, *text++);
}

void PutDec(Out& o, unsigned long long value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) PutChar(o, digits[--n]);
}

void PutHex(Out& o, DWORD value, int digits)
{
    Put(o, "0x");
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        PutChar(o, "0123456789ABCDEF"[(value >> shift) & 0xF]);
    }
}

void PutWide(Out& o, const WCHAR* text)
{
    for (; *text != 0; ++text) PutChar(o, *text < 0x80 ? static_cast<char>(*text) : '?');
}

void PutBytes(Out& o, const BYTE* data, DWORD length)
{
    for (DWORD i = 0; i < length; ++i) {
        if (i % 16 == 0) Put(o, i == 0 ? "  " : "\n  ");
        PutChar(o, "0123456789abcdef"[data[i] >> 4]);
        PutChar(o, "0123456789abcdef"[data[i] & 0xF]);
        if (i % 16 != 15 && i + 1 != length) PutChar(o, ' ');
    }
    Put(o, "\n");
}

void PutError(Out& o, DWORD error)
{
    static const struct {
        DWORD code;
        const char* name;
    } kNames[] = {
        {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
        {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
        {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
        {ERROR_NOT_READY, "ERROR_NOT_READY"},
        {ERROR_CRC, "ERROR_CRC"},
        {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
        {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
        {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
        {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST"},
        {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
        {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
        {ERROR_BUSY, "ERROR_BUSY"},
        {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
        {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
        {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
        {ERROR_NOACCESS, "ERROR_NOACCESS"},
        {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
        {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
        {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"},
        {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
    };
    for (const auto& n : kNames) {
        if (n.code == error) {
            Put(o, n.name);
            Put(o, " (");
            PutDec(o, error);
            Put(o, ")");
            return;
        }
    }
    Put(o, "error ");
    PutDec(o, error);
}
