// The FS segment of threads that run image code. In i386 kernel mode FS addresses the processor
// control region, whose first member is the thread information block (NT_TIB: ExceptionList at
// offset 0, Self at 0x18); the image's structured exception handling reads and writes
// FS:[0] directly. Each model thread gets a segment of its own (a local descriptor table entry)
// whose base is its thread information block, so that the image and the model's exception
// dispatch see one registration list.
//
// Every thread the process creates gets its segment before it runs; a thread that existed before
// the first image was loaded gets it at its first FS access (FS is null in a Linux thread, so the
// access faults, and the fault handler installs the segment and retries the instruction). Works
// natively and under qemu-i386.
#pragma once

#include <cstdint>

namespace sim::loader {

// Installs the fault handler that gives existing threads their segment (once per process) and
// gives the calling thread its own; the loader calls it when it maps an image.
void EnableTibSegments();
// Points the calling thread's FS at its thread information block (0: null, if no descriptor
// table entry is free).
void GiveThreadItsSegment();

// The thread information block FS addresses on the calling thread: the model's per-thread
// record (sim::kernel::CurrentTib()).
void* ThreadTib();

}  // namespace sim::loader
