// Checks of the model's platform headers (sim/include) that need no model:
// record layouts (at compile time, in the 32-bit build), and the run-time
// behaviour of the macros and inline routines drivers use, against what the
// Windows headers define them to do.
#include <initguid.h>  // first: DEFINE_GUID below defines, not just declares

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbiodef.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include "i686_layout.h"
#include "driver_layout.h"

DEFINE_GUID(KWABI_TEST_GUID, 0x01234567, 0x89ab, 0xcdef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
            0xef);

namespace {

constexpr bool kI386 =
#if defined(__i386__)
    true;
#else
    false;
#endif

// ---------------------------------------------------------------------------
// Types and status codes
// ---------------------------------------------------------------------------

TEST(PlatformTypes, IntegerWidthsAreThoseOfWindows) {
  EXPECT_EQ(sizeof(LONG), 4u);
  EXPECT_EQ(sizeof(ULONG), 4u);
  EXPECT_EQ(sizeof(WCHAR), 2u);
  EXPECT_EQ(sizeof(BOOLEAN), 1u);
  EXPECT_EQ(sizeof(LONGLONG), 8u);
  EXPECT_EQ(sizeof(ULONG_PTR), sizeof(void *));
  EXPECT_EQ(sizeof(LARGE_INTEGER), 8u);
  EXPECT_EQ(alignof(LARGE_INTEGER), 8u);
  EXPECT_LT(LONG(-1), 0);
  EXPECT_LT(CCHAR(-1), 0);  // CCHAR and KPROCESSOR_MODE are signed
}

TEST(PlatformTypes, LargeIntegerHalvesAreLittleEndian) {
  LARGE_INTEGER li;
  li.QuadPart = 0x0000000100000002LL;
  EXPECT_EQ(li.LowPart, 2u);
  EXPECT_EQ(li.HighPart, 1);
  EXPECT_EQ(li.u.LowPart, 2u);
  li.QuadPart = -10 * 1000 * 1000;  // a relative one-second timeout
  EXPECT_EQ(li.HighPart, -1);
  EXPECT_EQ(li.LowPart, 0xFF676980u);
}

struct StatusCase {
  NTSTATUS status;
  bool success, information, warning, error;
};

TEST(StatusCodes, SeverityMacrosClassifyByTopTwoBits) {
  const StatusCase cases[] = {
      {STATUS_SUCCESS, true, false, false, false},
      {STATUS_PENDING, true, false, false, false},
      {STATUS_TIMEOUT, true, false, false, false},
      {STATUS_OBJECT_NAME_EXISTS, true, true, false, false},
      {STATUS_BUFFER_OVERFLOW, false, false, true, false},
      {STATUS_DEVICE_BUSY, false, false, true, false},
      {STATUS_CANCELLED, false, false, false, true},
      {STATUS_MORE_PROCESSING_REQUIRED, false, false, false, true},
      {STATUS_INSUFFICIENT_RESOURCES, false, false, false, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << static_cast<ULONG>(c.status));
    EXPECT_EQ(NT_SUCCESS(c.status), c.success);
    EXPECT_EQ(NT_INFORMATION(c.status), c.information);
    EXPECT_EQ(NT_WARNING(c.status), c.warning);
    EXPECT_EQ(NT_ERROR(c.status), c.error);
  }
}

TEST(StatusCodes, UsbdStatusStatesFollowTheTopTwoBits) {
  EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_SUCCESS));
  EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_PENDING));
  EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
  EXPECT_FALSE(USBD_PENDING(USBD_STATUS_SUCCESS));
  EXPECT_TRUE(USBD_ERROR(USBD_STATUS_INVALID_PIPE_HANDLE));
  EXPECT_FALSE(USBD_HALTED(USBD_STATUS_INVALID_PIPE_HANDLE));  // error, endpoint not halted
  EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
  EXPECT_TRUE(USBD_HALTED(USBD_STATUS_STALL_PID));
  EXPECT_TRUE(USBD_HALTED(USBD_STATUS_CANCELED));
  EXPECT_FALSE(USBD_HALTED(USBD_STATUS_NO_MEMORY));
}

