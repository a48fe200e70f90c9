// isoch.cpp - isochronous reads and writes: the caller's buffer cut into packets of the pipe's
// maximum packet size and sent down as one isochronous URB with the caller's request itself.
//
// Ownership. The URB is allocated by BuildIsochronousUrb and is the completion context of the
// transfer: IsochronousCompletion frees it. The MDL is the I/O manager's and goes down as it
// came; packet descriptors only give offsets into it. The frame-number query, when the request
// asks for a start frame, borrows the caller's request and lives in QueryCurrentFrameNumber's
// stack frame until the USB stack has given the request back.
//
// Isochronous requests are in no table, so a stop does not cancel them; the USB stack ends them
// when the stop selects the null configuration, a surprise removal ends them with the device,
// and the removal's pipe aborts end whatever is left before it waits for their references.

#include "kwdrv.h"

// The most packets one URB carries: what the USB stack accepts per URB, 255 at full speed and
// 1024 at high speed. The URB's size must fit the 16-bit header Length.
constexpr ULONG KW_MAX_ISO_PACKETS_FULL_SPEED = 255;
constexpr ULONG KW_MAX_ISO_PACKETS_HIGH_SPEED = 1024;
C_ASSERT(GET_ISO_URB_SIZE(KW_MAX_ISO_PACKETS_HIGH_SPEED) <= 0xFFFF);

// Packets of PacketSize (not 0) that Length bytes take, the last one possibly short.
static ULONG PacketCount(ULONG Length, ULONG PacketSize)
{
    return Length / PacketSize + ((Length % PacketSize != 0) ? 1 : 0);
}

// The speed the last start found; a restart may store it meanwhile. Any IRQL.
static BOOLEAN IsHighSpeed(PDEVICE_OBJECT DeviceObject)
{
    return InterlockedCompareExchange(&KwGetExtension(DeviceObject)->HighSpeed, 0, 0) != 0;
}

// Packets the pipe moves in one 1 ms frame: one at full speed; at high speed one per bus
// interval of 2^(Interval-1) microframes, so 8, 4, 2 or 1 (longer intervals move one a frame
// at most). A high-speed URB must cover whole frames: its packet count is a multiple of this.
static ULONG PacketsPerFrame(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInfo)
{
    if (!IsHighSpeed(DeviceObject)) {
        return 1;
    }
    ULONG Interval = (PipeInfo->Interval == 0) ? 1 : PipeInfo->Interval;
    return (Interval >= 4) ? 1 : (8u >> (Interval - 1));
}

// The packets of a request of Length bytes on PipeInfo: whole packets of MaximumPacketSize (the
// pipe's payload per bus interval, additional transactions included), rounded up to whole
// frames at high speed; the packets past the data are empty.
static ULONG UrbPacketCount(PDEVICE_OBJECT DeviceObject, ULONG Length, PUSBD_PIPE_INFORMATION PipeInfo)
{
    const ULONG PerFrame = PacketsPerFrame(DeviceObject, PipeInfo);
    const ULONG Packets = PacketCount(Length, PipeInfo->MaximumPacketSize);
    return PacketCount(Packets, PerFrame) * PerFrame;
}

// Makes the next stack location of Irp submit Urb to the USB stack; no other field is written.
static VOID SetNextSubmitUrb(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
}

// The frame number the query's URB holds until the USB stack writes it.
constexpr ULONG KW_FRAME_NUMBER_UNSET = 0xFFFFFFFF;

