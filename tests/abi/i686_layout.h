/*
 * i686_layout.h - the 32-bit Windows sizes and offsets of every platform
 * record the driver touches, as compile-time assertions.
 *
 * The same assertions compile against two sets of headers: the mingw-w64
 * DDK (windows/abi_check.cpp, built with the kwdrv.sys flags) and the host
 * model's sim/include (tests/abi/abi_test.cpp, built with -m32). Both must
 * agree with the numbers below, so the model's records match Windows field
 * for field. On a 64-bit host the header checks nothing (pointer widths
 * differ there by design).
 *
 * Include it after the platform headers (wdm.h or ntddk.h, usb.h,
 * usbioctl.h, usbdlib.h).
 */
#ifndef KWDRV_TESTS_ABI_I686_LAYOUT_H
#define KWDRV_TESTS_ABI_I686_LAYOUT_H

#if defined(__i386__)

/* KW_EACH(M, T, a1, b1, a2, b2, ...) expands M(T, a, b) for up to ten pairs;
 * an odd or over-long list does not compile. */
#define KW_E1(M, T, a, b) M(T, a, b)
#define KW_E2(M, T, a, b, ...) M(T, a, b) KW_E1(M, T, __VA_ARGS__)
#define KW_E3(M, T, a, b, ...) M(T, a, b) KW_E2(M, T, __VA_ARGS__)
#define KW_E4(M, T, a, b, ...) M(T, a, b) KW_E3(M, T, __VA_ARGS__)
#define KW_E5(M, T, a, b, ...) M(T, a, b) KW_E4(M, T, __VA_ARGS__)
#define KW_E6(M, T, a, b, ...) M(T, a, b) KW_E5(M, T, __VA_ARGS__)
#define KW_E7(M, T, a, b, ...) M(T, a, b) KW_E6(M, T, __VA_ARGS__)
#define KW_E8(M, T, a, b, ...) M(T, a, b) KW_E7(M, T, __VA_ARGS__)
#define KW_E9(M, T, a, b, ...) M(T, a, b) KW_E8(M, T, __VA_ARGS__)
#define KW_E10(M, T, a, b, ...) M(T, a, b) KW_E9(M, T, __VA_ARGS__)
#define KW_PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18, \
                _19, _20, N, ...) N
#define KW_EACH(M, T, ...)                                                                      \
  KW_PICK(__VA_ARGS__, KW_E10, -, KW_E9, -, KW_E8, -, KW_E7, -, KW_E6, -, KW_E5, -, KW_E4, -, \
          KW_E3, -, KW_E2, -, KW_E1, -)(M, T, __VA_ARGS__)

