// sim/include without a model: record layouts (at compile time; i686_layout.h in the 32-bit build)
// and what drivers' macros and inline routines do. compare_constants.py checks the constants.
#include <initguid.h>  // first: DEFINE_GUID below defines, not just declares

#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "i686_layout.h"
#include "driver_layout.h"

DEFINE_GUID(KWABI_TEST_GUID, 0x01234567, 0x89ab, 0xcdef, 1, 2, 3, 4, 5, 6, 7, 0xef);

namespace {

// Widths that must hold on every host, 64-bit included (where LONG is not long).
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(WCHAR) == 2);
static_assert(sizeof(BOOLEAN) == 1 && sizeof(LONGLONG) == 8 && sizeof(ULONG_PTR) == sizeof(void *));
static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(LARGE_INTEGER) == 8);
static_assert(LONG(-1) < 0 && CCHAR(-1) < 0, "LONG and CCHAR are signed");

// The classification macros, one letter per macro that holds ('-' where it does not).
std::string Nt(NTSTATUS s) {
  return {NT_SUCCESS(s) ? 'S' : '-', NT_INFORMATION(s) ? 'I' : '-', NT_WARNING(s) ? 'W' : '-',
          NT_ERROR(s) ? 'E' : '-'};
}
std::string Usbd(USBD_STATUS s) {
  return {USBD_SUCCESS(s) ? 'S' : '-', USBD_PENDING(s) ? 'P' : '-', USBD_ERROR(s) ? 'E' : '-',
          USBD_HALTED(s) ? 'H' : '-'};
}

TEST(StatusCodes, ClassificationFollowsTheTopTwoBits) {
  EXPECT_EQ(Nt(STATUS_PENDING), "S---");
  EXPECT_EQ(Nt(STATUS_OBJECT_NAME_EXISTS), "SI--");
  EXPECT_EQ(Nt(STATUS_BUFFER_OVERFLOW), "--W-");
  EXPECT_EQ(Nt(STATUS_CANCELLED), "---E");
  EXPECT_EQ(Usbd(USBD_STATUS_SUCCESS), "S---");
  EXPECT_EQ(Usbd(USBD_STATUS_PENDING), "SP--");
  EXPECT_EQ(Usbd(USBD_STATUS_INVALID_PIPE_HANDLE), "--E-");  // an error, endpoint not halted
  EXPECT_EQ(Usbd(USBD_STATUS_STALL_PID), "--EH");
}

TEST(PlatformRecords, LargeIntegerHalvesAndCapabilityBitsSitWhereWindowsPutsThem) {
  LARGE_INTEGER li;
  li.QuadPart = -10 * 1000 * 1000;  // a relative one-second timeout
  EXPECT_EQ(li.HighPart, -1);
  EXPECT_EQ(li.LowPart, 0xFF676980u);
  EXPECT_EQ(li.u.LowPart, 0xFF676980u);

  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof(caps));
  caps.DeviceD1 = 1;
  caps.SurpriseRemovalOK = 1;
  caps.WakeFromD3 = 1;
  caps.NoDisplayInUI = 1;
  ULONG bits = 0;
  memcpy(&bits, reinterpret_cast<const UCHAR *>(&caps) + 4, sizeof(bits));
  EXPECT_EQ(bits, (1u << 0) | (1u << 9) | (1u << 13) | (1u << 17));
}

TEST(ControlCodes, CtlCodePacksTypeAccessFunctionMethod) {
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x00222000u);
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_READ_ACCESS),
            0x00226006u);
  EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(0x0022A049u), ULONG{FILE_DEVICE_UNKNOWN});
  EXPECT_EQ(METHOD_FROM_CTL_CODE(0x0022A049u), ULONG{METHOD_IN_DIRECT});
}