// Asks the USB stack for the current frame number, sending the query down the caller's request
// Irp, and waits until the stack has given Irp back (whether it answered at once or pended), so
// neither the query's URB nor the request is let go early. PASSIVE_LEVEL, in the dispatch
// routine. Returns the query's status; *FrameNumber is written only on success.
_Use_decl_annotations_
NTSTATUS QueryCurrentFrameNumber(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG FrameNumber)
{
    struct _URB_GET_CURRENT_FRAME_NUMBER Query;
    RtlZeroMemory(&Query, sizeof(Query));
    Query.Hdr.Length = sizeof(Query);
    Query.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    Query.FrameNumber = KW_FRAME_NUMBER_UNSET;

    KEVENT Returned;
    KeInitializeEvent(&Returned, NotificationEvent, FALSE);
    SetNextSubmitUrb(Irp, reinterpret_cast<PURB>(&Query));
    // The request comes back unfinished (STATUS_MORE_PROCESSING_REQUIRED) once the stack is done.
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Returned, TRUE, TRUE, TRUE);
    if (IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp) == STATUS_PENDING) {
        WaitOnEvent(&Returned);
    }
    NTSTATUS Status = Irp->IoStatus.Status;
    if (NT_SUCCESS(Status) && !USBD_SUCCESS(Query.Hdr.Status)) {
        Status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(Status)) {
        *FrameNumber = Query.FrameNumber;
    }
    return Status;
}

// Builds the isochronous URB of the whole of Irp->MdlAddress (ByteCount bytes, not 0) on
// PipeInfo (MaximumPacketSize not 0, and ByteCount within the most packets a URB carries at the
// device's speed): packet i at offset i * MaximumPacketSize, the last with data covering what is
// left, and at high speed empty packets up to the end of the last frame. A request whose
// ByteOffset.HighPart is 0 starts as soon as possible; any other starts ByteOffset.LowPart
// frames after the current one (a 32-bit sum that wraps), which costs a frame-number query down
// Irp. On success *Urb is the new URB; on failure nothing is left allocated and the status is
// STATUS_INSUFFICIENT_RESOURCES or the failed query's. PASSIVE_LEVEL, in the dispatch routine.
_Use_decl_annotations_
NTSTATUS BuildIsochronousUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION PipeInfo,
                             BOOLEAN Read, PURB *Urb)
{
    const ULONG Length = MmGetMdlByteCount(Irp->MdlAddress);
    const ULONG PacketSize = PipeInfo->MaximumPacketSize;
    const ULONG Packets = UrbPacketCount(DeviceObject, Length, PipeInfo);
    const USHORT UrbBytes = static_cast<USHORT>(GET_ISO_URB_SIZE(Packets));
    const LARGE_INTEGER Offset = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.ByteOffset;

    *Urb = AllocateUrb(UrbBytes);
    if (*Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_ISOCH_TRANSFER *Iso = &(*Urb)->UrbIsochronousTransfer;
    Iso->Hdr.Length = UrbBytes;
    Iso->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    Iso->PipeHandle = PipeInfo->PipeHandle;
    Iso->TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    Iso->TransferBufferMDL = Irp->MdlAddress;
    Iso->TransferBufferLength = Length;
    Iso->NumberOfPackets = Packets;
    for (ULONG Index = 0; Index < Packets; ++Index) {
        const ULONG PacketStart = Index * PacketSize;
        Iso->IsoPacket[Index].Offset = (PacketStart < Length) ? PacketStart : Length;
    }
    if (Offset.HighPart == 0) {
        Iso->TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
        return STATUS_SUCCESS;
    }
    ULONG FrameNumber = 0;
    NTSTATUS Status = QueryCurrentFrameNumber(DeviceObject, Irp, &FrameNumber);
    if (!NT_SUCCESS(Status)) {
        KwFreePool(*Urb);
        *Urb = NULL;
        return Status;
    }
    Iso->StartFrame = static_cast<ULONG>(Offset.LowPart) + FrameNumber;
    return STATUS_SUCCESS;
}

// Checks a read or write on an isochronous pipe before anything is sent; the dispatch has
// already checked the direction against the endpoint and refused a pipe whose maximum packet
// size is 0, so the packet count divides by a non-zero size. STATUS_SUCCESS to go on.
static NTSTATUS CheckIsochronousRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                        PUSBD_PIPE_INFORMATION PipeInfo)
{
    const ULONG Length = (Irp->MdlAddress != NULL) ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    const ULONG Limit = IsHighSpeed(DeviceObject) ? KW_MAX_ISO_PACKETS_HIGH_SPEED
                                                                : KW_MAX_ISO_PACKETS_FULL_SPEED;
    if (UrbPacketCount(DeviceObject, Length, PipeInfo) > Limit) {
        return STATUS_INVALID_PARAMETER;  // more packets than one URB carries
    }
    return STATUS_SUCCESS;
}

