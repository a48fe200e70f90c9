/*
 * usbdi.h - the older USBD interface header: usb.h and usbioctl.h plus a few
 * status codes and macros that only this header defines.
 */
#ifndef KWSIM_USBDI_H
#define KWSIM_USBDI_H

#include "usb.h"
#include "usbioctl.h"

#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000L)

/* An error that left the endpoint halted (state bits 11). */
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#define USBD_STATUS(Status) ((ULONG)(Status) & 0x0FFFFFFFL)

#define URB_FUNCTION_RESERVED0 0x0016
#define URB_FUNCTION_RESERVED 0x001D
#define URB_FUNCTION_LAST 0x0029

#define USBD_PF_DOUBLE_BUFFER 0x00000002
#undef USBD_PF_VALID_MASK
#define USBD_PF_VALID_MASK                                                 \
  (USBD_PF_CHANGE_MAX_PACKET | USBD_PF_DOUBLE_BUFFER |                     \
   USBD_PF_ENABLE_RT_THREAD_ACCESS | USBD_PF_MAP_ADD_TRANSFERS)

#define USBD_TRANSFER_DIRECTION_BIT 0
#define USBD_SHORT_TRANSFER_OK_BIT 1
#define USBD_START_ISO_TRANSFER_ASAP_BIT 2

/* Here USBD_TRANSFER_DIRECTION becomes a test of the IN bit. */
#undef USBD_TRANSFER_DIRECTION
#define USBD_TRANSFER_DIRECTION(x) ((x) & USBD_TRANSFER_DIRECTION_IN)

#endif /* KWSIM_USBDI_H */