// The i686 values are pinned in i686_layout.h; these relations hold on every host.
TEST(UrbSizes, VariableUrbsEmbedOneInterfaceOnePipeAndCountEveryPacket) {
  const size_t config = sizeof(struct _URB_SELECT_CONFIGURATION);
  const size_t iface = sizeof(USBD_INTERFACE_INFORMATION), pipe = sizeof(USBD_PIPE_INFORMATION);
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), config);
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2), config + pipe);
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3), config + iface + pipe);
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(0), iface - pipe);
  EXPECT_EQ(GET_ISO_URB_SIZE(8),
            sizeof(struct _URB_ISOCH_TRANSFER) + 8 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

// Descriptors hold no pointers: packed, they overlay a device's bytes on every host.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6 &&
              offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6);

TEST(Descriptors, EndpointMacrosAndSetupPacketHalves) {
  EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(0x81));
  EXPECT_FALSE(USB_ENDPOINT_DIRECTION_OUT(0x81));
  EXPECT_TRUE(USB_ENDPOINT_DIRECTION_OUT(0x02));
  EXPECT_FALSE(USB_ENDPOINT_DIRECTION_IN(0x02));

  const UCHAR bytes[8] = {0xC0, 0x0C, 0x34, 0x12, 0x02, 0x00, 0x40, 0x00};
  USB_DEFAULT_PIPE_SETUP_PACKET setup;
  memcpy(&setup, bytes, sizeof(setup));
  EXPECT_EQ(setup.wValue.W, 0x1234);
  EXPECT_EQ(setup.wValue.LowByte, 0x34);
  EXPECT_EQ(setup.wValue.HiByte, 0x12);
}

// URB formatting macros; each request is built over the last, whose values all differ.
TEST(UsbBuildMacros, TransferDescriptorVendorAndFeatureRequests) {
  URB urb, link;
  UCHAR buffer[18];
  memset(&urb, 0, sizeof(urb));
  MDL mdl;
  const USBD_PIPE_HANDLE pipe = buffer + 8;  // any handle unlike the other pointers
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         buffer, &mdl, 16,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         &link);
  const auto &bulk = urb.UrbBulkOrInterruptTransfer;
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(bulk.PipeHandle, pipe);
  EXPECT_EQ(bulk.TransferBuffer, buffer);
  EXPECT_EQ(bulk.TransferBufferMDL, &mdl);
  EXPECT_EQ(bulk.TransferBufferLength, 16u);
  EXPECT_EQ(bulk.TransferFlags, 3u);
  EXPECT_EQ(bulk.UrbLink, &link);

  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, NULL, sizeof(buffer),
                               NULL);
  const auto &desc = urb.UrbControlDescriptorRequest;
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(desc.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(desc.Index, 2);
  EXPECT_EQ(desc.LanguageId, 0x0409);
  EXPECT_EQ(desc.TransferBufferLength, sizeof(buffer));

  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 0x0C, 0x1234, 0x0002, buffer, NULL, 4,
                        NULL);
  const auto &vendor = urb.UrbControlVendorClassRequest;
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(vendor.Request, 0x0C);
  EXPECT_EQ(vendor.Value, 0x1234);
  EXPECT_EQ(vendor.Index, 2);
  EXPECT_EQ(vendor.TransferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN});
  EXPECT_EQ(vendor.TransferBufferLength, 4u);

  memset(&urb, 0, sizeof(urb));  // the vendor request had the feature request's length
  UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                         0x81, NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
  EXPECT_EQ(urb.UrbControlFeatureRequest.FeatureSelector, USB_FEATURE_ENDPOINT_STALL);
  EXPECT_EQ(urb.UrbControlFeatureRequest.Index, 0x81);
}

TEST(UsbBuildMacros, SelectRequestsNameTheHandleAndInterface) {
  std::vector<UCHAR> storage(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  auto *urb = reinterpret_cast<PURB>(storage.data());
  const USBD_CONFIGURATION_HANDLE config = storage.data();
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(storage.size()), config, 0, 1);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
  EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, config);
  EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 0);
  EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 1);
  if (sizeof(void *) == 4) {  // on 32-bit Windows the length is exactly a two-pipe record
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
  }
  memset(storage.data(), 0xCC, storage.size());
  UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
}

