// pipes.cpp - pipe reset, pipe abort and deconfiguration.
//
// Each request is allocated for one submission, sent with CallUsbd and released right after
// it, so every routine runs at PASSIVE_LEVEL and blocks until the USB stack answers. ResetPipe
// may run for the same pipe in several threads at once; each call uses only its own requests.

#include "kwdrv.h"

// A zero-filled 24-byte pipe request (reset or abort) for PipeHandle, or NULL.
static PURB BuildPipeRequest(USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    PURB Urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
    if (Urb != NULL) {
        Urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        Urb->UrbHeader.Function = Function;
        Urb->UrbPipeRequest.PipeHandle = PipeHandle;
    }
    return Urb;
}

// Sends CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint and returns its status.
static NTSTATUS ClearEndpointHaltFeature(PDEVICE_OBJECT DeviceObject, UCHAR EndpointAddress)
{
    PURB Urb = AllocateUrb(sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildFeatureRequest(Urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                           static_cast<USHORT>(EndpointAddress), NULL);
    NTSTATUS Status = CallUsbd(DeviceObject, Urb);
    KwFreePool(Urb);
    return Status;
}

// Resets the pipe of PipeContext in the USB stack and, when ClearEndpointHalt is TRUE and the
// pipe is isochronous, clears the endpoint's halt feature in the device as well. A context
// without a pipe (or none at all) gets STATUS_INVALID_HANDLE and nothing is sent. PipeInfo is
// loaded once: a start that follows a stop may rebind the entry meanwhile, and the pipe
// information loaded here stays valid until removal.
_Use_decl_annotations_
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_CONTEXT PipeContext,
                   BOOLEAN ClearEndpointHalt)
{
    PUSBD_PIPE_INFORMATION PipeInfo = (PipeContext != NULL) ? KwLoadPipeInfo(PipeContext) : NULL;
    if (PipeInfo == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    PURB Urb = BuildPipeRequest(URB_FUNCTION_RESET_PIPE, PipeInfo->PipeHandle);
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status = CallUsbd(DeviceObject, Urb);
    KwFreePool(Urb);

    if (!NT_SUCCESS(Status) || !ClearEndpointHalt ||
        PipeInfo->PipeType != UsbdPipeTypeIsochronous) {
        return Status;
    }
    return ClearEndpointHaltFeature(DeviceObject, PipeInfo->EndpointAddress);
}

// Aborts the outstanding transfers of every pipe of InterfaceInfo, open or not, in pipe order
// (including pipes that have no table entry). The abort statuses are not examined. When a
// request cannot be allocated, returns STATUS_INSUFFICIENT_RESOURCES at once and the later
// pipes stay unaborted. Must run while InterfaceInfo is still allocated (the removal path runs
// it before freeing the copies).
_Use_decl_annotations_
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject)
{
    PUSBD_INTERFACE_INFORMATION Interface = KwGetExtension(DeviceObject)->InterfaceInfo;
    if (Interface == NULL) {
        return STATUS_SUCCESS;
    }
    for (ULONG Index = 0; Index < Interface->NumberOfPipes; ++Index) {
        PURB Urb = BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Interface->Pipes[Index].PipeHandle);
        if (Urb == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        (void)CallUsbd(DeviceObject, Urb);
        KwFreePool(Urb);
    }
    return STATUS_SUCCESS;
}

// Reserves what the stop needs to deconfigure the device (a request of the lower stack's size
// and the null-configuration URB) so that the stop cannot fail for want of pool. Runs at
// IRP_MN_QUERY_STOP_DEVICE; a reservation already made is kept. STATUS_INSUFFICIENT_RESOURCES
// when pool is exhausted, and then nothing is kept: the query fails and no stop follows.
_Use_decl_annotations_
NTSTATUS ReserveStopRequest(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    if (Extension->StopIrp == NULL) {
        Extension->StopIrp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
    }
    if (Extension->StopUrb == NULL) {
        Extension->StopUrb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
    }
    if (Extension->StopIrp == NULL || Extension->StopUrb == NULL) {
        ReleaseStopRequest(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Frees a reservation that no stop used (removal, or a failed reservation). PASSIVE_LEVEL.
_Use_decl_annotations_
VOID ReleaseStopRequest(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    if (Extension->StopIrp != NULL) {
        IoFreeIrp(Extension->StopIrp);
        Extension->StopIrp = NULL;
    }
    if (Extension->StopUrb != NULL) {
        KwFreePool(Extension->StopUrb);
        Extension->StopUrb = NULL;
    }
}

// Sends the null configuration on the reserved request and waits for it; its status is not
// examined, since the stop stands whatever the stack says. The reservation is used up.
static VOID SendReservedNullConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    PIRP Irp = Extension->StopIrp;
    PURB Urb = Extension->StopUrb;
    KEVENT Event;

    UsbBuildSelectConfigurationRequest(Urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &Event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Extension->LowerDeviceObject, Irp) == STATUS_PENDING) {
        WaitOnEvent(&Event);
    }
    ReleaseStopRequest(DeviceObject);
}

// IRP_MN_STOP_DEVICE: cancels every tracked transfer, then selects the null configuration with
// the request reserved at the query. A stop that no query announced reserves it now; when even
// that fails, the device stays configured (the transfers are cancelled all the same) and the
// result is STATUS_INSUFFICIENT_RESOURCES, which the caller reports but which never stops the
// stop from going down. ConfigurationHandle, InterfaceInfo, DeviceDescriptor and PipeTable stay
// as the last start left them; their pipe handles are void in the USB stack until the next start.
_Use_decl_annotations_
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject)
{
    CancelTransfers(DeviceObject, NULL, TRUE);

    NTSTATUS Status = ReserveStopRequest(DeviceObject);
    if (NT_SUCCESS(Status)) {
        SendReservedNullConfiguration(DeviceObject);
    }
    return Status;
}
