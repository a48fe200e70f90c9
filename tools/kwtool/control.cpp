// Commands on the device as a whole: info (descriptors and pipe table), the vendor requests,
// and the pipe and port resets.
#include "kwtool.h"

static void Field(const char* name, DWORD value, int hexDigits)
{
    Put(g_out, "  ");
    Put(g_out, name);
    Put(g_out, " ");
    if (hexDigits != 0) PutHex(g_out, value, hexDigits);
    else PutDec(g_out, value);
    Put(g_out, "\n");
}

void PutDeviceDescriptor(const BYTE* d)
{
    Put(g_out, "device descriptor\n");
    Field("bcdUSB", d[2] | (d[3] << 8), 4);
    Field("bDeviceClass", d[4], 2);
    Field("bMaxPacketSize0", d[7], 0);
    Field("idVendor", d[8] | (d[9] << 8), 4);
    Field("idProduct", d[10] | (d[11] << 8), 4);
    Field("bcdDevice", d[12] | (d[13] << 8), 4);
    Field("bNumConfigurations", d[17], 0);
}

void PutConfigurationSet(const BYTE* set, DWORD length)
{
    Put(g_out, "configuration descriptor set (");
    PutDec(g_out, length);
    Put(g_out, " bytes)\n");
    for (DWORD at = 0; at + 2 <= length && set[at] >= 2 && at + set[at] <= length; at += set[at]) {
        const BYTE* d = set + at;
        if (d[1] == 2 && d[0] >= 9) {
            Put(g_out, "  configuration ");
            PutDec(g_out, d[5]);
            Put(g_out, ": ");
            PutDec(g_out, d[4]);
            Put(g_out, " interface(s), wTotalLength ");
            PutDec(g_out, d[2] | (d[3] << 8));
            Put(g_out, ", bMaxPower ");
            PutDec(g_out, d[8] * 2u);
            Put(g_out, " mA\n");
        } else if (d[1] == 4 && d[0] >= 9) {
            Put(g_out, "  interface ");
            PutDec(g_out, d[2]);
            Put(g_out, " setting ");
            PutDec(g_out, d[3]);
            Put(g_out, ": ");
            PutDec(g_out, d[4]);
            Put(g_out, " endpoint(s), class ");
            PutHex(g_out, d[5], 2);
            Put(g_out, "\n");
        } else if (d[1] == 5 && d[0] >= 7) {
            Put(g_out, "    endpoint ");
            PutHex(g_out, d[2], 2);
            Put(g_out, (d[2] & 0x80) != 0 ? " IN  " : " OUT ");
            Put(g_out, TypeName(d[3] & 3));
            Put(g_out, ", wMaxPacketSize ");
            PutDec(g_out, d[4] | (d[5] << 8));
            Put(g_out, ", bInterval ");
            PutDec(g_out, d[6]);
            Put(g_out, "\n");
        } else {
            Put(g_out, "  descriptor type ");
            PutHex(g_out, d[1], 2);
            Put(g_out, ", ");
            PutDec(g_out, d[0]);
            Put(g_out, " bytes\n");
        }
    }
}

void PutPipes(const Session& s)
{
    Put(g_out, "pipes\n");
    for (int i = 0; i < s.pipeCount; ++i) {
        const Pipe& p = s.pipes[i];
        char name[8];
        PipeName(p.index, name);
        Put(g_out, "  ");
        Put(g_out, name);
        Put(g_out, "  ");
        Put(g_out, TypeName(p.type));
        Put(g_out, (p.address & 0x80) != 0 ? " IN  " : " OUT ");
        PutHex(g_out, p.address, 2);
        Put(g_out, "  maxPacket ");
        PutDec(g_out, p.maxPacket);
        Put(g_out, "  interval ");
        PutDec(g_out, p.interval);
        Put(g_out, "\n");
    }
}

int CmdInfo(Session& s)
{
    Put(g_out, "interface path ");
    PutWide(g_out, s.path);
    Put(g_out, "\n");
    PutDeviceDescriptor(s.deviceDescriptor);
    PutConfigurationSet(s.set, s.setLength);
    PutPipes(s);
    return KW_EXIT_OK;
}

// Prints a device-control request's outcome; returns its exit code.
static int Done(const char* what, const char* name, const Outcome& o, DWORD timeoutMs)
{
    if (o.result != KW_EXIT_OK) return ReportOutcome(what, name, o, timeoutMs);
    Put(g_out, what);
    Put(g_out, name);
    Put(g_out, ": done\n");
    return KW_EXIT_OK;
}

int CmdResetPort(Session& s)
{
    Request r = {KW_IOCTL, IOCTL_KW_RESET_PORT, NULL, 0, NULL, 0, 0, 0};
    return Done("reset port", "", Perform(s.control, r, s.timeoutMs), s.timeoutMs);
}

