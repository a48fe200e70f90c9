// kwtool's command line: options, then one command, or several joined by "+", run in order on
// one device until one fails.
#include "kwtool.h"

static const char kUsage[] =
    "usage: kwtool [-d INDEX] [-t MS] COMMAND [ARGS...] [+ COMMAND [ARGS...]]...\n"
    "  -d INDEX   the device to use, as `list` numbers them (default 0)\n"
    "  -t MS      the longest wait for any one request (default 5000); a request still\n"
    "             pending then is cancelled\n"
    "commands (PIPE is an index, 1, or a name, KWDrv1, from the pipe table `info` shows):\n"
    "  list                       the kwdrv devices present, with their interface paths\n"
    "  info                       device and configuration descriptors, the pipe table\n"
    "  read PIPE LENGTH           read up to LENGTH bytes and show them\n"
    "  write PIPE BYTES...        write hex bytes (01 02 ff), or `pattern N` (00 01 02 ...)\n"
    "  loop OUT IN BYTES COUNT    send COUNT blocks through OUT and read each back on IN;\n"
    "                             every byte is checked; shows the throughput\n"
    "  iso PIPE BYTES COUNT       stream COUNT isochronous requests of BYTES each, two in flight\n"
    "  vendor in 0C|01 LENGTH [value V] [index I]\n"
    "  vendor out 0C|02|00 BYTES... [value V] [index I]\n"
    "                             the driver's vendor requests\n"
    "  resetpipe PIPE             reset a pipe\n"
    "  resetport                  reset the hub port (done only when the port is disabled)\n"
    "  wait-unplug [SECONDS]      keep a read pending until the device is unplugged (default 60 s)\n"
    "exit codes: 0 done, 1 a request failed or data differed, 2 usage, 3 no device,\n"
    "            4 nothing within the time limit\n";

static int Usage(const char* why)
{
    Put(g_err, "kwtool: ");
    Put(g_err, why);
    Put(g_err, "\n");
    Put(g_err, kUsage);
    return KW_EXIT_USAGE;
}

static int RunCommand(Session& s, char** words, int count)
{
    const char* verb = words[0];
    char** args = words + 1;
    int n = count - 1;
    if (Same(verb, "list") && n == 0) return CmdList(s);
    if (s.control == NULL) {
        int opened = OpenSession(s);
        if (opened != KW_EXIT_OK) return opened;
    }
    if (Same(verb, "info") && n == 0) return CmdInfo(s);
    if (Same(verb, "read")) return CmdRead(s, args, n);
    if (Same(verb, "write")) return CmdWrite(s, args, n);
    if (Same(verb, "loop")) return CmdLoop(s, args, n);
    if (Same(verb, "iso")) return CmdIso(s, args, n);
    if (Same(verb, "vendor")) return CmdVendor(s, args, n);
    if (Same(verb, "resetpipe")) return CmdResetPipe(s, args, n);
    if (Same(verb, "resetport") && n == 0) return CmdResetPort(s);
    if (Same(verb, "wait-unplug")) return CmdWaitUnplug(s, args, n);
    return Usage("unknown command or wrong number of words");
}

static int Options(Session& s, int argc, char** argv, int* first)
{
    int i = 1;
    while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
        DWORD v = 0;
        if (Same(argv[i], "-h") || Same(argv[i], "--help")) {
            Put(g_out, kUsage);
            return KW_EXIT_OK;
        }
        if (i + 1 >= argc || !ParseNumber(argv[i + 1], &v)) return Usage("an option lacks its number");
        if (Same(argv[i], "-d")) s.deviceIndex = v;
        else if (Same(argv[i], "-t") && v != 0 && v != INFINITE) s.timeoutMs = v;
        else return Usage("unknown option");
        i += 2;  // the option and its number
    }
    *first = i;
    return i < argc ? -1 : Usage("no command");
}

int KwToolMain(int argc, char** argv)
{
    Session s = {};
    s.timeoutMs = 5000;
    int first = 0;
    int early = Options(s, argc, argv, &first);
    if (early >= 0) {
        Flush(g_out);
        Flush(g_err);
        return early;
    }
    s.ioBytes = (1u << 20) + KW_SET_BYTES;
    s.io = static_cast<BYTE*>(VirtualAlloc(NULL, s.ioBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    int result = s.io == NULL ? KW_EXIT_FAILED : KW_EXIT_OK;
    while (result == KW_EXIT_OK && first < argc) {
        int end = first;
        while (end < argc && !Same(argv[end], "+")) ++end;
        result = end == first ? Usage("an empty command") : RunCommand(s, argv + first, end - first);
        first = end + 1;
    }
    CloseSession(s);
    if (s.io != NULL) VirtualFree(s.io, 0, MEM_RELEASE);
    Flush(g_out);
    Flush(g_err);
    return result;
}
