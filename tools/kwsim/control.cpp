// kwsim's device-control commands: any code with chosen buffers (ioctl), and named commands for
// the driver's own codes (descriptor, resetpipe, resetport, vendor). Requests go through the
// application process as DeviceIoControl, so the I/O manager builds their buffers as Windows does.
#include "session.h"

#include "decode.h"

#include "kwdrv_ioctl.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace kwsim {
namespace {

using ByteList = std::vector<UCHAR>;

std::string CodeName(ULONG code) {
    static const std::pair<ULONG, const char*> kNames[] = {
        {IOCTL_KW_GET_CONFIG_DESCRIPTOR, "IOCTL_KW_GET_CONFIG_DESCRIPTOR"},
        {IOCTL_KW_RESET_PORT, "IOCTL_KW_RESET_PORT"},
        {IOCTL_KW_RESET_PIPE, "IOCTL_KW_RESET_PIPE"},
        {IOCTL_KW_GET_DEVICE_DESCRIPTOR, "IOCTL_KW_GET_DEVICE_DESCRIPTOR"},
        {IOCTL_KW_VENDOR_IN_0C, "IOCTL_KW_VENDOR_IN_0C"},
        {IOCTL_KW_VENDOR_OUT_0C, "IOCTL_KW_VENDOR_OUT_0C"},
        {IOCTL_KW_VENDOR_IN_01, "IOCTL_KW_VENDOR_IN_01"},
        {IOCTL_KW_VENDOR_OUT_02, "IOCTL_KW_VENDOR_OUT_02"},
        {IOCTL_KW_NO_OPERATION, "IOCTL_KW_NO_OPERATION"},
        {IOCTL_KW_VENDOR_OUT_00, "IOCTL_KW_VENDOR_OUT_00"},
        {IOCTL_KW_VENDOR_OUT_00_ALT, "IOCTL_KW_VENDOR_OUT_00_ALT"},
    };
    for (auto [c, name] : kNames) {
        if (c == code) return name;
    }
    return Hex(code, 8);
}

bool Number(const std::string& w, unsigned long* v, int base = 0) {
    char* end = nullptr;
    *v = std::strtoul(w.c_str(), &end, base);
    return !w.empty() && *end == '\0';
}

// Hex bytes from words[*at] up to the next keyword in `stops`.
bool HexBytes(const std::vector<std::string>& w, size_t* at, const std::vector<std::string>& stops, ByteList* out) {
    for (; *at < w.size(); ++*at) {
        for (const std::string& s : stops) {
            if (w[*at] == s) return true;
        }
        unsigned long b = 0;
        if (!Number(w[*at], &b, 16) || b > 0xFF) return false;
        out->push_back(static_cast<UCHAR>(b));
    }
    return true;
}

ByteList RecordBytes(USHORT value, ULONG length, ULONG address, USHORT index) {
    VENDOR_REQUEST r{value, 0, length, address, index};
    ByteList b(VENDOR_REQUEST_MINIMUM_LENGTH);
    std::memcpy(b.data(), &r, b.size());
    return b;
}

}  // namespace

Session::IoctlReply Session::SendIoctl(sim::app::Handle h, ULONG code, const ByteList& in, ULONG outLength) {
    PVOID input = in.empty() ? nullptr : app_->Alloc(in.size());
    if (input != nullptr) app_->Store(input, in.data(), in.size());
    PVOID output = outLength != 0 ? app_->Alloc(outLength) : nullptr;
    sim::app::IoResult r = sim::app::AwaitResult(
        app_->DeviceIoControl(h, code, input, static_cast<ULONG>(in.size()), output, outLength, &ov_), ov_);
    IoctlReply reply{r.status, r.iosb.Information, {}};
    if (output != nullptr && r.iosb.Information <= outLength) reply.out = app_->Load(output, r.iosb.Information);
    if (input != nullptr) app_->Free(input);
    if (output != nullptr) app_->Free(output);
    return reply;
}

