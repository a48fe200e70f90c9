// Commands that move data through pipes: read, write, loop, iso, and wait-unplug, which keeps a
// read pending until the device goes away.
#include "kwtool.h"

static bool IsIn(const Pipe* p) { return (p->address & 0x80) != 0; }

// Opens the pipe, performs one read or write of `length` bytes at s.io on it and closes it.
// Prints why when it fails; returns the exit code.
static int OnePipeRequest(Session& s, const char* word, RequestKind kind, DWORD length, Outcome* o, char name[8])
{
    const Pipe* p = NULL;
    HANDLE h = OpenPipe(s, word, &p, name);
    if (h == INVALID_HANDLE_VALUE) return KW_EXIT_NO_DEVICE;
    Request r = {kind, 0, NULL, 0, s.io, length, 0, 0};
    *o = Perform(h, r, s.timeoutMs);
    CloseHandle(h);
    if (ReportOutcome(kind == KW_READ ? "read " : "write ", name, *o, s.timeoutMs) != KW_EXIT_OK) return o->result;
    Put(g_out, kind == KW_READ ? "read " : "wrote ");
    PutDec(g_out, o->moved);
    Put(g_out, kind == KW_READ ? " bytes from " : " bytes to ");
    Put(g_out, name);
    Put(g_out, "\n");
    // A short write is a failure except on an isochronous pipe, where late packets are dropped.
    return kind == KW_READ || o->moved == length || p->type == 1 ? KW_EXIT_OK : KW_EXIT_FAILED;
}

int CmdRead(Session& s, char** args, int count)
{
    DWORD length = 0;
    if (count != 2 || !ParseNumber(args[1], &length) || length > s.ioBytes - KW_SET_BYTES) {
        Put(g_err, "kwtool: read PIPE LENGTH\n");
        return KW_EXIT_USAGE;
    }
    Outcome o;
    char name[8];
    int result = OnePipeRequest(s, args[0], KW_READ, length, &o, name);
    if (result == KW_EXIT_OK && o.moved != 0) PutBytes(g_out, s.io, o.moved);
    return result;
}

int CmdWrite(Session& s, char** args, int count)
{
    DWORD length = 0;
    if (count < 2 || !ParseData(args + 1, count - 1, s.io, s.ioBytes - KW_SET_BYTES, &length)) {
        Put(g_err, "kwtool: write PIPE BYTES... (hex) or write PIPE pattern N\n");
        return KW_EXIT_USAGE;
    }
    Outcome o;
    char name[8];
    return OnePipeRequest(s, args[0], KW_WRITE, length, &o, name);
}

static void PutRate(unsigned long long bytes, unsigned long long ticks)
{
    unsigned long long perSecond = ticks == 0 ? 0 : bytes * TicksPerSecond() / ticks;
    PutDec(g_out, perSecond);
    Put(g_out, " bytes/s");
}

// One round of a loop: the read is posted first, so a device that cannot buffer a whole block
// still has somewhere to put it; an isochronous pair writes first, since packets that arrive
// before the read's frames are not kept.
static int LoopOnce(Session& s, HANDLE out, HANDLE in, bool iso, DWORD bytes, DWORD round)
{
    BYTE* sent = s.io;
    BYTE* got = s.io + bytes;
    for (DWORD i = 0; i < bytes; ++i) sent[i] = static_cast<BYTE>(i + round);
    Request w = {KW_WRITE, 0, NULL, 0, sent, bytes, 0, 0};
    Request r = {KW_READ, 0, NULL, 0, got, bytes, 0, 0};
    InFlight fw, fr;
    if (iso) {
        Issue(out, w, fw);
        Issue(in, r, fr);
    } else {
        Issue(in, r, fr);
        Issue(out, w, fw);
    }
    Outcome ow = Collect(out, fw, s.timeoutMs);
    Outcome orr = Collect(in, fr, s.timeoutMs);
    ReleaseInFlight(fw);
    ReleaseInFlight(fr);
    int result = ReportOutcome("loop: write", "", ow, s.timeoutMs);
    if (result == KW_EXIT_OK) result = ReportOutcome("loop: read", "", orr, s.timeoutMs);
    if (result != KW_EXIT_OK) return result;
    for (DWORD i = 0; i < bytes; ++i) {
        if (i >= orr.moved || got[i] != sent[i]) {
            Put(g_out, "data differs in round ");
            PutDec(g_out, round);
            Put(g_out, " at byte ");
            PutDec(g_out, i);
            Put(g_out, ": sent ");
            PutHex(g_out, sent[i], 2);
            Put(g_out, i >= orr.moved ? ", received nothing (" : ", received ");
            if (i >= orr.moved) PutDec(g_out, orr.moved), Put(g_out, " bytes came back)");
            else PutHex(g_out, got[i], 2);
            Put(g_out, "\n");
            return KW_EXIT_FAILED;
        }
    }
    return KW_EXIT_OK;
}

