/*
 * ntddk.h - for the host model most kernel declarations a USB function driver needs are in
 * wdm.h; this adds the thread information block, which the DDK declares here.
 */
#ifndef KWSIM_NTDDK_H
#define KWSIM_NTDDK_H
#include "wdm.h"

KWSIM_EXTERN_C_BEGIN

/* The thread information block: in kernel mode on i686 the first member of the processor
 * control region, which FS addresses, so FS:[0] is the head of the running thread's exception
 * registration chain and FS:[0x18] (Self) the block's own address. */
typedef struct _NT_TIB {
  struct _EXCEPTION_REGISTRATION_RECORD *ExceptionList;
  PVOID StackBase;
  PVOID StackLimit;
  PVOID SubSystemTib;
  union {
    PVOID FiberData;
    ULONG Version;
  };
  PVOID ArbitraryUserPointer;
  struct _NT_TIB *Self;
} NT_TIB, *PNT_TIB;

KWSIM_EXTERN_C_END

#endif /* KWSIM_NTDDK_H */