#define KW_OFF(T, f, o) static_assert(__builtin_offsetof(T, f) == (o), "offset of " #T "." #f);
#define KW_PAR(T, f, o) \
  static_assert(__builtin_offsetof(T, Parameters.f) == (o), "offset of " #T ".Parameters." #f);
#define KW_SZ(unused, t, s) static_assert(sizeof(t) == (s), "size of " #t);
#define KW_AL(unused, t, a) static_assert(alignof(t) == (a), "alignment of " #t);

/* KW_REC(type, size, field, offset, ...): the size and up to ten offsets;
 * KW_AT(type, field, offset, ...) more offsets of the same record. */
#define KW_REC(T, size, ...) KW_SZ(-, T, size) KW_EACH(KW_OFF, T, __VA_ARGS__)
#define KW_AT(T, ...) KW_EACH(KW_OFF, T, __VA_ARGS__)
/* The transfer fields every control URB shares with the bulk one. */
#define KW_XFER(T)                                                                   \
  KW_AT(T, TransferBufferLength, 24, TransferBuffer, 28, TransferBufferMDL, 32, UrbLink, 36, \
        hca, 40)

/* Scalars */
KW_EACH(KW_SZ, -, BOOLEAN, 1, CCHAR, 1, KIRQL, 1, KPROCESSOR_MODE, 1, CSHORT, 2, WCHAR, 2)
KW_EACH(KW_SZ, -, USHORT, 2, LONG, 4, ULONG, 4, NTSTATUS, 4, USBD_STATUS, 4, ULONG_PTR, 4)
KW_EACH(KW_SZ, -, SIZE_T, 4, KSPIN_LOCK, 4, LONGLONG, 8, POOL_TYPE, 4, EVENT_TYPE, 4)
KW_EACH(KW_SZ, -, KWAIT_REASON, 4, DEVICE_POWER_STATE, 4, SYSTEM_POWER_STATE, 4)
KW_EACH(KW_SZ, -, USBD_PIPE_TYPE, 4)

/* Alignment: 64-bit members are 8-aligned, as the Windows compilers do it. */
KW_EACH(KW_AL, -, LARGE_INTEGER, 8, IRP, 8, FILE_OBJECT, 8, IO_STACK_LOCATION, 4)
KW_EACH(KW_AL, -, DEVICE_OBJECT, 4, URB, 4)

/* Records (sizes and offsets measured with i686-w64-mingw32-g++ against the
 * DDK headers) */
KW_REC(IRP, 112, MdlAddress, 4, Flags, 8, AssociatedIrp, 12, ThreadListEntry, 16, IoStatus, 24)
KW_AT(IRP, RequestorMode, 32, PendingReturned, 33, StackCount, 34, CurrentLocation, 35)
KW_AT(IRP, Cancel, 36, CancelIrql, 37, ApcEnvironment, 38, AllocationFlags, 39, UserIosb, 40)
KW_AT(IRP, UserEvent, 44, Overlay, 48, CancelRoutine, 56, UserBuffer, 60, Tail, 64)
KW_AT(IRP, Tail.Overlay.DriverContext, 64, Tail.Overlay.Thread, 80)
KW_AT(IRP, Tail.Overlay.AuxiliaryBuffer, 84, Tail.Overlay.ListEntry, 88)
KW_AT(IRP, Tail.Overlay.CurrentStackLocation, 96, Tail.Overlay.OriginalFileObject, 100)
KW_AT(IRP, Tail.Apc, 64, Tail.CompletionKey, 64)

KW_REC(IO_STACK_LOCATION, 36, MajorFunction, 0, MinorFunction, 1, Flags, 2, Control, 3)
KW_AT(IO_STACK_LOCATION, Parameters, 4, DeviceObject, 20, FileObject, 24)
KW_AT(IO_STACK_LOCATION, CompletionRoutine, 28, Context, 32)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Create.SecurityContext, 4, Create.Options, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Create.FileAttributes, 12, Create.ShareAccess, 14)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Create.EaLength, 16, Read.Length, 4, Read.Key, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Read.ByteOffset, 12, Write.Length, 4, Write.ByteOffset, 12)
KW_EACH(KW_PAR, IO_STACK_LOCATION, DeviceIoControl.OutputBufferLength, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, DeviceIoControl.InputBufferLength, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, DeviceIoControl.IoControlCode, 12)
KW_EACH(KW_PAR, IO_STACK_LOCATION, DeviceIoControl.Type3InputBuffer, 16)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Others.Argument1, 4, Others.Argument2, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Others.Argument3, 12, Others.Argument4, 16)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Power.SystemContext, 4, Power.Type, 8, Power.State, 12)
KW_EACH(KW_PAR, IO_STACK_LOCATION, Power.ShutdownType, 16, WaitWake.PowerState, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryId.IdType, 4, QueryDeviceRelations.Type, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, UsageNotification.InPath, 4, UsageNotification.Type, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, StartDevice.AllocatedResources, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, StartDevice.AllocatedResourcesTranslated, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, DeviceCapabilities.Capabilities, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryInterface.InterfaceType, 4, QueryInterface.Size, 8)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryInterface.Version, 10, QueryInterface.Interface, 12)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryInterface.InterfaceSpecificData, 16)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryDeviceText.DeviceTextType, 4)
KW_EACH(KW_PAR, IO_STACK_LOCATION, QueryDeviceText.LocaleId, 8)

KW_REC(DEVICE_OBJECT, 184, Type, 0, Size, 2, ReferenceCount, 4, DriverObject, 8, NextDevice, 12)
KW_AT(DEVICE_OBJECT, AttachedDevice, 16, CurrentIrp, 20, Timer, 24, Flags, 28)
KW_AT(DEVICE_OBJECT, Characteristics, 32, Vpb, 36, DeviceExtension, 40, DeviceType, 44)
KW_AT(DEVICE_OBJECT, StackSize, 48, Queue, 52, AlignmentRequirement, 92, DeviceQueue, 96)
KW_AT(DEVICE_OBJECT, Dpc, 116, ActiveThreadCount, 148, SecurityDescriptor, 152)
KW_AT(DEVICE_OBJECT, DeviceLock, 156, SectorSize, 172, Spare1, 174)
KW_AT(DEVICE_OBJECT, DeviceObjectExtension, 176, Reserved, 180)