int CmdResetPipe(Session& s, char** args, int count)
{
    if (count != 1) {
        Put(g_err, "kwtool: resetpipe PIPE\n");
        return KW_EXIT_USAGE;
    }
    const Pipe* p = NULL;
    char name[8];
    HANDLE h = OpenPipe(s, args[0], &p, name);
    if (h == INVALID_HANDLE_VALUE) return KW_EXIT_NO_DEVICE;
    Request r = {KW_IOCTL, IOCTL_KW_RESET_PIPE, NULL, 0, NULL, 0, 0, 0};
    Outcome o = Perform(h, r, s.timeoutMs);
    CloseHandle(h);
    return Done("reset pipe ", name, o, s.timeoutMs);
}

static void StoreRecord(BYTE* at, DWORD value, DWORD length, DWORD address,
                        DWORD index)
{
    const BYTE record[VENDOR_REQUEST_MINIMUM_LENGTH] = {
        static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), 0, 0,
        static_cast<BYTE>(length), static_cast<BYTE>(length >> 8), static_cast<BYTE>(length >> 16),
        static_cast<BYTE>(length >> 24), static_cast<BYTE>(address), static_cast<BYTE>(address >> 8),
        static_cast<BYTE>(address >> 16), static_cast<BYTE>(address >> 24), static_cast<BYTE>(index),
        static_cast<BYTE>(index >> 8)};
    CopyMemoryBytes(at, record, sizeof record);
}

// Trailing "value V" and "index I" words, from args[*at] on.
static bool ValueAndIndex(char** args, int count, int at, DWORD* value, DWORD* index)
{
    for (; at + 1 < count; at += 2) {
        DWORD* to = Same(args[at], "value") ? value : Same(args[at], "index") ? index : NULL;
        if (to == NULL || !ParseNumber(args[at + 1], to) || *to > 0xFFFF) return false;
    }
    return at == count;
}

// The vendor codes by direction and request: in 0C|01, out 0C|02|00.
static DWORD VendorCode(bool in, BYTE request)
{
    if (in) return request == 0x0C ? IOCTL_KW_VENDOR_IN_0C : request == 0x01 ? IOCTL_KW_VENDOR_IN_01 : 0;
    return request == 0x0C ? IOCTL_KW_VENDOR_OUT_0C : request == 0x02 ? IOCTL_KW_VENDOR_OUT_02
                                                     : request == 0x00 ? IOCTL_KW_VENDOR_OUT_00 : 0;
}

// vendor in 0C|01 LENGTH [value V] [index I]
// vendor out 0C|02|00 BYTES... [value V] [index I]
int CmdVendor(Session& s, char** args, int count)
{
    const bool in = count >= 1 && Same(args[0], "in");
    BYTE request = 0xFF;
    DWORD length = 0, value = 0, index = 0;
    int data = 3;  // first word after the data bytes
    bool ok = count >= 3 && (in || Same(args[0], "out")) && ParseHexByte(args[1], &request);
    if (ok && in) ok = ParseNumber(args[2], &length) && length <= 0xFFFF;
    if (ok && !in) {
        for (data = 2; data < count && !Same(args[data], "value") && !Same(args[data], "index");) ++data;
    }
    DWORD code = VendorCode(in, request);
    BYTE* record = s.io;
    BYTE* bytes = s.io + 64;  // data of 02 and 00, at DataAddress
    DWORD sent = 0;
    ok = ok && code != 0 && ValueAndIndex(args, count, data, &value, &index);
    if (ok && !in) ok = ParseData(args + 2, data - 2, bytes, 0xFFFF, &sent);
    if (!ok) {
        Put(g_err, "kwtool: vendor in 0C|01 LENGTH [value V] [index I]\n"
                   "        vendor out 0C|02|00 BYTES... [value V] [index I]\n");
        return KW_EXIT_USAGE;
    }
    Request r = {KW_IOCTL, code, record, VENDOR_REQUEST_MINIMUM_LENGTH, NULL, 0, 0, 0};
    if (in) {
        StoreRecord(record, value, length, 0, index);
        r.output = bytes;
        r.outputLength = length;
    } else if (code == IOCTL_KW_VENDOR_OUT_0C) {
        // The record is the head of the data stage: the device gets the record and the bytes.
        StoreRecord(record, value, VENDOR_REQUEST_MINIMUM_LENGTH + sent, 0, index);
        CopyMemoryBytes(record + VENDOR_REQUEST_MINIMUM_LENGTH, bytes, sent);
        r.inputLength = VENDOR_REQUEST_MINIMUM_LENGTH + sent;
    } else {
        StoreRecord(record, value, sent, PtrToUlong(bytes), index);
    }
    Outcome o = Perform(s.control, r, s.timeoutMs);
    char what[16] = "vendor out 0x";
    if (in) CopyMemoryBytes(what, "vendor in 0x", 13);
    char hex[3] = {"0123456789ABCDEF"[request >> 4], "0123456789ABCDEF"[request & 0xF], '\0'};
    int result = Done(what, hex, o, s.timeoutMs);
    if (result == KW_EXIT_OK && in) {
        Put(g_out, "received ");
        PutDec(g_out, o.moved);
        Put(g_out, " bytes\n");
        if (o.moved != 0) PutBytes(g_out, bytes, o.moved);
    }
    return result;
}