TEST(PnpRecords, CapabilityBitsSitWhereWindowsPutsThem) {
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof(caps));
  ULONG bits = 0;
  caps.SurpriseRemovalOK = 1;
  memcpy(&bits, reinterpret_cast<const UCHAR *>(&caps) + 4, sizeof(bits));
  EXPECT_EQ(bits, 1u << 9);
  caps.SurpriseRemovalOK = 0;
  caps.DeviceD1 = 1;
  caps.WakeFromD3 = 1;
  caps.NoDisplayInUI = 1;
  memcpy(&bits, reinterpret_cast<const UCHAR *>(&caps) + 4, sizeof(bits));
  EXPECT_EQ(bits, (1u << 0) | (1u << 13) | (1u << 17));
  EXPECT_EQ(sizeof(caps.DeviceState) / sizeof(caps.DeviceState[0]), size_t{PowerSystemMaximum});
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), 64u);  // no pointers: the same on every host

  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  EXPECT_EQ(static_cast<int>(state.SystemState), 4);  // one 4-byte value, two views
  EXPECT_EQ(sizeof(POWER_STATE), 4u);
}

// ---------------------------------------------------------------------------
// Control codes and URB sizes
// ---------------------------------------------------------------------------

TEST(ControlCodes, CtlCodePacksTypeAccessFunctionMethod) {
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x00222000u);
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_READ_ACCESS),
            0x00226006u);
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_IN_DIRECT, FILE_WRITE_ACCESS);
  EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(code), ULONG{FILE_DEVICE_UNKNOWN});
  EXPECT_EQ(METHOD_FROM_CTL_CODE(code), ULONG{METHOD_IN_DIRECT});
}

TEST(ControlCodes, InternalUsbCodesHaveWindowsValues) {
  EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x00220003u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_RESET_PORT, 0x00220007u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x00220013u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_CYCLE_PORT, 0x0022001Fu);
  EXPECT_EQ(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, 0x0022000Fu);
  EXPECT_EQ(FILE_DEVICE_USB, 0x22);
}

TEST(UrbSizes, SelectConfigurationSizeEmbedsOneInterfaceAndOnePipe) {
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2),
            sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3),
            sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_INTERFACE_INFORMATION) +
                sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(0), sizeof(USBD_INTERFACE_INFORMATION) -
                                            sizeof(USBD_PIPE_INFORMATION));
  if (kI386) {
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2), 80u);
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3), 100u);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(0), 16u);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(2), 56u);
  }
}