KW_REC(DRIVER_OBJECT, 168, Type, 0, Size, 2, DeviceObject, 4, Flags, 8, DriverStart, 12)
KW_AT(DRIVER_OBJECT, DriverSize, 16, DriverSection, 20, DriverExtension, 24, DriverName, 28)
KW_AT(DRIVER_OBJECT, HardwareDatabase, 36, FastIoDispatch, 40, DriverInit, 44)
KW_AT(DRIVER_OBJECT, DriverStartIo, 48, DriverUnload, 52, MajorFunction, 56)

KW_REC(DRIVER_EXTENSION, 20, DriverObject, 0, AddDevice, 4, Count, 8, ServiceKeyName, 12)

KW_REC(FILE_OBJECT, 128, Type, 0, Size, 2, DeviceObject, 4, Vpb, 8, FsContext, 12)
KW_AT(FILE_OBJECT, FsContext2, 16, SectionObjectPointer, 20, PrivateCacheMap, 24)
KW_AT(FILE_OBJECT, FinalStatus, 28, RelatedFileObject, 32, LockOperation, 36)
KW_AT(FILE_OBJECT, DeletePending, 37, ReadAccess, 38, WriteAccess, 39, DeleteAccess, 40)
KW_AT(FILE_OBJECT, SharedRead, 41, SharedWrite, 42, SharedDelete, 43, Flags, 44, FileName, 48)
KW_AT(FILE_OBJECT, CurrentByteOffset, 56, Waiters, 64, Busy, 68, LastLock, 72, Lock, 76)
KW_AT(FILE_OBJECT, Event, 92, CompletionContext, 108, IrpListLock, 112, IrpList, 116)
KW_AT(FILE_OBJECT, FileObjectExtension, 124)

KW_REC(DEVICE_CAPABILITIES, 64, Size, 0, Version, 2, Address, 8, UINumber, 12)
KW_AT(DEVICE_CAPABILITIES, DeviceState, 16, SystemWake, 44, DeviceWake, 48)
KW_AT(DEVICE_CAPABILITIES, D1Latency, 52, D2Latency, 56, D3Latency, 60)

KW_REC(MDL, 28, Next, 0, Size, 4, MdlFlags, 6, Process, 8, MappedSystemVa, 12, StartVa, 16)
KW_AT(MDL, ByteCount, 20, ByteOffset, 24)

KW_REC(KEVENT, 16, Header, 0)
KW_REC(DISPATCHER_HEADER, 16, Type, 0, Size, 2, SignalState, 4, WaitListHead, 8, Lock, 0)

KW_REC(KDPC, 32, Type, 0, Importance, 1, Number, 2, DpcListEntry, 4, DeferredRoutine, 12)
KW_AT(KDPC, DeferredContext, 16, SystemArgument1, 20, SystemArgument2, 24, DpcData, 28)

KW_REC(KDEVICE_QUEUE, 20, Type, 0, Size, 2, DeviceListHead, 4, Lock, 12, Busy, 16)
KW_REC(KDEVICE_QUEUE_ENTRY, 16, DeviceListEntry, 0, SortKey, 8, Inserted, 12)

KW_REC(WAIT_CONTEXT_BLOCK, 40, WaitQueueEntry, 0, DeviceRoutine, 16, DeviceContext, 20)
KW_AT(WAIT_CONTEXT_BLOCK, NumberOfMapRegisters, 24, DeviceObject, 28, CurrentIrp, 32)
KW_AT(WAIT_CONTEXT_BLOCK, BufferChainingDpc, 36)

KW_REC(KAPC, 48, Type, 0, Size, 2, Thread, 8, ApcListEntry, 12, KernelRoutine, 20)
KW_AT(KAPC, RundownRoutine, 24, NormalRoutine, 28, NormalContext, 32, SystemArgument1, 36)
KW_AT(KAPC, SystemArgument2, 40, ApcStateIndex, 44, ApcMode, 45, Inserted, 46)

