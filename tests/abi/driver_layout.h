// The i686 layouts of the driver's own records, pinned in both builds: the kwdrv.sys build
// compiles this against the DDK, the 32-bit host build against the model's headers. A field
// added, moved or widened by accident shows here first.
#pragma once

#include "kwdrv.h"
#include "kwdrv_ioctl.h"

#include <stddef.h>

#if defined(__i386__)
static_assert(sizeof(PIPE_CONTEXT) == 24, "PIPE_CONTEXT");
static_assert(offsetof(PIPE_CONTEXT, Opened) == 0, "PIPE_CONTEXT.Opened");
static_assert(offsetof(PIPE_CONTEXT, PipeInfo) == 4, "PIPE_CONTEXT.PipeInfo");
static_assert(offsetof(PIPE_CONTEXT, Name) == 8, "PIPE_CONTEXT.Name");

static_assert(sizeof(DEVICE_EXTENSION) == 992, "DEVICE_EXTENSION");
static_assert(offsetof(DEVICE_EXTENSION, LowerDeviceObject) == 0, "LowerDeviceObject");
static_assert(offsetof(DEVICE_EXTENSION, PhysicalDeviceObject) == 4, "PhysicalDeviceObject");
static_assert(offsetof(DEVICE_EXTENSION, DevicePowerState) == 8, "DevicePowerState");
static_assert(offsetof(DEVICE_EXTENSION, ConfigurationHandle) == 12, "ConfigurationHandle");
static_assert(offsetof(DEVICE_EXTENSION, DeviceDescriptor) == 16, "DeviceDescriptor");
static_assert(offsetof(DEVICE_EXTENSION, InterfaceInfo) == 20, "InterfaceInfo");
static_assert(offsetof(DEVICE_EXTENSION, DeviceCapabilities) == 24, "DeviceCapabilities");
static_assert(offsetof(DEVICE_EXTENSION, PendingSystemPowerIrp) == 88, "PendingSystemPowerIrp");
static_assert(offsetof(DEVICE_EXTENSION, RemoveEvent) == 92, "RemoveEvent");
static_assert(offsetof(DEVICE_EXTENSION, OutstandingIo) == 108, "OutstandingIo");
static_assert(offsetof(DEVICE_EXTENSION, InterfaceLinkName) == 112, "InterfaceLinkName");
static_assert(offsetof(DEVICE_EXTENSION, AcceptingRequests) == 624, "AcceptingRequests");
static_assert(offsetof(DEVICE_EXTENSION, PipeTable) == 628, "PipeTable");
static_assert(offsetof(DEVICE_EXTENSION, TransferLock) == 964, "TransferLock");
static_assert(offsetof(DEVICE_EXTENSION, TransferList) == 968, "TransferList");
static_assert(offsetof(DEVICE_EXTENSION, StopIrp) == 976, "StopIrp");
static_assert(offsetof(DEVICE_EXTENSION, StopUrb) == 980, "StopUrb");
static_assert(offsetof(DEVICE_EXTENSION, SurpriseRemoved) == 984, "SurpriseRemoved");
static_assert(offsetof(DEVICE_EXTENSION, HighSpeed) == 988, "HighSpeed");
#endif

// The application's record has one layout on every data model.
static_assert(sizeof(VENDOR_REQUEST) >= 14, "VENDOR_REQUEST");
static_assert(offsetof(VENDOR_REQUEST, RequestValue) == 0, "VENDOR_REQUEST.RequestValue");
static_assert(offsetof(VENDOR_REQUEST, TransferLength) == 4, "VENDOR_REQUEST.TransferLength");
static_assert(offsetof(VENDOR_REQUEST, DataAddress) == 8, "VENDOR_REQUEST.DataAddress");
static_assert(offsetof(VENDOR_REQUEST, RequestIndex) == 12, "VENDOR_REQUEST.RequestIndex");