bool Session::ControlHandle(sim::app::Handle* h) {
    if (control_ == sim::app::kInvalidHandle) {
        sim::app::OpenResult r = app_->Open(InterfacePath(), sim::app::OpenOptions{true});
        if (!NT_SUCCESS(r.status)) {
            std::cerr << "kwsim: cannot open the interface path: " << sim::StatusName(r.status) << "\n";
            return false;
        }
        control_ = r.handle;
    }
    *h = control_;
    return true;
}

void Session::CloseControlHandle() {
    if (control_ == sim::app::kInvalidHandle) return;
    app_->Close(control_);
    app_->Flush();
    control_ = sim::app::kInvalidHandle;
}

// ioctl HANDLE CODE [in BYTES...] [out N] [expect BYTES...]
bool Session::Ioctl(const std::vector<std::string>& w) {
    sim::app::Handle h;
    unsigned long code = 0, outLength = 0;
    ByteList in, expected;
    bool expect = false;
    if (!FindHandle(w[1], &h)) return false;
    bool ok = Number(w[2], &code, 16);
    for (size_t i = 3; ok && i < w.size();) {
        const std::string key = w[i++];
        if (key == "in") ok = HexBytes(w, &i, {"out", "expect"}, &in);
        else if (key == "out" && i < w.size()) ok = Number(w[i++], &outLength) && outLength <= 65536;
        else if (key == "expect") expect = true, ok = HexBytes(w, &i, {}, &expected);
        else ok = false;
    }
    if (!ok) {
        std::cerr << "kwsim: ioctl HANDLE CODE [in BYTES...] [out N] [expect BYTES...] (CODE and BYTES in hex)\n";
        return false;
    }
    IoctlReply r = SendIoctl(h, static_cast<ULONG>(code), in, static_cast<ULONG>(outLength));
    Step s("ioctl " + w[1] + " " + CodeName(static_cast<ULONG>(code)), r.status, r.info);
    s.details = {{"in", in.empty() ? "(none)" : Bytes(in.data(), in.size())},
                 {"out", r.out.empty() ? "(none)" : Bytes(r.out.data(), r.out.size())}};
    s.failed = expect && (!NT_SUCCESS(r.status) || r.out != expected);
    if (s.failed) s.details.push_back({"expected", Bytes(expected.data(), expected.size())});
    out_.Print(s);
    return true;
}

// descriptor device|config: the copy the driver returns, decoded and compared with the device's own.
bool Session::Descriptor(const std::vector<std::string>& w) {
    sim::app::Handle h;
    const bool device = w[1] == "device";
    if ((!device && w[1] != "config") || !ControlHandle(&h)) return false;
    IoctlReply r = SendIoctl(h, device ? IOCTL_KW_GET_DEVICE_DESCRIPTOR : IOCTL_KW_GET_CONFIG_DESCRIPTOR, {}, 4096);
    Step s(std::string("descriptor ") + w[1], r.status, r.info);
    const sim::usb::DeviceDescription& d = bus_->PluggedDevice()->Description();
    const ByteList& own = device ? d.device : d.configuration;
    if (device && r.out.size() == sizeof(USB_DEVICE_DESCRIPTOR)) {
        USB_DEVICE_DESCRIPTOR dd;
        std::memcpy(&dd, r.out.data(), sizeof dd);
        s.details = DecodeDeviceDescriptor(dd);
    } else if (!device) {
        s.details = DecodeConfigurationSet(r.out.data(), r.out.size());
    }
    s.failed = !NT_SUCCESS(r.status) || r.out != own;
    if (r.out != own) s.details.push_back({"!", "differs from the device's own descriptor " + Bytes(own.data(), own.size())});
    out_.Print(s);
    return true;
}

// resetpipe NAME | resetport
bool Session::Reset(const std::vector<std::string>& w) {
    sim::app::Handle h;
    const bool pipe = w[0] == "resetpipe";
    if (pipe ? !FindHandle(w[1], &h) : !ControlHandle(&h)) return false;
    IoctlReply r = SendIoctl(h, pipe ? IOCTL_KW_RESET_PIPE : IOCTL_KW_RESET_PORT, {}, 0);
    Step s(pipe ? "resetpipe " + w[1] : "resetport", r.status, r.info);
    s.failed = !NT_SUCCESS(r.status);
    out_.Print(s);
    return true;
}

