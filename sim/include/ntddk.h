/*
 * ntddk.h - for the host model the kernel declarations a USB function driver
 * needs are all in wdm.h.
 */
#ifndef KWSIM_NTDDK_H
#define KWSIM_NTDDK_H
#include "wdm.h"
#endif /* KWSIM_NTDDK_H */
