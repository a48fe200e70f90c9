// Human-readable decoding of USB descriptors and of the driver's pipe table.
#pragma once

#include "kwdrv.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace kwsim {

using Lines = std::vector<std::pair<std::string, std::string>>;

// The device descriptor's fields, one line each.
Lines DecodeDeviceDescriptor(const USB_DEVICE_DESCRIPTOR& d);
// Every descriptor of a configuration set (bounded by `length` and by wTotalLength), one line each:
// configuration, interfaces with their alternate settings, endpoints, and others by type.
Lines DecodeConfigurationSet(const UCHAR* set, size_t length);
// The pipe table of a started device: name, type, endpoint, packet size, interval.
Lines DecodePipeTable(const DEVICE_EXTENSION& ext);
// The same as typed fields for --json (fields.cpp): an object, and arrays of objects.
nlohmann::ordered_json DeviceDescriptorFields(const USB_DEVICE_DESCRIPTOR& d);
nlohmann::ordered_json ConfigurationSetFields(const UCHAR* set, size_t length);
nlohmann::ordered_json PipeTableFields(const DEVICE_EXTENSION& ext);
std::string PipeTypeName(USBD_PIPE_TYPE t);
std::string Hex(unsigned v, int digits);
std::string Bytes(const UCHAR* p, size_t n, size_t maxShown = 32);

}  // namespace kwsim