// vendor in 0C|01 LENGTH [value V] [index I] [expect BYTES...|stored]
// vendor out 0C|02|00 BYTES... [value V] [index I]
bool Session::Vendor(const std::vector<std::string>& w) {
    sim::app::Handle h;
    const bool in = w[1] == "in";
    unsigned long request = 0, length = 0, value = 0, index = 0;
    ByteList data, expected;
    bool expect = false, ok = (in || w[1] == "out") && Number(w[2], &request, 16);
    size_t i = 3;
    if (ok && in) ok = i < w.size() && Number(w[i++], &length) && length <= 65535;
    if (ok && !in) ok = HexBytes(w, &i, {"value", "index"}, &data);
    while (ok && i < w.size()) {
        const std::string key = w[i++];
        if (key == "value" && i < w.size()) ok = Number(w[i++], &value) && value <= 0xFFFF;
        else if (key == "index" && i < w.size()) ok = Number(w[i++], &index) && index <= 0xFFFF;
        else if (key == "expect" && in && i < w.size() && w[i] == "stored") expect = true, expected = lastBlock_, ++i;
        else if (key == "expect" && in) expect = true, ok = HexBytes(w, &i, {}, &expected);
        else ok = false;
    }
    ULONG code = in ? (request == 0x0C ? IOCTL_KW_VENDOR_IN_0C : request == 0x01 ? IOCTL_KW_VENDOR_IN_01 : 0)
                    : (request == 0x0C ? IOCTL_KW_VENDOR_OUT_0C : request == 0x02 ? IOCTL_KW_VENDOR_OUT_02
                                                                : request == 0x00 ? IOCTL_KW_VENDOR_OUT_00 : 0);
    if (!ok || code == 0) {
        std::cerr << "kwsim: vendor in 0C|01 LENGTH [value V] [index I] [expect BYTES...|stored], or\n"
                     "       vendor out 0C|02|00 BYTES... [value V] [index I]\n";
        return false;
    }
    if (!ControlHandle(&h)) return false;
    ByteList input;
    PVOID source = nullptr;
    if (code == IOCTL_KW_VENDOR_OUT_0C) {
        // The record is the first part of the data stage: the device gets record and bytes.
        input = RecordBytes(static_cast<USHORT>(value), static_cast<ULONG>(VENDOR_REQUEST_MINIMUM_LENGTH + data.size()), 0,
                            static_cast<USHORT>(index));
        input.insert(input.end(), data.begin(), data.end());
    } else if (!in) {
        source = app_->Alloc(data.empty() ? 1 : data.size());
        if (!data.empty()) app_->Store(source, data.data(), data.size());
        input = RecordBytes(static_cast<USHORT>(value), static_cast<ULONG>(data.size()),
                            static_cast<ULONG>(reinterpret_cast<uintptr_t>(source)), static_cast<USHORT>(index));
    } else {
        input = RecordBytes(static_cast<USHORT>(value), static_cast<ULONG>(length), 0, static_cast<USHORT>(index));
    }
    IoctlReply r = SendIoctl(h, code, input, in ? static_cast<ULONG>(length) : 0);
    if (source != nullptr) app_->Free(source);
    Step s("vendor " + w[1] + " " + Hex(static_cast<unsigned>(request), 2) + " (" + CodeName(code) + ")", r.status, r.info);
    s.details = {{"record", Bytes(input.data(), VENDOR_REQUEST_MINIMUM_LENGTH)}};
    if (in) s.details.push_back({"data", r.out.empty() ? "(none)" : Bytes(r.out.data(), r.out.size())});
    if (in) s.fields["bytes"] = r.out;
    const ByteList& sent = code == IOCTL_KW_VENDOR_OUT_0C ? input : data;
    if (!in) s.details.push_back({"sent", sent.empty() ? "(none)" : Bytes(sent.data(), sent.size())});
    if (NT_SUCCESS(r.status) && code == IOCTL_KW_VENDOR_OUT_0C) lastBlock_ = input;
    s.failed = !NT_SUCCESS(r.status) || (expect && r.out != expected);
    if (expect && r.out != expected) s.details.push_back({"expected", Bytes(expected.data(), expected.size())});
    out_.Print(s);
    return true;
}

}  // namespace kwsim