// An IRP laid out as the I/O manager lays it out: the record, then its stack
// locations; a new IRP's current location is one past the last.
class IrpStackTest : public testing::Test {
 protected:
  static constexpr CCHAR kStackSize = 3;

  void SetUp() override {
    ASSERT_EQ(IoSizeOfIrp(kStackSize), sizeof(IRP) + kStackSize * sizeof(IO_STACK_LOCATION));
    irp_->CurrentLocation = kStackSize + 1;
    irp_->Tail.Overlay.CurrentStackLocation = Location(kStackSize);
  }
  PIO_STACK_LOCATION Location(int i) { return reinterpret_cast<PIO_STACK_LOCATION>(irp_ + 1) + i; }

  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

  alignas(IRP) unsigned char storage_[sizeof(IRP) + kStackSize * sizeof(IO_STACK_LOCATION)] = {};
  PIRP irp_ = reinterpret_cast<PIRP>(storage_);
};

TEST_F(IrpStackTest, StackMovesMarkPendingAndUrbFromIrp) {
  EXPECT_EQ(IoGetNextIrpStackLocation(irp_), Location(2));
  IoSetNextIrpStackLocation(irp_);
  EXPECT_EQ(irp_->CurrentLocation, 3);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp_), Location(2));
  EXPECT_EQ(IoGetNextIrpStackLocation(irp_), Location(1));
  IoSkipCurrentIrpStackLocation(irp_);
  EXPECT_EQ(irp_->CurrentLocation, 4);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp_), Location(3));

  IoSetNextIrpStackLocation(irp_);
  IoSetNextIrpStackLocation(irp_);
  Location(1)->Control = SL_INVOKE_ON_ERROR;
  IoMarkIrpPending(irp_);
  EXPECT_EQ(Location(1)->Control, SL_INVOKE_ON_ERROR | SL_PENDING_RETURNED);
  EXPECT_EQ(Location(0)->Control, 0);
  EXPECT_EQ(Location(2)->Control, 0);
  EXPECT_FALSE(irp_->PendingReturned);  // only the completion walk writes it
  URB urb;  // URB_FROM_IRP reads the current location's Argument1
  Location(1)->Parameters.Others.Argument1 = &urb;
  EXPECT_EQ(URB_FROM_IRP(irp_), &urb);
}

TEST_F(IrpStackTest, CopyToNextStopsBeforeCompletionRoutineAndClearsControl) {
  IoSetNextIrpStackLocation(irp_);
  PIO_STACK_LOCATION cur = Location(2), next = Location(1);
  memset(cur, 0x5A, sizeof(*cur));  // every byte of every field differs from the target's
  cur->CompletionRoutine = Completion;
  next->Control = 0xFF;

  IoCopyCurrentIrpStackLocationToNext(irp_);

  EXPECT_EQ(next->Control, 0);
  next->Control = cur->Control;  // all else up to the completion routine is a copy
  EXPECT_EQ(memcmp(next, cur, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine)), 0);
  EXPECT_EQ(next->CompletionRoutine, nullptr);  // left as they were
  EXPECT_EQ(next->Context, nullptr);
  EXPECT_EQ(cur->Control, 0x5A);  // source untouched
}

TEST_F(IrpStackTest, SetCompletionRoutineOverwritesControlWithInvokeFlags) {
  const struct { BOOLEAN success, error, cancel; UCHAR control; } cases[] = {
      {FALSE, FALSE, FALSE, 0x00}, {TRUE, FALSE, FALSE, 0x40}, {FALSE, TRUE, FALSE, 0x80},
      {FALSE, FALSE, TRUE, 0x20},  {TRUE, TRUE, FALSE, 0xC0},  {TRUE, TRUE, TRUE, 0xE0},
  };
  int context = 0;
  for (const auto &c : cases) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->Control = SL_PENDING_RETURNED | SL_ERROR_RETURNED;
    IoSetCompletionRoutine(irp_, Completion, &context, c.success, c.error, c.cancel);
    EXPECT_EQ(next->Control, c.control);
    EXPECT_EQ(next->CompletionRoutine, &Completion);
    EXPECT_EQ(next->Context, &context);
  }
}

