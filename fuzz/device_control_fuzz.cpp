// Device-control requests against a started device, as an application can send them: any code,
// input bytes, output length and the shape of each buffer (none, user memory at any offset in
// its page, a read-only page, an address that is not user memory), on a handle to the device or
// to a pipe.
//
// Input: code (4 bytes, little-endian), a shape byte (bits 0-1 the input buffer, 2-3 the output
// buffer: user memory, none, read-only, a kernel address; bit 4 a pipe handle), the output
// length (2 bytes), a page offset byte, then the input bytes.
#include "harness.h"

#include "app/app.h"

#include "kwdrv.h"

#include <array>

namespace {

enum Shape { kUser, kNone, kReadOnly, kKernel };

std::array<unsigned char, 64> g_kernelBytes;  // what a kernel address points at: driver-visible only

PVOID Buffer(sim::app::Process& app, Shape shape, size_t bytes, size_t offset, const std::vector<uint8_t>& data) {
    switch (shape) {
        case kNone:
            return nullptr;
        case kKernel:
            return g_kernelBytes.data();
        case kReadOnly:
        case kUser: {
            PVOID p = app.Alloc(bytes == 0 ? 1 : bytes, offset, false);
            if (!data.empty()) app.Store(p, data.data(), std::min(bytes, data.size()));
            if (shape == kReadOnly) {
                app.Free(p);
                p = app.Alloc(bytes == 0 ? 1 : bytes, offset, true);
            }
            return p;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const ULONG code = in.Long();
    const uint8_t shapes = in.Byte();
    const ULONG outLength = in.Word();
    const size_t offset = in.Byte() * 16u;
    const std::vector<uint8_t> input = in.Rest();
    if (input.size() > 8192) return -1;
    fuzz::StartAndRemove(std::make_shared<sim::usb::Device>(fuzz::TestFirmware()), sim::usb::AnswerMode::Inline, [&](sim::usb::BusDevice&, PDEVICE_OBJECT fdo) {
        sim::app::Process app("fuzz.exe");
        std::u16string path = sim::app::UserPath(static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->InterfaceLinkName);
        if (shapes & 0x10) path += u"\\KWDrv0";
        sim::app::OpenResult h = app.Open(path);
        if (!NT_SUCCESS(h.status)) return;
        PVOID inBuf = Buffer(app, static_cast<Shape>(shapes & 3), input.size(), offset, input);
        PVOID outBuf = Buffer(app, static_cast<Shape>((shapes >> 2) & 3), outLength, offset, {});
        (void)app.DeviceIoControl(h.handle, code, inBuf, static_cast<ULONG>(input.size()), outBuf, outLength);
        app.Close(h.handle);
    });
    return 0;
}
