/* kwdrv_ioctl.h - what an application needs to talk to the kwdrv device.
 *
 * Plain C, usable from user-mode C and C++ on any compiler: no Windows header is included and
 * only basic types whose width is the same on every data model in use (unsigned short is 16
 * bits, unsigned int is 32 bits) appear in records.
 *
 * Every control code is METHOD_BUFFERED with FILE_ANY_ACCESS, so its value is
 * (DeviceType << 16) | (Function << 2). The device control codes may be sent on any handle of
 * the device; IOCTL_KW_RESET_PIPE needs a handle opened with a pipe name.
 */

#ifndef KWDRV_IOCTL_H
#define KWDRV_IOCTL_H

#define KW_CTL_CODE(DeviceType, Function) \
    ((((unsigned int)(DeviceType)) << 16) | (((unsigned int)(Function)) << 2))

/* FILE_DEVICE_UNKNOWN, the device type of the driver's device object. */
#define KW_DEVICE_TYPE_STANDARD 0x0022u
/* The first device type of the range left to vendors. */
#define KW_DEVICE_TYPE_VENDOR 0x8000u

/* Copies the configuration descriptor set, read from the device for this request. */
#define IOCTL_KW_GET_CONFIG_DESCRIPTOR KW_CTL_CODE(KW_DEVICE_TYPE_STANDARD, 0x000) /* 0x00220000 */
/* Resets the hub port when the device is connected but its port is disabled. */
#define IOCTL_KW_RESET_PORT            KW_CTL_CODE(KW_DEVICE_TYPE_STANDARD, 0x001) /* 0x00220004 */
/* Resets the pipe of the handle the request is sent on. */
#define IOCTL_KW_RESET_PIPE            KW_CTL_CODE(KW_DEVICE_TYPE_STANDARD, 0x002) /* 0x00220008 */
/* Copies the device descriptor read when the device was started. */
#define IOCTL_KW_GET_DEVICE_DESCRIPTOR KW_CTL_CODE(KW_DEVICE_TYPE_STANDARD, 0x004) /* 0x00220010 */

/* Vendor requests on the default pipe, driven by a VENDOR_REQUEST at the start of the input. */
#define IOCTL_KW_VENDOR_IN_0C          KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x803) /* 0x8000200C */
#define IOCTL_KW_VENDOR_OUT_0C         KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x804) /* 0x80002010 */
#define IOCTL_KW_VENDOR_IN_01          KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x805) /* 0x80002014 */
#define IOCTL_KW_VENDOR_OUT_02         KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x806) /* 0x80002018 */
/* Completes at once with success; nothing is sent to the device. */
#define IOCTL_KW_NO_OPERATION          KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x807) /* 0x8000201C */
#define IOCTL_KW_VENDOR_OUT_00         KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x808) /* 0x80002020 */
/* A second code for the same transfer as IOCTL_KW_VENDOR_OUT_00. */
#define IOCTL_KW_VENDOR_OUT_00_ALT     KW_CTL_CODE(KW_DEVICE_TYPE_VENDOR, 0x809) /* 0x80002024 */

/* The record at the start of a vendor request's input buffer. Integers are little-endian.
 *
 * Offsets: RequestValue 0, Reserved 2, TransferLength 4, DataAddress 8, RequestIndex 12. The
 * driver reads bytes 0 to 13 only; the size of the record (16) includes two bytes of tail
 * padding, so VENDOR_REQUEST_MINIMUM_LENGTH input bytes are enough to carry every field.
 */
typedef struct _VENDOR_REQUEST {
    unsigned short RequestValue;   /* wValue of the setup packet */
    unsigned short Reserved;       /* not read */
    unsigned int TransferLength;   /* length of the data stage (wLength) */
    unsigned int DataAddress;      /* 32-bit address of the bytes to send, in the caller's
                                      process; read only by IOCTL_KW_VENDOR_OUT_02 and
                                      IOCTL_KW_VENDOR_OUT_00(_ALT) */
    unsigned short RequestIndex;   /* wIndex of the setup packet */
} VENDOR_REQUEST, *PVENDOR_REQUEST;

#define VENDOR_REQUEST_MINIMUM_LENGTH 14u

#endif /* KWDRV_IOCTL_H */