TEST(UrbSizes, IsoUrbSizeDoesNotSubtractTheEmbeddedPacket) {
  EXPECT_EQ(GET_ISO_URB_SIZE(8),
            sizeof(struct _URB_ISOCH_TRANSFER) + 8 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
  if (kI386) {
    EXPECT_EQ(GET_ISO_URB_SIZE(8), 192u);
    EXPECT_EQ(GET_ISO_URB_SIZE(1), 108u);
  }
  // The URB union is large enough for every non-variable request.
  EXPECT_GE(sizeof(URB), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  EXPECT_GE(sizeof(URB), sizeof(struct _URB_ISOCH_TRANSFER));
}

// ---------------------------------------------------------------------------
// USB descriptors overlay the bytes a device sends
// ---------------------------------------------------------------------------

// Configuration 1: one interface (vendor class), bulk IN 0x81 (64 bytes),
// interrupt OUT 0x02 (8 bytes, every 10 frames).
constexpr std::array<UCHAR, 32> kConfigBytes = {
    9, 2, 32, 0, 1, 1, 0, 0x80, 50,        // configuration
    9, 4, 0, 0, 2, 0xFF, 0, 0, 0,          // interface 0, alt 0
    7, 5, 0x81, 2, 64, 0, 0,               // bulk IN
    7, 5, 0x02, 3, 8, 0, 10,               // interrupt OUT
};

TEST(Descriptors, RecordsOverlayDescriptorBytesWithoutPadding) {
  EXPECT_EQ(sizeof(USB_DEVICE_DESCRIPTOR), 18u);
  EXPECT_EQ(sizeof(USB_CONFIGURATION_DESCRIPTOR), 9u);
  EXPECT_EQ(sizeof(USB_INTERFACE_DESCRIPTOR), 9u);
  EXPECT_EQ(sizeof(USB_ENDPOINT_DESCRIPTOR), 7u);
  EXPECT_EQ(sizeof(USB_COMMON_DESCRIPTOR), 2u);

  const auto *config = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(kConfigBytes.data());
  EXPECT_EQ(config->bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(config->wTotalLength, kConfigBytes.size());
  EXPECT_EQ(config->bmAttributes & USB_CONFIG_POWERED_MASK, USB_CONFIG_BUS_POWERED);

  const auto *iface =
      reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(kConfigBytes.data() + config->bLength);
  EXPECT_EQ(iface->bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
  EXPECT_EQ(iface->bNumEndpoints, 2);
  EXPECT_EQ(iface->bInterfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);

  const auto *in = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(kConfigBytes.data() + 18);
  const auto *out = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(kConfigBytes.data() + 25);
  EXPECT_EQ(in->wMaxPacketSize, 64);
  EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(in->bEndpointAddress));
  EXPECT_FALSE(USB_ENDPOINT_DIRECTION_OUT(in->bEndpointAddress));
  EXPECT_EQ(in->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_BULK);
  EXPECT_EQ(out->bEndpointAddress & USB_ENDPOINT_ADDRESS_MASK, 2);
  EXPECT_TRUE(USB_ENDPOINT_DIRECTION_OUT(out->bEndpointAddress));
  EXPECT_EQ(out->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_INTERRUPT);
  EXPECT_EQ(out->bInterval, 10);
  // Pipe types are the endpoint's transfer-type bits.
  EXPECT_EQ(UsbdPipeTypeBulk, USB_ENDPOINT_TYPE_BULK);
  EXPECT_EQ(UsbdPipeTypeIsochronous, USB_ENDPOINT_TYPE_ISOCHRONOUS);
}

TEST(Descriptors, SetupPacketHalvesAddressBytes) {
  const UCHAR bytes[8] = {0xC0, 0x0C, 0x34, 0x12, 0x02, 0x00, 0x40, 0x00};
  USB_DEFAULT_PIPE_SETUP_PACKET setup;
  static_assert(sizeof(setup) == 8);
  memcpy(&setup, bytes, sizeof(setup));
  EXPECT_EQ(setup.bmRequestType.B, 0xC0);
  EXPECT_EQ(setup.bRequest, 0x0C);
  EXPECT_EQ(setup.wValue.W, 0x1234);
  EXPECT_EQ(setup.wValue.LowByte, 0x34);
  EXPECT_EQ(setup.wValue.HiByte, 0x12);
  EXPECT_EQ(setup.wIndex.W, 2);
  EXPECT_EQ(setup.wLength, 64);
}

// ---------------------------------------------------------------------------
// URB formatting macros
// ---------------------------------------------------------------------------

TEST(UsbBuildMacros, BulkTransferFillsEveryNamedField) {
  URB urb;
  memset(&urb, 0, sizeof(urb));
  UCHAR buffer[16];
  MDL mdl;
  URB link;
  const USBD_PIPE_HANDLE pipe = &link;  // any non-NULL handle
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         buffer, &mdl, sizeof(buffer),
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         &link);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, pipe);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBuffer, buffer);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferMDL, &mdl);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, sizeof(buffer));
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, 3u);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.UrbLink, &link);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);  // untouched
}

TEST(UsbBuildMacros, DescriptorVendorAndFeatureRequests) {
  URB urb;
  memset(&urb, 0, sizeof(urb));
  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, NULL, sizeof(buffer),
                               NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 2);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof(buffer));

  memset(&urb, 0, sizeof(urb));
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 0x0C, 0x1234, 0x0002, buffer, NULL, 4,
                        NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0x0C);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x1234);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 2);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN});
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 4u);

  memset(&urb, 0, sizeof(urb));
  UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                         0x81, NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  EXPECT_EQ(urb.UrbControlFeatureRequest.FeatureSelector, USB_FEATURE_ENDPOINT_STALL);
  EXPECT_EQ(urb.UrbControlFeatureRequest.Index, 0x81);
  if (kI386) {
    EXPECT_EQ(urb.UrbHeader.Length, 80);
  }
}

