// openclose.cpp - binding a file handle to one pipe, and giving the pipe back.
//
// A handle opened on a pipe carries the address of the pipe's PipeTable entry in its file
// object's FsContext; nothing is allocated per handle. A pipe is held by at most one handle at a
// time, also when several opens race for it on different processors: the Opened flag is taken
// and given back only with interlocked operations (ClaimPipe, ReleasePipe). Create and close run
// at PASSIVE_LEVEL in the caller's thread, finish the request themselves and send nothing down.

#include "kwdrv.h"

// Opened is a BOOLEAN at the start of PIPE_CONTEXT, followed by padding up to PipeInfo. The
// platform offers no byte-sized interlocked operation on every target (Windows XP's kernel
// exports only the LONG ones), so Opened is changed through the LONG that begins the entry: the
// flag and its padding bytes, which nothing else uses. An entry holds a pointer, so it is at
// least LONG-aligned, and the LONG never reaches PipeInfo. Nothing else writes Opened: a restart
// keeps it (BuildPipeTable).
C_ASSERT(FIELD_OFFSET(PIPE_CONTEXT, Opened) == 0);
C_ASSERT(FIELD_OFFSET(PIPE_CONTEXT, PipeInfo) >= sizeof(LONG));
C_ASSERT(alignof(PIPE_CONTEXT) >= alignof(LONG));
C_ASSERT(sizeof(BOOLEAN) == 1);

// The Opened byte inside a copy of that LONG.
static UCHAR *OpenedByteOf(LONG *Word)
{
    return reinterpret_cast<UCHAR *>(Word) + FIELD_OFFSET(PIPE_CONTEXT, Opened);
}

// Stores Value in Opened and returns the value it replaced, in one atomic step; the padding
// bytes are carried over as they are. The first attempt assumes the usual word (flag FALSE,
// padding zero); a failed compare-exchange returns the word as it is, and the next attempt
// starts from that. Any IRQL <= DISPATCH_LEVEL.
static BOOLEAN ExchangeOpened(PPIPE_CONTEXT PipeContext, BOOLEAN Value)
{
    LONG volatile *Word = reinterpret_cast<LONG volatile *>(PipeContext);
    LONG Seen = 0;
    for (;;) {
        LONG Wanted = Seen;
        *OpenedByteOf(&Wanted) = Value;
        LONG Before = InterlockedCompareExchange(Word, Wanted, Seen);
        if (Before == Seen) {
            return *OpenedByteOf(&Seen);
        }
        Seen = Before;
    }
}

// Test-and-set: TRUE when this caller took the pipe, FALSE when a handle already held it (the
// entry is then unchanged).
static BOOLEAN ClaimPipe(PPIPE_CONTEXT PipeContext)
{
    return !ExchangeOpened(PipeContext, TRUE);
}

// Gives the pipe back with an interlocked store of FALSE.
static VOID ReleasePipe(PPIPE_CONTEXT PipeContext)
{
    (void)ExchangeOpened(PipeContext, FALSE);
}

// TRUE when the caller's name equals the leading FileName->Length bytes of the entry's name.
// A name longer than the entry's Name field matches nothing, so the comparison never reads past
// it. A restart may rewrite Name meanwhile; an open that races it matches the name as it was or
// as it becomes, character by character.
static BOOLEAN NameMatches(const PIPE_CONTEXT *PipeContext, PCUNICODE_STRING FileName)
{
    SIZE_T Length = FileName->Length;
    if (Length > sizeof(PipeContext->Name)) {
        return FALSE;
    }
    return RtlCompareMemory(PipeContext->Name, FileName->Buffer, Length) == Length;
}

// Binds the first entry, in table order, whose name matches and which no handle holds, and
// returns it; NULL when there is none. The name is tested first: a matching entry that is held
// is passed over and the scan goes on.
static PPIPE_CONTEXT ClaimPipeByName(PDEVICE_EXTENSION Extension, PCUNICODE_STRING FileName)
{
    for (ULONG Index = 0; Index < KW_PIPE_TABLE_ENTRIES; ++Index) {
        PPIPE_CONTEXT Entry = &Extension->PipeTable[Index];
        if (NameMatches(Entry, FileName) && ClaimPipe(Entry)) {
            return Entry;
        }
    }
    return NULL;
}

// IRP_MJ_CREATE. An empty name opens the device without a pipe (FsContext NULL: control codes
// that need no pipe work on it, reads and writes are refused). Any other name must match a free
// entry, which the handle then holds until its close; otherwise the open fails with
// STATUS_INSUFFICIENT_RESOURCES and no entry changes. Once removal has begun every open fails
// with STATUS_DELETE_PENDING and the file object is left untouched.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoIncrement(DeviceObject);
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    NTSTATUS Status = STATUS_DELETE_PENDING;

    if (IsAcceptingRequests(DeviceObject)) {
        PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        FileObject->FsContext = NULL;
        Status = STATUS_SUCCESS;
        if (FileObject->FileName.Length != 0) {
            PPIPE_CONTEXT PipeContext = ClaimPipeByName(Extension, &FileObject->FileName);
            FileObject->FsContext = PipeContext;
            Status = (PipeContext != NULL) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return FinishRequest(DeviceObject, Irp, Status);
}

// IRP_MJ_CLOSE, sent when the last reference to a file object goes; only a file object whose
// create succeeded gets one, so FsContext is what DispatchCreate stored. Gives the handle's pipe
// back, also while and after the device is being removed: the entry lives as long as the device
// object, which cannot be deleted while this request holds its reference. Always succeeds.
_Use_decl_annotations_
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoIncrement(DeviceObject);
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PPIPE_CONTEXT PipeContext = static_cast<PPIPE_CONTEXT>(FileObject->FsContext);

    if (PipeContext != NULL) {
        ReleasePipe(PipeContext);
    }
    return FinishRequest(DeviceObject, Irp, STATUS_SUCCESS);
}
