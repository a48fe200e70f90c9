// The program's entry point on Windows, without a C runtime: the command line split into words
// as the C runtime would split it (blanks separate, double quotes group), then KwToolMain, then
// ExitProcess. Also the few memory routines the compiler may call on its own.
#include "kwtool.h"

extern "C" void* memcpy(void* to, const void* from, size_t n)
{
    BYTE* t = static_cast<BYTE*>(to);
    const BYTE* f = static_cast<const BYTE*>(from);
    while (n-- != 0) *t++ = *f++;
    return to;
}

extern "C" void* memmove(void* to, const void* from, size_t n)
{
    BYTE* t = static_cast<BYTE*>(to);
    const BYTE* f = static_cast<const BYTE*>(from);
    if (t < f) return memcpy(to, from, n);
    while (n-- != 0) t[n] = f[n];
    return to;
}

extern "C" void* memset(void* to, int value, size_t n)
{
    BYTE* t = static_cast<BYTE*>(to);
    while (n-- != 0) *t++ = static_cast<BYTE>(value);
    return to;
}

enum { kMaxWords = 256, kLineBytes = 8192 };

// Splits `line` in place into argv; returns argc.
static int SplitWords(char* line, char** argv)
{
    int argc = 0;
    char* in = line;
    char* out = line;
    while (*in != '\0' && argc < kMaxWords - 1) {
        while (*in == ' ' || *in == '\t') ++in;
        if (*in == '\0') break;
        argv[argc++] = out;
        bool quoted = false;
        for (; *in != '\0' && (quoted || (*in != ' ' && *in != '\t')); ++in) {
            if (*in == '"') quoted = !quoted;
            else *out++ = *in;
        }
        if (*in != '\0') ++in;
        *out++ = '\0';
    }
    argv[argc] = NULL;
    return argc;
}

extern "C" void KwToolEntry(void)
{
    static char line[kLineBytes];
    static char* argv[kMaxWords];
    const char* command = GetCommandLineA();
    DWORD n = 0;
    for (; command[n] != '\0' && n + 1 < kLineBytes; ++n) line[n] = command[n];
    line[n] = '\0';
    int argc = SplitWords(line, argv);
    ExitProcess(static_cast<UINT>(KwToolMain(argc, argv)));
}