TEST(UsbBuildMacros, SelectInterfaceLengthCoversTheInterfaceRecord) {
  std::vector<UCHAR> storage(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  auto *urb = reinterpret_cast<PURB>(storage.data());
  const USBD_CONFIGURATION_HANDLE config = storage.data();
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(storage.size()), config, 0, 1);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
  EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, config);
  EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 0);
  EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 1);
  if (kI386) {
    // On 32-bit Windows the computed length is exactly a two-pipe record.
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
  }

  URB select;
  memset(&select, 0, sizeof(select));
  UsbBuildSelectConfigurationRequest(&select, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
  EXPECT_EQ(select.UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(select.UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
}

// ---------------------------------------------------------------------------
// IRP stack locations
// ---------------------------------------------------------------------------

// An IRP laid out as the I/O manager lays it out: the record, then its stack
// locations; a new IRP's current location is one past the last.
class IrpStackTest : public testing::Test {
 protected:
  static constexpr CCHAR kStackSize = 3;

  void SetUp() override {
    storage_.assign(IoSizeOfIrp(kStackSize), 0);
    irp_ = reinterpret_cast<PIRP>(storage_.data());
    irp_->Type = IO_TYPE_IRP;
    irp_->Size = IoSizeOfIrp(kStackSize);
    irp_->StackCount = kStackSize;
    irp_->CurrentLocation = kStackSize + 1;
    irp_->Tail.Overlay.CurrentStackLocation = Location(kStackSize);
  }
  // Location i (0-based) inside the allocation.
  PIO_STACK_LOCATION Location(int i) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp_ + 1) + i;
  }

  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
  static NTSTATUS NTAPI OtherCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
  static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP) {}

  std::vector<unsigned char> storage_;
  PIRP irp_ = nullptr;
};

TEST_F(IrpStackTest, SizeIsRecordPlusLocations) {
  EXPECT_EQ(IoSizeOfIrp(kStackSize), sizeof(IRP) + kStackSize * sizeof(IO_STACK_LOCATION));
  if (kI386) {
    EXPECT_EQ(IoSizeOfIrp(kStackSize), 112 + 3 * 36);
  }
}

TEST_F(IrpStackTest, NextLocationIsBelowCurrentAndSetNextMovesDown) {
  EXPECT_EQ(IoGetNextIrpStackLocation(irp_), Location(2));
  IoSetNextIrpStackLocation(irp_);
  EXPECT_EQ(irp_->CurrentLocation, 3);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp_), Location(2));
  EXPECT_EQ(IoGetNextIrpStackLocation(irp_), Location(1));
  IoSkipCurrentIrpStackLocation(irp_);
  EXPECT_EQ(irp_->CurrentLocation, 4);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp_), Location(3));
}

TEST_F(IrpStackTest, CopyToNextStopsBeforeCompletionRoutineAndClearsControl) {
  IoSetNextIrpStackLocation(irp_);
  PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp_);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  DEVICE_OBJECT device;
  FILE_OBJECT file;
  int context = 0;
  cur->MajorFunction = IRP_MJ_PNP;
  cur->MinorFunction = IRP_MN_START_DEVICE;
  cur->Flags = 0x5A;
  cur->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
  cur->Parameters.Others.Argument1 = &context;
  cur->Parameters.Others.Argument4 = &device;
  cur->DeviceObject = &device;
  cur->FileObject = &file;
  cur->CompletionRoutine = Completion;
  cur->Context = &context;
  next->CompletionRoutine = OtherCompletion;
  next->Context = nullptr;
  next->Control = 0xFF;

  IoCopyCurrentIrpStackLocationToNext(irp_);

  EXPECT_EQ(next->MajorFunction, IRP_MJ_PNP);
  EXPECT_EQ(next->MinorFunction, IRP_MN_START_DEVICE);
  EXPECT_EQ(next->Flags, 0x5A);
  EXPECT_EQ(next->Control, 0);
  EXPECT_EQ(next->Parameters.Others.Argument1, &context);
  EXPECT_EQ(next->Parameters.Others.Argument4, &device);
  EXPECT_EQ(next->DeviceObject, &device);
  EXPECT_EQ(next->FileObject, &file);
  EXPECT_EQ(next->CompletionRoutine, &OtherCompletion);  // left as it was
  EXPECT_EQ(next->Context, nullptr);
  EXPECT_EQ(cur->Control, SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS);  // source untouched
}

