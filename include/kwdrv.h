// kwdrv.h - the driver's private records and routines.
//
// Everything the driver knows about a device lives in its DEVICE_EXTENSION; there is no global
// state. OutstandingIo changes only through interlocked operations; TransferLock guards the
// list of transfers in flight and the decision to track one against AcceptingRequests; every
// other field has a single writer in a context the platform serialises (AddDevice, Plug and Play
// requests one at a time, set-power requests one at a time), except where a routine's comment
// says otherwise.

#ifndef KWDRV_H
#define KWDRV_H

#include "kwplatform.h"

// Entries of PipeTable: the most pipes that get a name.
constexpr ULONG KW_PIPE_TABLE_ENTRIES = 14;
// Characters of InterfaceLinkName, terminator included: a link name holds at most 255.
constexpr ULONG KW_LINK_NAME_CHARS = 256;
// Characters of a pipe name ("\KWDrv0"), terminator included.
constexpr ULONG KW_PIPE_NAME_CHARS = 8;
// The longest data stage of a control transfer the USB stack accepts.
constexpr ULONG KW_MAX_CONTROL_TRANSFER = 4096;

// The pool tag 'vdWK': its bytes read "KWdv" in a pool dump.
constexpr ULONG KW_POOL_TAG = static_cast<ULONG>('K') | (static_cast<ULONG>('W') << 8) |
                              (static_cast<ULONG>('d') << 16) | (static_cast<ULONG>('v') << 24);

// One entry of PipeTable. Its address is also the FsContext of a handle opened on the pipe, so
// entries never move while the device object exists.
typedef struct _PIPE_CONTEXT {
    BOOLEAN Opened;                      // TRUE while a handle is open on the pipe
    PUSBD_PIPE_INFORMATION PipeInfo;     // the pipe's entry inside InterfaceInfo, or NULL
    WCHAR Name[KW_PIPE_NAME_CHARS];      // NUL-terminated name the pipe is opened by
} PIPE_CONTEXT, *PPIPE_CONTEXT;

// The extension of the driver's device object: zero-filled by IoCreateDevice, released with
// the device object by the removal path.
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;    // target of every request the driver sends down
    PDEVICE_OBJECT PhysicalDeviceObject; // target of the capability query and power requests
    DEVICE_POWER_STATE DevicePowerState;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;   // owned pool copy, or NULL before the first start
    PUSBD_INTERFACE_INFORMATION InterfaceInfo; // owned pool copy of the selected interface
    DEVICE_CAPABILITIES DeviceCapabilities;
    PIRP PendingSystemPowerIrp;
    KEVENT RemoveEvent;                  // notification event, set when OutstandingIo reaches 0
    LONG OutstandingIo;                  // 1 for the device itself + 1 per request inside
    WCHAR InterfaceLinkName[KW_LINK_NAME_CHARS]; // NUL-terminated symbolic link name
    BOOLEAN AcceptingRequests;           // TRUE until removal begins; under TransferLock
    PIPE_CONTEXT PipeTable[KW_PIPE_TABLE_ENTRIES];
    KSPIN_LOCK TransferLock;             // guards TransferList (usbconfig/pending.cpp)
    LIST_ENTRY TransferList;             // bulk and interrupt transfers in the USB stack
    PIRP StopIrp;                        // reserved at QUERY_STOP: the stop cannot fail for
    PURB StopUrb;                        //   want of pool (usbconfig/pipes.cpp)
    BOOLEAN SurpriseRemoved;             // surprise removal has done its part of the teardown
    LONG HighSpeed;                      // 1: the device runs at high speed; interlocked
                                         //   (a restart stores it while transfers read it)
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION KwGetExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// A pipe entry's PipeInfo is rebound by a restart while transfers on open handles read it, so
// both sides use these: one indivisible load or store of the pointer. Any IRQL.
inline PUSBD_PIPE_INFORMATION KwLoadPipeInfo(PPIPE_CONTEXT Entry)
{
    return static_cast<PUSBD_PIPE_INFORMATION>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile *>(&Entry->PipeInfo), NULL, NULL));
}

inline VOID KwStorePipeInfo(PPIPE_CONTEXT Entry, PUSBD_PIPE_INFORMATION PipeInfo)
{
    (void)InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Entry->PipeInfo), PipeInfo);
}

// Every allocation of the driver is non-paged, because completion routines touch driver
// buffers at DISPATCH_LEVEL. Returns NULL when pool is exhausted.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline PVOID KwAllocatePool(SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, NumberOfBytes, KW_POOL_TAG);
}

