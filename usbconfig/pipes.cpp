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

// IRP_MN_STOP_DEVICE: cancels the tracked transfers, then selects the null configuration. The
// null configuration's status is not examined, since a stop must leave the device stopped;
// only a failed allocation fails the stop (the transfers have been cancelled by then).
// ConfigurationHandle, InterfaceInfo, DeviceDescriptor and PipeTable stay as the last start
// left them; their pipe handles are void in the USB stack until the next start.
_Use_decl_annotations_
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject)
{
    CancelPendingTransfers(DeviceObject);

    PURB Urb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (Urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildSelectConfigurationRequest(Urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    (void)CallUsbd(DeviceObject, Urb);
    KwFreePool(Urb);
    return STATUS_SUCCESS;
}