TEST_F(IrpStackTest, SetCompletionRoutineOverwritesControlWithInvokeFlags) {
  struct Case {
    BOOLEAN success, error, cancel;
    UCHAR control;
  };
  const Case cases[] = {
      {FALSE, FALSE, FALSE, 0x00}, {TRUE, FALSE, FALSE, 0x40}, {FALSE, TRUE, FALSE, 0x80},
      {FALSE, FALSE, TRUE, 0x20},  {TRUE, TRUE, FALSE, 0xC0},  {TRUE, FALSE, TRUE, 0x60},
      {FALSE, TRUE, TRUE, 0xA0},   {TRUE, TRUE, TRUE, 0xE0},
  };
  int context = 0;
  for (const Case &c : cases) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->Control = SL_PENDING_RETURNED | SL_ERROR_RETURNED;
    IoSetCompletionRoutine(irp_, Completion, &context, c.success, c.error, c.cancel);
    EXPECT_EQ(next->Control, c.control);
    EXPECT_EQ(next->CompletionRoutine, &Completion);
    EXPECT_EQ(next->Context, &context);
  }
  EXPECT_EQ(SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, 0xE0);
}

TEST_F(IrpStackTest, MarkPendingSetsOnlyTheCurrentLocation) {
  IoSetNextIrpStackLocation(irp_);
  IoSetNextIrpStackLocation(irp_);
  IoGetCurrentIrpStackLocation(irp_)->Control = SL_INVOKE_ON_ERROR;
  IoMarkIrpPending(irp_);
  EXPECT_EQ(Location(1)->Control, SL_INVOKE_ON_ERROR | SL_PENDING_RETURNED);
  EXPECT_EQ(Location(0)->Control, 0);
  EXPECT_EQ(Location(2)->Control, 0);
  EXPECT_FALSE(irp_->PendingReturned);  // only the completion walk writes it
}

TEST_F(IrpStackTest, SetCancelRoutineReturnsThePreviousRoutine) {
  EXPECT_EQ(IoSetCancelRoutine(irp_, Cancel), nullptr);
  EXPECT_EQ(irp_->CancelRoutine, &Cancel);
  EXPECT_EQ(IoSetCancelRoutine(irp_, NULL), &Cancel);
  EXPECT_EQ(irp_->CancelRoutine, nullptr);
  EXPECT_EQ(IoSetCancelRoutine(irp_, NULL), nullptr);
}

TEST_F(IrpStackTest, UrbFromIrpReadsArgument1) {
  URB urb;
  IoSetNextIrpStackLocation(irp_);
  IoGetCurrentIrpStackLocation(irp_)->Parameters.Others.Argument1 = &urb;
  EXPECT_EQ(URB_FROM_IRP(irp_), &urb);
}

// ---------------------------------------------------------------------------
// Interlocked operations and lists
// ---------------------------------------------------------------------------

TEST(Interlocked, ReturnValuesAreThoseOfWindows) {
  LONG volatile v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
  EXPECT_EQ(v, 12);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 7), 12);  // no match: unchanged
  EXPECT_EQ(v, 12);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12);  // match: replaced
  EXPECT_EQ(v, 1);
  EXPECT_EQ(InterlockedOr(&v, 6), 1);
  EXPECT_EQ(InterlockedAnd(&v, 3), 7);
  EXPECT_EQ(v, 3);

  int a = 0, b = 0;
  PVOID volatile p = &a;
  EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, &a, &a), &b);  // no match
  EXPECT_EQ(p, &b);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
  EXPECT_EQ(p, nullptr);
}

TEST(InterlockedConcurrency, IncrementsFromManyThreadsAreNotLost) {
  LONG volatile counter = 0;
  constexpr int kThreads = 4, kIterations = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < kIterations; ++i) {
        InterlockedIncrement(&counter);
        InterlockedExchangeAdd(&counter, 2);
        InterlockedDecrement(&counter);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 2 * kThreads * kIterations);
}

struct Item {
  int value;
  LIST_ENTRY link;
};