// Frees a block that KwAllocatePool returned.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID KwFreePool(PVOID Block)
{
    ExFreePoolWithTag(Block, KW_POOL_TAG);
}

// driver/entry.cpp
extern "C" {
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_INITIALIZE DriverEntry;
}

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_UNLOAD DriverUnload;

// driver/adddevice.cpp
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_ADD_DEVICE AddDevice;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateDeviceObject(_In_ PDRIVER_OBJECT DriverObject,
                            _In_ PDEVICE_OBJECT PhysicalDeviceObject,
                            _Out_ PDEVICE_OBJECT *DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS EnableDeviceInterface(_In_ PDEVICE_OBJECT PhysicalDeviceObject,
                               _Out_ PUNICODE_STRING SymbolicLinkName);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DisableDeviceInterface(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryCapabilities(_In_ PDEVICE_OBJECT PhysicalDeviceObject,
                           _Inout_ PDEVICE_CAPABILITIES Capabilities);

// driver/lowercalls.cpp
_IRQL_requires_max_(DISPATCH_LEVEL)
LONG IoIncrement(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
LONG IoDecrement(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
VOID WaitOnEvent(_In_ PKEVENT Event);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CallUsbd(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetPortStatus(_In_ PDEVICE_OBJECT DeviceObject, _Out_ PULONG PortStatus);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetParentPort(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE SignalEventCompletion;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ForwardRequest(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchSystemControl;

// pnppower/pnp.cpp
_Dispatch_type_(IRP_MJ_PNP)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPnp;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RemoveCleanup(_In_ PDEVICE_OBJECT DeviceObject);

// pnppower/power.cpp
_Dispatch_type_(IRP_MJ_POWER)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPower;
_IRQL_requires_max_(DISPATCH_LEVEL)
REQUEST_POWER_COMPLETE SystemPowerContinuation;
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE DevicePowerUpCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE WaitWakeCompletion;

// usbconfig/memory.cpp
//
// DeviceDescriptor and InterfaceInfo are retained copies. Readers load those pointers without a
// lock and may still use an old copy after a start that follows a stop has replaced it (a
// device-control request copying the descriptor, an open handle whose PipeInfo points into the
// old interface). So a replaced copy is never freed while the device exists: each copy carries a
// KW_RETIRED header in front of it that links to the copy it replaced, and removal frees the
// current copy with every copy behind it (FreeDeviceCopies). Only the Plug and Play thread
// publishes or frees copies; readers never write them.
typedef struct _KW_RETIRED {
    struct _KW_RETIRED *Next;            // header of the copy this one replaced, or NULL
    ULONG_PTR Reserved;                  // keeps the copy behind the header 8-byte aligned
} KW_RETIRED, *PKW_RETIRED;

_IRQL_requires_max_(DISPATCH_LEVEL)
PURB AllocateUrb(_In_ SIZE_T NumberOfBytes);

_IRQL_requires_(PASSIVE_LEVEL)
PVOID AllocateRetainedCopy(_In_ SIZE_T NumberOfBytes);

_IRQL_requires_(PASSIVE_LEVEL)
VOID FreeUnpublishedCopy(_In_ PVOID Copy);

_IRQL_requires_(PASSIVE_LEVEL)
VOID PublishRetainedCopy(_Inout_ PVOID volatile *Field, _In_ PVOID Copy);

_IRQL_requires_(PASSIVE_LEVEL)
VOID FreeRetainedCopies(_Inout_ PVOID volatile *Field);

_IRQL_requires_(PASSIVE_LEVEL)
VOID FreeDeviceCopies(_In_ PDEVICE_OBJECT DeviceObject);

// usbconfig/validate.cpp
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ValidateConfigurationSet(_In_ PUSB_CONFIGURATION_DESCRIPTOR Set, _In_ ULONG BytesDelivered);

// usbconfig/descriptors.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartDevice(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadDeviceDescriptor(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadConfigurationDescriptor(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
PUSB_CONFIGURATION_DESCRIPTOR FetchConfigurationDescriptor(_In_ PDEVICE_OBJECT DeviceObject);

// usbconfig/configure.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ChooseConfiguration(_In_ PDEVICE_OBJECT DeviceObject,
                             _In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectAlternateConfiguration(_In_ PDEVICE_OBJECT DeviceObject,
                                      _In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                      _Inout_ PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(_In_ PDEVICE_OBJECT DeviceObject,
                             _In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                             _Inout_ PUSBD_INTERFACE_LIST_ENTRY InterfaceList,
                             _In_ ULONG InterfaceCount);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadBackConfiguration(_In_ PDEVICE_OBJECT DeviceObject, _In_ NTSTATUS SelectionStatus);

// usbconfig/pipetable.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BuildPipeTable(_In_ PDEVICE_OBJECT DeviceObject);

// usbconfig/pipes.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PPIPE_CONTEXT PipeContext,
                   _In_ BOOLEAN ClearEndpointHalt);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipes(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StopDevice(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReserveStopRequest(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseStopRequest(_In_ PDEVICE_OBJECT DeviceObject);

// usbconfig/pending.cpp (the cancel protocol is described there)
//
// One bulk or interrupt transfer: one block from KwAllocatePool holding this header and, right
// behind it, the transfer's URB. Allocated by the dispatch, freed by the completion routine (or
// by a canceller that holds the request when it completes).
typedef struct _TRANSFER_CONTEXT {
    LIST_ENTRY ListEntry;                // in TransferList while in the USB stack
    struct _TRANSFER_CONTEXT *CancelNext; // a canceller's private chain
    PIRP Irp;                            // the caller's request, sent down itself
    PDEVICE_OBJECT DeviceObject;         // the driver's own device object
    PFILE_OBJECT FileObject;             // the handle's file object, for its cleanup
    ULONG State;                         // cancel state, under TransferLock
    PURB Urb;                            // the URB behind this header
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID InitializeTransferList(_Inout_ PDEVICE_EXTENSION Extension);

_IRQL_requires_max_(DISPATCH_LEVEL)
PTRANSFER_CONTEXT AllocateTransfer(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                                   _In_ SIZE_T UrbBytes);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeTransfer(_In_ PTRANSFER_CONTEXT Transfer);

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS TrackTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PTRANSFER_CONTEXT Transfer,
                       _In_ PIO_COMPLETION_ROUTINE CompletionRoutine);

_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN UntrackTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PTRANSFER_CONTEXT Transfer);

_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelTransfers(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PFILE_OBJECT FileObject,
                     _In_ BOOLEAN AllFiles);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID StopAcceptingRequests(_In_ PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsAcceptingRequests(_In_ PDEVICE_OBJECT DeviceObject);

// transfer/openclose.cpp
//
// A handle's FsContext is NULL (opened without a pipe) or the address of the PipeTable entry it
// holds. Opened is taken and given back only by interlocked compare-exchange on the LONG that
// begins the entry (Opened and its padding), so one pipe is held by at most one handle, also
// under racing opens.
_Dispatch_type_(IRP_MJ_CREATE)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCreate;

_Dispatch_type_(IRP_MJ_CLOSE)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchClose;

// transfer/readwrite.cpp
_Dispatch_type_(IRP_MJ_READ)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchRead;

_Dispatch_type_(IRP_MJ_WRITE)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchWrite;

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS FinishRequest(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _In_ NTSTATUS Status);

// transfer/bulk.cpp
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID BuildBulkOrInterruptUrb(_Inout_ PTRANSFER_CONTEXT Transfer, _In_ PIRP Irp,
                             _In_ PUSBD_PIPE_INFORMATION PipeInfo, _In_ BOOLEAN Read);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendBulkOrInterruptTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                                     _In_ PUSBD_PIPE_INFORMATION PipeInfo, _In_ BOOLEAN Read);

_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE BulkOrInterruptCompletion;

// control/ioctl.cpp
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchDeviceControl;

// control/vendor.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS VendorRequest0C(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _In_ BOOLEAN Out);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS VendorRequest1And2(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _In_ BOOLEAN Out);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS VendorRequest00(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// control/probe.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LockCallerBuffer(_In_ PVOID Address, _In_ ULONG Length, _In_ KPROCESSOR_MODE AccessMode,
                          _In_ LOCK_OPERATION Operation, _Out_ PMDL *Mdl);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID UnlockCallerBuffer(_In_ PMDL Mdl);

// transfer/cleanup.cpp
_Dispatch_type_(IRP_MJ_CLEANUP)
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCleanup;
// usbconfig/busspeed.cpp
_IRQL_requires_(PASSIVE_LEVEL)
VOID QueryDeviceSpeed(_In_ PDEVICE_OBJECT DeviceObject);

// transfer/isoch.cpp
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchIsochronousTransfer(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                                     _In_ PUSBD_PIPE_INFORMATION PipeInfo, _In_ BOOLEAN Read);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BuildIsochronousUrb(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                             _In_ PUSBD_PIPE_INFORMATION PipeInfo, _In_ BOOLEAN Read,
                             _Outptr_result_maybenull_ PURB *Urb);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryCurrentFrameNumber(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                                 _Out_ PULONG FrameNumber);

_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE IsochronousCompletion;

#endif // KWDRV_H
