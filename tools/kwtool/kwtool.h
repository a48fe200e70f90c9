// kwtool: drives an installed kwdrv device from user mode through the Win32 API alone
// (kernel32 and setupapi), with no C runtime: console output, numbers and memory are its own.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include "kwdrv_ioctl.h"

// Exit codes.
enum {
    KW_EXIT_OK = 0,
    KW_EXIT_FAILED = 1,     // a request failed or the data was not what was sent
    KW_EXIT_USAGE = 2,      // the command line cannot be used
    KW_EXIT_NO_DEVICE = 3,  // no device, or it cannot be opened
    KW_EXIT_TIMEOUT = 4,    // nothing happened within the time limit
};

// ---- out.cpp: console output, buffered, through WriteFile on the standard handles ----
struct Out {
    DWORD which;  // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
    DWORD used;
    char buffer[512];
};
extern Out g_out;
extern Out g_err;
void Put(Out& o, const char* text);
void PutDec(Out& o, unsigned long long value);
void PutHex(Out& o, DWORD value, int digits);  // "0x" and exactly `digits` digits
void PutWide(Out& o, const WCHAR* text);                // ASCII; anything else as '?'
void PutBytes(Out& o, const BYTE* data, DWORD length);  // hex, 16 a line, indented
void PutError(Out& o, DWORD error);                     // "ERROR_X (n)"
void Flush(Out& o);

// ---- args.cpp: numbers and names on the command line ----
bool ParseNumber(const char* text, DWORD* value);  // decimal or 0x hex
bool ParseHexByte(const char* text, BYTE* value);
bool Same(const char* a, const char* b);
// "pattern N" or hex bytes, from args[0] to args[count-1]; at most `cap` bytes.
bool ParseData(char** args, int count, BYTE* data, DWORD cap, DWORD* length);
void CopyMemoryBytes(void* to, const void* from, DWORD length);

// ---- device.cpp: finding and opening the device, its descriptors and pipe table ----
struct Pipe {
    BYTE index;
    BYTE address;   // bEndpointAddress
    BYTE type;      // bmAttributes & 3: 1 isochronous, 2 bulk, 3 interrupt
    WORD maxPacket;
    BYTE interval;
};
enum { KW_MAX_PIPES = 14, KW_PATH_CHARS = 512, KW_SET_BYTES = 65536 };

struct Session {
    DWORD deviceIndex;  // which enumerated interface (-d)
    DWORD timeoutMs;    // the limit of every wait (-t)
    WCHAR path[KW_PATH_CHARS];
    HANDLE control;     // the interface path alone, overlapped
    BYTE* io;           // VirtualAlloc'd buffer every request uses
    DWORD ioBytes;
    BYTE deviceDescriptor[18];
    BYTE* set;          // the configuration set, in `io`'s tail
    DWORD setLength;
    Pipe pipes[KW_MAX_PIPES];
    int pipeCount;
};

// The index-th interface of the driver's class: its path. False with ERROR_NO_MORE_ITEMS past
// the last one.
bool FindInterface(DWORD index, WCHAR* path, DWORD chars);
// CreateFile on the interface path plus pipeName ("" for the interface alone), overlapped.
HANDLE OpenDevice(const WCHAR* path, const char* pipeName);
// Opens the session's device and reads both descriptors and the pipe table. Prints why not.
int OpenSession(Session& s);
void CloseSession(Session& s);
// The pipe table as the driver builds it: interface 0's alternate setting 1 when the set has
// one, otherwise setting 0; its endpoints in order.
int BuildPipes(const BYTE* set, DWORD length, Pipe* pipes, int cap);
// A pipe named on the command line: an index ("1") or a name ("KWDrv1").
const Pipe* FindPipe(const Session& s, const char* word);
// Opens the pipe named on the command line (*pipe: its entry, name: "\KWDrvN"); prints why not.
HANDLE OpenPipe(Session& s, const char* word, const Pipe** pipe, char name[8]);
// "\KWDrvN" for a pipe index.
void PipeName(BYTE index, char name[8]);
const char* TypeName(BYTE type);

// ---- io.cpp: overlapped requests with bounded waits ----
enum RequestKind { KW_READ, KW_WRITE, KW_IOCTL };
struct Request {
    RequestKind kind;
    DWORD code;  // KW_IOCTL
    void* input;
    DWORD inputLength;
    void* output;  // the read buffer for KW_READ, the data for KW_WRITE
    DWORD outputLength;
    DWORD offset;  // the byte offset (isochronous pipes: the start frame)
    DWORD offsetHigh;
};
struct Outcome {
    int result;  // KW_EXIT_OK, KW_EXIT_FAILED or KW_EXIT_TIMEOUT
    DWORD moved;
    DWORD error;  // when not OK (ERROR_OPERATION_ABORTED after a time-out's cancel)
};
// Issues r on h and waits at most timeoutMs; a request still pending then is cancelled
// (CancelIo) and waited for.
Outcome Perform(HANDLE h, const Request& r, DWORD timeoutMs);
// Two-phase form for requests kept in flight together.
struct InFlight {
    OVERLAPPED ov;
    bool pending;  // issued and not yet collected
    Outcome early; // the outcome of a request that did not pend
};
bool Issue(HANDLE h, const Request& r, InFlight& f);
Outcome Collect(HANDLE h, InFlight& f, DWORD timeoutMs);
void ReleaseInFlight(InFlight& f);
// Prints `what` and `name` and how a request that did not succeed ended; returns its exit code.
int ReportOutcome(const char* what, const char* name, const Outcome& o, DWORD timeoutMs);
unsigned long long Ticks();          // QueryPerformanceCounter
unsigned long long TicksPerSecond();

// ---- commands: each returns an exit code ----
int CmdList(Session& s);
int CmdInfo(Session& s);
int CmdRead(Session& s, char** args, int count);
int CmdWrite(Session& s, char** args, int count);
int CmdLoop(Session& s, char** args, int count);
int CmdIso(Session& s, char** args, int count);
int CmdVendor(Session& s, char** args, int count);
int CmdResetPipe(Session& s, char** args, int count);
int CmdResetPort(Session& s);
int CmdWaitUnplug(Session& s, char** args, int count);
void PutDeviceDescriptor(const BYTE* d);
void PutConfigurationSet(const BYTE* set, DWORD length);
void PutPipes(const Session& s);

// The program: argv[1..] as typed. Commands may be chained with "+".
int KwToolMain(int argc, char** argv);