// The isochronous branch of a read (Read TRUE) or write on PipeInfo, an isochronous pipe, at
// PASSIVE_LEVEL in the caller's thread; the request holds the reference its dispatch took.
// Every request is either completed here, with its reference released (through FinishRequest),
// or sent down with IsochronousCompletion, which releases the reference; the routine returns
// what the dispatch returns. A request of zero bytes completes at once with STATUS_SUCCESS, as
// on other pipes. Before a transfer goes down the pipe is reset (a reset the USB stack refuses,
// for instance while other transfers are queued on the pipe, does not stop the transfer).
_Use_decl_annotations_
NTSTATUS DispatchIsochronousTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                     PUSBD_PIPE_INFORMATION PipeInfo, BOOLEAN Read)
{
    NTSTATUS Status = CheckIsochronousRequest(DeviceObject, Irp, PipeInfo);
    if (!NT_SUCCESS(Status) || Irp->MdlAddress == NULL ||
        MmGetMdlByteCount(Irp->MdlAddress) == 0) {
        return FinishRequest(DeviceObject, Irp, Status);
    }
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    (void)ResetPipe(DeviceObject, static_cast<PPIPE_CONTEXT>(FileObject->FsContext), FALSE);

    PURB Urb = NULL;
    Status = BuildIsochronousUrb(DeviceObject, Irp, PipeInfo, Read, &Urb);
    if (!NT_SUCCESS(Status)) {
        return FinishRequest(DeviceObject, Irp, Status);
    }
    SetNextSubmitUrb(Irp, Urb);
    // Set with IoSetCompletionRoutineEx, so the driver stays loaded until IsochronousCompletion
    // has returned, although its IoDecrement may let the last device go.
    Status = IoSetCompletionRoutineEx(DeviceObject, Irp, IsochronousCompletion, Urb, TRUE, TRUE, TRUE);
    if (!NT_SUCCESS(Status)) {
        KwFreePool(Urb);
        return FinishRequest(DeviceObject, Irp, Status);
    }
    // The request and its reference belong to IsochronousCompletion from here; it may be
    // finished on another thread before IoCallDriver returns, so it is marked pending first.
    IoMarkIrpPending(Irp);
    (void)IoCallDriver(KwGetExtension(DeviceObject)->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

// Runs when the USB stack completes an isochronous transfer, in any thread at IRQL <=
// DISPATCH_LEVEL, on success, error and cancel alike. Context is the URB. IoStatus.Status stays
// as the USB stack set it; Information becomes the bytes it reports moved (never more than the
// caller's buffer; none for a request the stack refused without running it). IoDecrement is the last touch of the driver's state: once the reference is
// gone the device may be deleted, and the routine was set with IoSetCompletionRoutineEx, so the
// image stays loaded until it has returned.
_Use_decl_annotations_
NTSTATUS NTAPI IsochronousCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PURB Urb = static_cast<PURB>(Context);
    ULONG Transferred = Urb->UrbIsochronousTransfer.TransferBufferLength;
    const ULONG Requested = MmGetMdlByteCount(Irp->MdlAddress);
    // A failed request whose URB still has the success status it was built with was refused
    // before the stack ran it (a suspended port): it moved nothing.
    if (!NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(Urb->UrbHeader.Status)) {
        Transferred = 0;
    }

    Irp->IoStatus.Information = (Transferred <= Requested) ? Transferred : Requested;
    KwFreePool(Urb);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    IoDecrement(DeviceObject);
    return STATUS_SUCCESS;
}