int CmdLoop(Session& s, char** args, int count)
{
    DWORD bytes = 0, rounds = 0;
    if (count != 4 || !ParseNumber(args[2], &bytes) || !ParseNumber(args[3], &rounds) || bytes == 0 ||
        bytes > (s.ioBytes - KW_SET_BYTES) / 2) {
        Put(g_err, "kwtool: loop OUT IN BYTES COUNT\n");
        return KW_EXIT_USAGE;
    }
    const Pipe *po = NULL, *pi = NULL;
    char name[8];
    HANDLE out = OpenPipe(s, args[0], &po, name);
    if (out == INVALID_HANDLE_VALUE) return KW_EXIT_NO_DEVICE;
    HANDLE in = OpenPipe(s, args[1], &pi, name);
    if (in == INVALID_HANDLE_VALUE) {
        CloseHandle(out);
        return KW_EXIT_NO_DEVICE;
    }
    int result = KW_EXIT_OK;
    if (IsIn(po) || !IsIn(pi)) {
        Put(g_err, "kwtool: loop takes an OUT pipe, then an IN pipe\n");
        result = KW_EXIT_USAGE;
    }
    unsigned long long start = Ticks();
    DWORD done = 0;
    for (; result == KW_EXIT_OK && done < rounds; ++done) {
        result = LoopOnce(s, out, in, po->type == 1, bytes, done);
    }
    unsigned long long elapsed = Ticks() - start;
    CloseHandle(in);
    CloseHandle(out);
    if (result != KW_EXIT_OK) return result;
    Put(g_out, "looped ");
    PutDec(g_out, rounds);
    Put(g_out, " x ");
    PutDec(g_out, bytes);
    Put(g_out, " bytes, every byte as sent; ");
    PutRate(2ull * rounds * bytes, elapsed);
    Put(g_out, " (out and in)\n");
    return KW_EXIT_OK;
}