KW_REC(IO_STATUS_BLOCK, 8, Status, 0, Pointer, 0, Information, 4)
KW_REC(UNICODE_STRING, 8, Length, 0, MaximumLength, 2, Buffer, 4)
KW_REC(LIST_ENTRY, 8, Flink, 0, Blink, 4)
KW_REC(LARGE_INTEGER, 8, LowPart, 0, HighPart, 4, QuadPart, 0)
KW_REC(GUID, 16, Data1, 0, Data2, 4, Data3, 6, Data4, 8)
KW_REC(POWER_STATE, 4, SystemState, 0, DeviceState, 0)
KW_REC(INTERFACE, 16, Size, 0, Version, 2, Context, 4, InterfaceReference, 8)
KW_AT(INTERFACE, InterfaceDereference, 12)
KW_REC(DEVICE_RELATIONS, 8, Count, 0, Objects, 4)
KW_REC(IO_SECURITY_CONTEXT, 16, SecurityQos, 0, AccessState, 4, DesiredAccess, 8)
KW_AT(IO_SECURITY_CONTEXT, FullCreateOptions, 12)

/* URBs and the USBD records */
KW_SZ(-, URB, 96)
KW_REC(struct _URB_HEADER, 16, Length, 0, Function, 2, Status, 4, UsbdDeviceHandle, 8)
KW_AT(struct _URB_HEADER, UsbdFlags, 12)

KW_REC(struct _URB_SELECT_CONFIGURATION, 60, ConfigurationDescriptor, 16)
KW_AT(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 20, Interface, 24)
KW_REC(struct _URB_SELECT_INTERFACE, 56, ConfigurationHandle, 16, Interface, 20)

KW_REC(USBD_INTERFACE_INFORMATION, 36, Length, 0, InterfaceNumber, 2, AlternateSetting, 3)
KW_AT(USBD_INTERFACE_INFORMATION, Class, 4, SubClass, 5, Protocol, 6, Reserved, 7)
KW_AT(USBD_INTERFACE_INFORMATION, InterfaceHandle, 8, NumberOfPipes, 12, Pipes, 16)

KW_REC(USBD_PIPE_INFORMATION, 20, MaximumPacketSize, 0, EndpointAddress, 2, Interval, 3)
KW_AT(USBD_PIPE_INFORMATION, PipeType, 4, PipeHandle, 8, MaximumTransferSize, 12, PipeFlags, 16)

KW_REC(USBD_INTERFACE_LIST_ENTRY, 8, InterfaceDescriptor, 0, Interface, 4)
KW_REC(struct _URB_PIPE_REQUEST, 24, PipeHandle, 16, Reserved, 20)
KW_SZ(-, struct _URB_FRAME_LENGTH_CONTROL, 16)
KW_REC(struct _URB_GET_FRAME_LENGTH, 24, FrameLength, 16, FrameNumber, 20)
KW_REC(struct _URB_SET_FRAME_LENGTH, 20, FrameLengthDelta, 16)
KW_REC(struct _URB_GET_CURRENT_FRAME_NUMBER, 20, FrameNumber, 16)
KW_SZ(-, struct _URB_HCD_AREA, 32)

