// Numbers, names and data on the command line, parsed without a C runtime.
#include "kwtool.h"

static int DigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits of `base` only, at least one, and no more than fit in 32 bits.
static bool ParseDigits(const char* text, unsigned base, DWORD* value)
{
    unsigned long long v = 0;
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        int d = DigitValue(*text);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<DWORD>(v);
    return true;
}

bool ParseNumber(const char* text, DWORD* value)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return ParseDigits(text + 2, 16, value);
    return ParseDigits(text, 10, value);
}

bool ParseHexByte(const char* text, BYTE* value)
{
    DWORD v = 0;
    if (!ParseDigits(text, 16, &v) || v > 0xFF) return false;
    *value = static_cast<BYTE>(v);
    return true;
}

bool Same(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

bool ParseData(char** args, int count, BYTE* data, DWORD cap, DWORD* length)
{
    *length = 0;
    if (count == 2 && Same(args[0], "pattern")) {
        DWORD n = 0;
        if (!ParseNumber(args[1], &n) || n > cap) return false;
        for (unsigned long i = 0; i < n; ++i) data[i] = static_cast<BYTE>(i);
        *length = n;
        return true;
    }
    for (int i = 0; i < count; ++i) {
        if (*length == cap || !ParseHexByte(args[i], &data[*length])) return false;
        ++*length;
    }
    return true;
}

void CopyMemoryBytes(void* to, const void* from, DWORD length)
{
    BYTE* t = static_cast<BYTE*>(to);
    const BYTE* f = static_cast<const BYTE*>(from);
    for (DWORD i = 0; i < length; ++i) t[i] = f[i];
}
