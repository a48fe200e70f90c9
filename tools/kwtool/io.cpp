// Overlapped requests with bounded waits. Every handle is opened overlapped; a request that is
// still pending when its limit passes is cancelled with CancelIo and then waited for, so its
// buffer and OVERLAPPED are never left to a request that might still complete.
#include "kwtool.h"

bool Issue(HANDLE h, const Request& r, InFlight& f)
{
    f.ov.Internal = 0;
    f.ov.InternalHigh = 0;
    f.ov.Offset = r.offset;
    f.ov.OffsetHigh = r.offsetHigh;
    f.ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    f.pending = false;
    f.early.result = KW_EXIT_FAILED;
    f.early.moved = 0;
    f.early.error = 0;
    if (f.ov.hEvent == NULL) {
        f.early.error = GetLastError();
        return false;
    }
    BOOL done = FALSE;
    DWORD moved = 0;
    if (r.kind == KW_READ) {
        done = ReadFile(h, r.output, r.outputLength, &moved, &f.ov);
    } else if (r.kind == KW_WRITE) {
        done = WriteFile(h, r.output, r.outputLength, &moved, &f.ov);
    } else {
        done = DeviceIoControl(h, r.code, r.input, r.inputLength, r.output, r.outputLength, &moved, &f.ov);
    }
    // Success at once and ERROR_IO_PENDING both complete through the OVERLAPPED.
    if (done || GetLastError() == ERROR_IO_PENDING) {
        f.pending = true;
        return true;
    }
    f.early.error = GetLastError();
    return false;
}

Outcome Collect(HANDLE h, InFlight& f, DWORD timeoutMs)
{
    if (!f.pending) return f.early;
    Outcome o = {KW_EXIT_OK, 0, 0};
    if (WaitForSingleObject(f.ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(h);
        o.result = KW_EXIT_TIMEOUT;
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(h, &f.ov, &moved, TRUE)) {
        o.error = GetLastError();
        if (o.result == KW_EXIT_OK) o.result = KW_EXIT_FAILED;
    } else if (o.result == KW_EXIT_TIMEOUT) {
        o.result = KW_EXIT_OK;  // it completed while it was being cancelled
    }
    o.moved = moved;
    f.pending = false;
    return o;
}

void ReleaseInFlight(InFlight& f)
{
    if (f.ov.hEvent != NULL) CloseHandle(f.ov.hEvent);
    f.ov.hEvent = NULL;
}

Outcome Perform(HANDLE h, const Request& r, DWORD timeoutMs)
{
    InFlight f;
    Issue(h, r, f);
    Outcome o = Collect(h, f, timeoutMs);
    ReleaseInFlight(f);
    return o;
}

unsigned long long Ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<unsigned long long>(now.QuadPart);
}

unsigned long long TicksPerSecond()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? static_cast<unsigned long long>(f.QuadPart) : 1;
}

int ReportOutcome(const char* what, const char* name, const Outcome& o, DWORD timeoutMs)
{
    if (o.result == KW_EXIT_OK) return KW_EXIT_OK;
    Put(g_out, what);
    Put(g_out, name);
    if (o.result == KW_EXIT_TIMEOUT) {
        Put(g_out, ": no answer within ");
        PutDec(g_out, timeoutMs);
        Put(g_out, " ms; cancelled\n");
    } else {
        Put(g_out, ": failed with ");
        PutError(g_out, o.error);
        Put(g_out, "\n");
    }
    return o.result;
}