TEST(Interlocked, ReturnValuesAreThoseOfWindows) {
  LONG volatile v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 7), 12);  // no match: unchanged
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12);  // match: replaced
  EXPECT_EQ(InterlockedOr(&v, 6), 1);
  EXPECT_EQ(InterlockedAnd(&v, 3), 7);
  EXPECT_EQ(v, 3);

  int a = 0, b = 0;
  PVOID volatile p = &a;
  EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, &a, &a), &b);  // no match
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
  EXPECT_EQ(p, nullptr);

  LONG volatile counter = 0;  // and no update is lost between threads
  std::vector<std::thread> threads(4);
  for (auto &t : threads)
    t = std::thread([&counter] {
      for (int i = 0; i < 20000; ++i) {
        InterlockedIncrement(&counter);
        InterlockedExchangeAdd(&counter, 2);
        InterlockedDecrement(&counter);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 2 * 4 * 20000);
}

TEST(Lists, InsertRemoveAndContainingRecord) {
  struct Item { int value; LIST_ENTRY link; } a{1, {}}, b{2, {}};
  LIST_ENTRY head;
  InitializeListHead(&head);
  InsertTailList(&head, &a.link);
  InsertHeadList(&head, &b.link);  // b, a
  EXPECT_EQ(CONTAINING_RECORD(head.Blink, Item, link)->value, 1);
  EXPECT_FALSE(RemoveEntryList(&b.link));  // a remains
  EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value, 1);
  EXPECT_TRUE(IsListEmpty(&head));
  InsertTailList(&head, &a.link);
  EXPECT_TRUE(RemoveEntryList(&a.link));  // the list became empty
}

TEST(MdlMacros, InitializeDescribesPageOffsetAndSpan) {
  alignas(PAGE_SIZE) static unsigned char pages[3 * PAGE_SIZE];
  std::vector<unsigned char> mdlStorage(sizeof(MDL) + 3 * sizeof(PFN_NUMBER), 0xCC);
  auto *mdl = reinterpret_cast<PMDL>(mdlStorage.data());
  MmInitializeMdl(mdl, pages + 0x10, PAGE_SIZE);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), 0x10u);
  EXPECT_EQ(MmGetMdlBaseVa(mdl), static_cast<PVOID>(pages));
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), static_cast<PVOID>(pages + 0x10));
  EXPECT_EQ(MmGetMdlByteCount(mdl), ULONG{PAGE_SIZE});
  EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + 2 * sizeof(PFN_NUMBER));  // spans 2 pages
  EXPECT_EQ(mdl->MdlFlags, 0);
  EXPECT_EQ(mdl->Next, nullptr);
  EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(pages, PAGE_SIZE), 1u);
  EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(pages + PAGE_SIZE - 1, 2), 2u);
}

TEST(GuidsAndMemory, DefineGuidDefinesAndMemoryMacrosBehaveLikeTheCRoutines) {
  GUID copy = KWABI_TEST_GUID;
  EXPECT_EQ(copy.Data4[7], 0xef);
  EXPECT_TRUE(IsEqualGUID(copy, KWABI_TEST_GUID));
  copy.Data4[0] ^= 1;
  EXPECT_FALSE(IsEqualGUID(copy, KWABI_TEST_GUID));

  unsigned char a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8];
  RtlCopyMemory(b, a, sizeof(a));
  EXPECT_TRUE(RtlEqualMemory(a, b, sizeof(a)));
  RtlMoveMemory(a + 1, a, 4);  // overlapping
  EXPECT_EQ(a[4], 4);
  EXPECT_FALSE(RtlEqualMemory(a, b, sizeof(a)));
}

}  // namespace