KW_REC(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 72, PipeHandle, 16, TransferFlags, 20)
KW_XFER(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
KW_REC(struct _URB_CONTROL_TRANSFER, 80, PipeHandle, 16, TransferFlags, 20, SetupPacket, 72)
KW_XFER(struct _URB_CONTROL_TRANSFER)
KW_REC(struct _URB_ISOCH_TRANSFER, 96, PipeHandle, 16, TransferFlags, 20, StartFrame, 72)
KW_AT(struct _URB_ISOCH_TRANSFER, NumberOfPackets, 76, ErrorCount, 80, IsoPacket, 84)
KW_XFER(struct _URB_ISOCH_TRANSFER)
KW_REC(USBD_ISO_PACKET_DESCRIPTOR, 12, Offset, 0, Length, 4, Status, 8)

KW_REC(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 80, Reserved1, 72, Index, 74)
KW_AT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 75, LanguageId, 76, Reserved2, 78)
KW_XFER(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
KW_REC(struct _URB_CONTROL_GET_STATUS_REQUEST, 80, Reserved1, 72, Index, 76)
KW_XFER(struct _URB_CONTROL_GET_STATUS_REQUEST)
KW_REC(struct _URB_CONTROL_FEATURE_REQUEST, 80, UrbLink, 36, Reserved0, 72, FeatureSelector, 74)
KW_AT(struct _URB_CONTROL_FEATURE_REQUEST, Index, 76, Reserved1, 78)
KW_REC(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 80, TransferFlags, 20)
KW_AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 72, Request, 73)
KW_AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value, 74, Index, 76, Reserved1, 78)
KW_XFER(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
KW_REC(struct _URB_CONTROL_GET_INTERFACE_REQUEST, 80, Reserved1, 72, Interface, 76)
KW_XFER(struct _URB_CONTROL_GET_INTERFACE_REQUEST)
KW_REC(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST, 80, Reserved1, 72)
KW_XFER(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST)
KW_REC(struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST, 80, InterfaceNumber, 74, MS_PageIndex, 75)
KW_AT(struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST, MS_FeatureDescriptorIndex, 76)

/* Descriptors: packed, so they overlay the bytes a device sends. */
KW_REC(USB_DEVICE_DESCRIPTOR, 18, bcdUSB, 2, idVendor, 8, idProduct, 10, bcdDevice, 12)
KW_AT(USB_DEVICE_DESCRIPTOR, bNumConfigurations, 17)
KW_REC(USB_CONFIGURATION_DESCRIPTOR, 9, wTotalLength, 2, bNumInterfaces, 4)
KW_AT(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue, 5, iConfiguration, 6)
KW_AT(USB_CONFIGURATION_DESCRIPTOR, bmAttributes, 7, MaxPower, 8)
KW_REC(USB_INTERFACE_DESCRIPTOR, 9, bInterfaceNumber, 2, bAlternateSetting, 3)
KW_AT(USB_INTERFACE_DESCRIPTOR, bNumEndpoints, 4, bInterfaceClass, 5, iInterface, 8)
KW_REC(USB_ENDPOINT_DESCRIPTOR, 7, bEndpointAddress, 2, bmAttributes, 3, wMaxPacketSize, 4)
KW_AT(USB_ENDPOINT_DESCRIPTOR, bInterval, 6)
KW_REC(USB_STRING_DESCRIPTOR, 4, bString, 2)
KW_REC(USB_COMMON_DESCRIPTOR, 2, bDescriptorType, 1)
KW_REC(USB_DEFAULT_PIPE_SETUP_PACKET, 8, bmRequestType, 0, bRequest, 1, wValue, 2, wIndex, 4)
KW_AT(USB_DEFAULT_PIPE_SETUP_PACKET, wLength, 6)
KW_REC(USBD_VERSION_INFORMATION, 8, USBDI_Version, 0, Supported_USB_Version, 4)

/* Select-configuration and isochronous URB sizes the driver computes. */
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2) == 80, "select-configuration, 1 x 2");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 5) == 140, "select-configuration, 1 x 5");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3) == 116, "select-configuration, 2 x 3");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(5) == 136, "select-interface URB, 5 pipes");
static_assert(GET_USBD_INTERFACE_SIZE(1) == 36, "interface record, 1 pipe");
static_assert(GET_USBD_INTERFACE_SIZE(2) == 56, "interface record, 2 pipes");
static_assert(GET_ISO_URB_SIZE(8) == 192, "isochronous URB, 8 packets");
static_assert(IoSizeOfIrp(2) == 112 + 2 * 36, "IRP with two stack locations");

/* Structured exceptions: the thread information block at FS and the record handlers get. */
KW_REC(NT_TIB, 28, ExceptionList, 0, StackBase, 4, StackLimit, 8, Self, 24)
KW_REC(EXCEPTION_RECORD, 80, ExceptionCode, 0, ExceptionFlags, 4, ExceptionRecord, 8,
       ExceptionAddress, 12, NumberParameters, 16, ExceptionInformation, 20)

/* Control codes */
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x00220007, "IOCTL_INTERNAL_USB_RESET_PORT");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x00220013, "GET_PORT_STATUS");
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x0022001F, "IOCTL_INTERNAL_USB_CYCLE_PORT");

#undef KW_E1
#undef KW_E2
#undef KW_E3
#undef KW_E4
#undef KW_E5
#undef KW_E6
#undef KW_E7
#undef KW_E8
#undef KW_E9
#undef KW_E10
#undef KW_PICK
#undef KW_EACH
#undef KW_OFF
#undef KW_PAR
#undef KW_SZ
#undef KW_AL
#undef KW_REC
#undef KW_AT
#undef KW_XFER

#endif /* __i386__ */

#endif /* KWDRV_TESTS_ABI_I686_LAYOUT_H */