TEST(Lists, InsertRemoveAndContainingRecord) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  EXPECT_TRUE(IsListEmpty(&head));
  Item a{1, {}}, b{2, {}}, c{3, {}};
  InsertTailList(&head, &a.link);
  InsertTailList(&head, &b.link);
  InsertHeadList(&head, &c.link);  // c, a, b
  EXPECT_FALSE(IsListEmpty(&head));
  EXPECT_EQ(CONTAINING_RECORD(head.Flink, Item, link)->value, 3);
  EXPECT_EQ(CONTAINING_RECORD(head.Blink, Item, link)->value, 2);

  EXPECT_FALSE(RemoveEntryList(&a.link));  // c, b remain
  EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value, 3);
  EXPECT_EQ(head.Flink, &b.link);
  EXPECT_EQ(b.link.Blink, &head);
  EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Item, link)->value, 2);
  EXPECT_TRUE(IsListEmpty(&head));

  InsertTailList(&head, &a.link);
  EXPECT_TRUE(RemoveEntryList(&a.link));  // the list became empty
  EXPECT_TRUE(IsListEmpty(&head));
  EXPECT_EQ(FIELD_OFFSET(Item, link), offsetof(Item, link));
}

// ---------------------------------------------------------------------------
// MDL macros, GUIDs, memory macros
// ---------------------------------------------------------------------------

TEST(MdlMacros, InitializeDescribesPageOffsetAndSpan) {
  alignas(PAGE_SIZE) static unsigned char pages[3 * PAGE_SIZE];
  std::vector<unsigned char> mdlStorage(sizeof(MDL) + 3 * sizeof(PFN_NUMBER));
  auto *mdl = reinterpret_cast<PMDL>(mdlStorage.data());
  PVOID va = pages + 0x10;
  MmInitializeMdl(mdl, va, PAGE_SIZE);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), 0x10u);
  EXPECT_EQ(MmGetMdlBaseVa(mdl), static_cast<PVOID>(pages));
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
  EXPECT_EQ(MmGetMdlByteCount(mdl), ULONG{PAGE_SIZE});
  EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + 2 * sizeof(PFN_NUMBER));  // spans 2 pages
  EXPECT_EQ(mdl->MdlFlags, 0);
  EXPECT_EQ(mdl->Next, nullptr);
  EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(pages, PAGE_SIZE), 1u);
  EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(pages + PAGE_SIZE - 1, 2), 2u);
}

TEST(Guids, DefineGuidDefinesUnderInitGuid) {
  EXPECT_EQ(KWABI_TEST_GUID.Data1, 0x01234567u);
  EXPECT_EQ(KWABI_TEST_GUID.Data2, 0x89ab);
  EXPECT_EQ(KWABI_TEST_GUID.Data3, 0xcdef);
  EXPECT_EQ(KWABI_TEST_GUID.Data4[7], 0xef);
  EXPECT_EQ(GUID_DEVINTERFACE_USB_DEVICE.Data1, 0xa5dcbf10u);
  EXPECT_TRUE(IsEqualGUID(KWABI_TEST_GUID, KWABI_TEST_GUID));
  EXPECT_FALSE(IsEqualGUID(KWABI_TEST_GUID, GUID_DEVINTERFACE_USB_DEVICE));
  GUID copy = KWABI_TEST_GUID;
  copy.Data4[0] ^= 1;
  EXPECT_FALSE(IsEqualGUID(copy, KWABI_TEST_GUID));
}

TEST(MemoryMacros, BehaveLikeTheCRoutines) {
  unsigned char a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8];
  RtlCopyMemory(b, a, sizeof(a));
  EXPECT_TRUE(RtlEqualMemory(a, b, sizeof(a)));
  RtlMoveMemory(a + 1, a, 4);  // overlapping
  EXPECT_EQ(a[4], 4);
  RtlFillMemory(b, 3, 0xAB);
  EXPECT_EQ(b[2], 0xAB);
  EXPECT_EQ(b[3], 4);
  RtlZeroMemory(b, sizeof(b));
  EXPECT_EQ(b[7], 0);
  EXPECT_FALSE(RtlEqualMemory(a, b, sizeof(a)));
  EXPECT_EQ(ARRAYSIZE(a), 8u);
}

}  // namespace
