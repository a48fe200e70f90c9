// USBD status codes and URB functions: names for reports, and the NTSTATUS the USB stack puts in
// the IRP for each USBD status.
#pragma once

#include <usb.h>

#include <string>

namespace sim::usb {

// The IRP status the USB stack completes a URB with, from the URB's USBD status:
// SUCCESS -> STATUS_SUCCESS; INSUFFICIENT_RESOURCES -> STATUS_INSUFFICIENT_RESOURCES;
// DEVICE_GONE -> STATUS_DEVICE_NOT_CONNECTED; CANCELED -> STATUS_CANCELLED;
// NOT_SUPPORTED -> STATUS_NOT_SUPPORTED; INVALID_URB_FUNCTION, INVALID_PARAMETER,
// INVALID_PIPE_HANDLE, BAD_START_FRAME -> STATUS_INVALID_PARAMETER; every other error ->
// STATUS_UNSUCCESSFUL.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

// "USBD_STATUS_STALL_PID (0xC0000004)" for the codes usb.h defines, the hex value otherwise.
std::string UsbdStatusName(USBD_STATUS status);
// "URB_FUNCTION_SELECT_CONFIGURATION (0x0000)" for the codes usb.h defines, the hex value otherwise.
std::string UrbFunctionName(USHORT function);

}  // namespace sim::usb
