// What the USB stack's URB handlers share (usb/urb.cpp, usb/transfer.cpp): the completion of a
// refused request and the checks of the driver memory a URB hands the stack.
#pragma once

#include "usb/bus.h"

namespace sim::usb::stack {

// A request completed at once with this USBD status and the NTSTATUS Windows maps it to (or the
// given one).
Answer Fail(USBD_STATUS usbd);
Answer Fail(USBD_STATUS usbd, NTSTATUS status);

// Driver memory the stack is about to read or write: a range that starts inside a live pool
// block must end inside it, and freed pool must not be used (bug check UrbBufferOverrun).
void CheckDriverRange(const void* p, size_t n, const char* what, bool direct = true);

// The system address of a URB's data stage: the MDL when one is given (Windows then ignores
// TransferBuffer), mapped as the port driver maps it, else TransferBuffer, which must be a
// system address since the stack touches it in whatever thread completes the transfer.
// nullptr when mapping the MDL fails (no system page table entries left).
UCHAR* DataStage(PVOID buffer, PMDL mdl, ULONG length, const char* what);

// What goes wrong on Windows when a driver reads from an IN pipe into the caller's buffer of a
// write: the controller writes into pages locked for read access only. An IN transfer (`in`) of
// `length` bytes into an MDL locked for IoReadAccess is a bug check (InTransferIntoReadOnlyMdl).
void CheckInTarget(bool in, ULONG length, PMDL mdl, UCHAR endpoint);

inline bool HasBuffer(PVOID buffer, PMDL mdl) { return buffer != nullptr || mdl != nullptr; }

}  // namespace sim::usb::stack