// iso PIPE BYTES COUNT: COUNT requests of BYTES, two in flight at a time so the stream has no
// gap between requests; each starts as soon as possible.
int CmdIso(Session& s, char** args, int count)
{
    DWORD bytes = 0, rounds = 0;
    if (count != 3 || !ParseNumber(args[1], &bytes) || !ParseNumber(args[2], &rounds) || bytes == 0 ||
        bytes > (s.ioBytes - KW_SET_BYTES) / 2) {
        Put(g_err, "kwtool: iso PIPE BYTES COUNT\n");
        return KW_EXIT_USAGE;
    }
    const Pipe* p = NULL;
    char name[8];
    HANDLE h = OpenPipe(s, args[0], &p, name);
    if (h == INVALID_HANDLE_VALUE) return KW_EXIT_NO_DEVICE;
    int result = p->type == 1 ? KW_EXIT_OK : KW_EXIT_USAGE;
    if (result != KW_EXIT_OK) Put(g_err, "kwtool: iso needs an isochronous pipe\n");
    for (DWORD i = 0; i < 2 * bytes; ++i) s.io[i] = static_cast<BYTE>(i);
    InFlight slots[2];
    unsigned long long start = Ticks(), total = 0;
    DWORD issued = 0, collected = 0;
    while (result == KW_EXIT_OK && collected < rounds) {
        while (issued < rounds && issued - collected < 2) {
            Request r = {IsIn(p) ? KW_READ : KW_WRITE, 0, NULL, 0, s.io + (issued % 2) * bytes, bytes, 0, 0};
            Issue(h, r, slots[issued % 2]);
            ++issued;
        }
        Outcome o = Collect(h, slots[collected % 2], s.timeoutMs);
        ReleaseInFlight(slots[collected % 2]);
        result = ReportOutcome(IsIn(p) ? "isochronous read " : "isochronous write ", name, o, s.timeoutMs);
        total += o.moved;
        ++collected;
    }
    // Requests issued and not collected (after a failure) are cancelled and waited for.
    while (collected < issued) {
        CancelIo(h);
        Collect(h, slots[collected % 2], s.timeoutMs);
        ReleaseInFlight(slots[collected % 2]);
        ++collected;
    }
    unsigned long long elapsed = Ticks() - start;
    CloseHandle(h);
    if (result != KW_EXIT_OK) return result;
    Put(g_out, IsIn(p) ? "received " : "sent ");
    PutDec(g_out, total);
    Put(g_out, " of ");
    PutDec(g_out, static_cast<unsigned long long>(bytes) * rounds);
    Put(g_out, " bytes in ");
    PutDec(g_out, rounds);
    Put(g_out, " isochronous requests on ");
    Put(g_out, name);
    Put(g_out, "; ");
    PutRate(total, elapsed);
    Put(g_out, "\n");
    return KW_EXIT_OK;
}

// Whether the device still answers device control: after a removal it does not.
static bool StillThere(Session& s)
{
    Request r = {KW_IOCTL, IOCTL_KW_GET_DEVICE_DESCRIPTOR, NULL, 0, s.io + s.ioBytes / 2, 18, 0, 0};
    return Perform(s.control, r, s.timeoutMs).result == KW_EXIT_OK;
}

// wait-unplug [SECONDS]: a read stays pending on the first IN pipe (interrupt preferred) until
// the device is unplugged, which ends it with an error; a device that still answers after a
// failed read is read again. Exits 0 once the removal is seen, 4 when SECONDS pass first.
int CmdWaitUnplug(Session& s, char** args, int count)
{
    DWORD seconds = 60;
    if (count > 1 || (count == 1 && !ParseNumber(args[0], &seconds))) {
        Put(g_err, "kwtool: wait-unplug [SECONDS]\n");
        return KW_EXIT_USAGE;
    }
    const Pipe* p = NULL;
    for (int i = 0; i < s.pipeCount; ++i) {
        const Pipe* c = &s.pipes[i];
        if (IsIn(c) && c->type != 1 && (p == NULL || (c->type == 3 && p->type != 3))) p = c;
    }
    if (p == NULL) {
        Put(g_err, "kwtool: wait-unplug needs a bulk or interrupt IN pipe\n");
        return KW_EXIT_USAGE;
    }
    char word[4] = {static_cast<char>('0' + p->index), '\0'};
    char name[8];
    HANDLE h = OpenPipe(s, word, &p, name);
    if (h == INVALID_HANDLE_VALUE) return KW_EXIT_NO_DEVICE;
    Put(g_out, "waiting for the device to be unplugged (a read pending on ");
    Put(g_out, name);
    Put(g_out, ")\n");
    Flush(g_out);
    const unsigned long long deadline = Ticks() + seconds * TicksPerSecond();
    int result = KW_EXIT_TIMEOUT;
    while (result == KW_EXIT_TIMEOUT && Ticks() < deadline) {
        Request r = {KW_READ, 0, NULL, 0, s.io, p->maxPacket, 0, 0};
        Outcome o = Perform(h, r, 1000);
        if (o.result != KW_EXIT_FAILED || StillThere(s)) continue;
        Put(g_out, "the device was unplugged: the pending read ended with ");
        PutError(g_out, o.error);
        Put(g_out, "\n");
        result = KW_EXIT_OK;
    }
    CloseHandle(h);
    if (result == KW_EXIT_TIMEOUT) {
        Put(g_out, "the device is still present after ");
        PutDec(g_out, seconds);
        Put(g_out, " s\n");
    }
    return result;
}
