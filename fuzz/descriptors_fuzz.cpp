// Raw descriptors through the model's parsers and kwdrv's start sequence.
//
// Input: one byte of flags (0x01 broken firmware, 0x02 and 0x04 stall SET_CONFIGURATION and
// SET_INTERFACE, 0x08 short and 0x10 stalled configuration reads for the first (flags >> 6)
// reads, 0x20 control transfers completed from the DPC thread), the 18-byte device descriptor, one byte that cuts the configuration
// reads short, then the configuration descriptor set. The fields the device model itself
// insists on (bLength and type of the device descriptor, bMaxPacketSize0, bNumConfigurations)
// are forced to usable values; everything else reaches the driver as given. A set that the
// model can serve as the device's real configuration is served as such; any other set (and,
// with flag 0x01, every set) is what the device returns for the configuration descriptor while
// its real configuration stays the test firmware's, as a device with broken firmware would.
#include "harness.h"

#include "usb/device.h"

#include <usbdlib.h>

namespace {

void ParseAll(std::vector<uint8_t> set) {
    if (set.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    // The parsers read at most wTotalLength bytes, which must lie inside the set.
    config->wTotalLength = static_cast<USHORT>(std::min<size_t>(config->wTotalLength, set.size()));
    PVOID at = config;
    while (PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(config, config->wTotalLength, at, -1)) {
        at = reinterpret_cast<PUCHAR>(d) + (d->bLength != 0 ? d->bLength : 1);
    }
    at = config;
    while (PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(config, at, -1, -1, -1, -1, -1)) {
        at = reinterpret_cast<PUCHAR>(i) + sizeof(USB_INTERFACE_DESCRIPTOR);
        if (at >= set.data() + set.size()) break;
    }
}

std::shared_ptr<sim::usb::Device> MakeDevice(uint8_t flags, std::vector<uint8_t> device, uint8_t cut,
                                             std::vector<uint8_t> set) {
    sim::usb::DeviceDescription d = fuzz::TestFirmware();
    device.resize(18);
    device[0] = 18;
    device[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    device[7] = static_cast<uint8_t>(8u << (device[7] & 3u));
    if (device[17] == 0) device[17] = 1;
    d.device = device;
    d.quirks.stallSetConfiguration = (flags & 0x02) != 0;
    d.quirks.stallSetInterface = (flags & 0x04) != 0;
    const ULONG times = flags >> 6u;  // 0: every read
    if (flags & 0x08) d.quirks.shortDescriptors.push_back({USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, cut, times});
    if (flags & 0x10) d.quirks.stallDescriptors.push_back({USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1u + times});
    if ((flags & 0x01) == 0) {
        sim::usb::DeviceDescription own = d;
        own.configuration = set;
        own.endpoints.clear();
        own.quirks.malformedConfiguration = true;
        try {
            return std::make_shared<sim::usb::Device>(own);
        } catch (const sim::usb::DeviceFormatError&) {
        }
    }
    d.quirks.configurationSequence = {set};
    return std::make_shared<sim::usb::Device>(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    std::vector<uint8_t> device = in.Take(18);
    uint8_t cut = in.Byte();
    std::vector<uint8_t> set = in.Rest();
    if (set.size() > 4096) return -1;  // longer sets add nothing a shorter one cannot show
    ParseAll(set);
    fuzz::StartAndRemove(MakeDevice(flags, device, cut, set),
                         (flags & 0x20) ? sim::usb::AnswerMode::Pend : sim::usb::AnswerMode::Inline);
    return 0;
}
