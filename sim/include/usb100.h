/*
 * usb100.h - the USB chapter 9 records; they live in usbspec.h.
 */
#include "usbspec.h"
