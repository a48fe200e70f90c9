// What the USB stack does with transfers and the port: bulk and interrupt packets, short packets,
// stalls, cancellation and abort, unplug and removal, port reset, vendor
// requests, the frame counter, and the requests it refuses.
#include "usb_fixture.h"

#include <thread>

using namespace usbtest;

namespace {

class UsbTransferTest : public UsbStackTest {};

TEST_F(UsbTransferTest, LoopbackKeepsDataAcrossPacketBoundaries) {
    auto r = Select(0);
    const USBD_PIPE_HANDLE out = r->Pipe(0), in = r->Pipe(1);
    ULONG packets = 0;
    for (ULONG n : {1u, 63u, 64u, 65u, 128u, 200u, 1000u}) {
        SCOPED_TRACE(n);
        const Bytes sent = Counting(n, static_cast<UCHAR>(n));
        Moved w = Write(out, sent);
        EXPECT_EQ(STATUS_SUCCESS, w.status);
        EXPECT_EQ(n, w.length);
        Moved got = Read(in, n % 64 == 0 ? n : n + 100);  // ends when the buffer is full or at a short packet
        EXPECT_EQ(USBD_STATUS_SUCCESS, got.usbd);
        EXPECT_EQ(sent, got.data);
        packets += (n + 63) / 64;
        EXPECT_EQ(static_cast<int>(packets % 2), bus_->Pipe(out)->toggle);  // one toggle per packet
        EXPECT_EQ(device_->Toggle(0x01), bus_->Pipe(out)->toggle);
        EXPECT_EQ(device_->Toggle(0x81), bus_->Pipe(in)->toggle);
    }
    // Through a locked MDL, TransferBuffer left NULL, as the driver sends its transfers.
    Bytes pool = Counting(128, 9);
    PMDL mdl = IoAllocateMdl(pool.data(), 128, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    URB w = BulkUrb(out, nullptr, 100, kOut, mdl), rd = BulkUrb(in, nullptr, 128, kInShortOk, mdl);
    sim::faults::FailKind(sim::FaultKind::MapMdl);  // the stack cannot map it: no resources
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Submit(&w).status);
    EXPECT_EQ(USBD_STATUS_INSUFFICIENT_RESOURCES, w.UrbHeader.Status);
    sim::faults::Clear();
    EXPECT_EQ(STATUS_SUCCESS, Submit(&w).status);
    std::fill(pool.begin(), pool.end(), 0);
    EXPECT_EQ(STATUS_SUCCESS, Submit(&rd).status);
    EXPECT_EQ(100u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(Counting(100, 9), Bytes(pool.begin(), pool.begin() + 100));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// A short packet ends an IN transfer. Without USBD_SHORT_TRANSFER_OK it fails and halts the pipe
// on UHCI/OHCI, not on EHCI; more data than the buffer holds always does.
TEST_F(UsbTransferTest, ShortAndOverlongInPackets) {
    const std::tuple<ShortTransferRule, ULONG, ULONG, USBD_STATUS> cases[] = {  // rule, flags, asked, outcome
        {ShortTransferRule::FailAndHalt, kInShortOk, 64, USBD_STATUS_SUCCESS},
        {ShortTransferRule::FailAndHalt, kIn, 64, USBD_STATUS_DATA_UNDERRUN},
        {ShortTransferRule::Accept, kIn, 64, USBD_STATUS_SUCCESS},
        {ShortTransferRule::FailAndHalt, kIn, 10, USBD_STATUS_SUCCESS},  // not short
        {ShortTransferRule::Accept, kInShortOk, 4, USBD_STATUS_DATA_OVERRUN},
    };
    for (const auto& [rule, flags, asked, usbd] : cases) {
        SCOPED_TRACE(std::to_string(asked) + " bytes, flags " + std::to_string(flags));
        bus_->SetShortTransferRule(rule);
        auto r = Select(0);
        Write(r->Pipe(0), Counting(10, 0));
        Moved m = Read(r->Pipe(1), asked, flags);
        EXPECT_EQ(usbd, m.usbd);
        EXPECT_EQ(NtStatusFromUsbd(usbd), m.status);
        EXPECT_EQ(Counting(std::min(asked, 10u), 0), m.data);
        EXPECT_EQ(usbd != USBD_STATUS_SUCCESS, bus_->Pipe(r->Pipe(1))->halted);
    }
}

TEST_F(UsbTransferTest, StallHaltsThePipeUntilResetPipe) {
    auto r = Select(0);
    Bytes b1(64), b2(64);
    URB rd1 = BulkUrb(r->Pipe(1), b1.data(), 64, kInShortOk), rd2 = BulkUrb(r->Pipe(1), b2.data(), 64, kInShortOk);
    {
        Async t1(bus_->Pdo(), &rd1), t2(bus_->Pdo(), &rd2);  // queued in order on the empty FIFO
        device_->Halt(0x81);                                 // the firmware stalls the endpoint
        t1.Wait();
        t2.Wait();
        EXPECT_EQ(USBD_STATUS_STALL_PID, t1.Usbd());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, t1.Status());
        EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, t2.Usbd());
    }
    // Clearing the device's halt alone is not enough: the host pipe stays halted.
    EXPECT_EQ(STATUS_SUCCESS, Submit(FeatureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0x81)).status);
    EXPECT_EQ(STATUS_SUCCESS, Write(r->Pipe(0), Counting(3, 2)).status);  // the OUT pipe is unaffected
    Moved m = Read(r->Pipe(1), 64);
    EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, m.usbd);
    EXPECT_EQ(STATUS_SUCCESS, ResetPipe(r->Pipe(1)));
    EXPECT_EQ(Counting(3, 2), Read(r->Pipe(1), 64).data);
    // An OUT endpoint that stalls.
    device_->Halt(0x01);
    Moved w = Write(r->Pipe(0), Bytes(10, 1));
    EXPECT_EQ(USBD_STATUS_STALL_PID, w.usbd);
    EXPECT_EQ(0u, w.length);
    EXPECT_TRUE(bus_->Pipe(r->Pipe(0))->halted);
    EXPECT_EQ(STATUS_SUCCESS, ResetPipe(r->Pipe(0)));
    EXPECT_EQ(USBD_STATUS_SUCCESS, Write(r->Pipe(0), Bytes(10, 1)).usbd);
}

// Requests refused inline, before they reach the device.
TEST_F(UsbTransferTest, RequestsTheStackRefuses) {
    auto r = Select(1);
    Write(r->Pipe(0), Counting(3, 0));
    device_->ClearControlLog();
    Bytes buffer(8192);
    const USBD_STATUS bad = USBD_STATUS_INVALID_PARAMETER;
    auto function = [](USHORT f) { return [f](URB& u) { u.UrbHeader.Function = f, u.UrbHeader.Length = sizeof u; }; };
    const std::tuple<const char*, std::function<void(URB&)>, USBD_STATUS> cases[] = {
        {"isochronous pipe", [&](URB& u) { u.UrbBulkOrInterruptTransfer.PipeHandle = r->Pipe(4); }, bad},
        {"Hdr.Length short", [](URB& u) { u.UrbHeader.Length -= 1; }, bad},
        {"no buffer", [](URB& u) { u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; }, bad},
        {"descriptor over 4096 bytes", [&](URB& u) { u = DescriptorUrb(1, 0, buffer.data(), 4097); }, bad},
        {"GET_CONFIGURATION of 2 bytes",
         [&](URB& u) { u = DescriptorUrb(1, 0, &buffer[0], 2), u.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION; },
         bad},
        {"feature, header only",
         [](URB& u) { u = FeatureUrb(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 1), u.UrbHeader.Length = 4; }, bad},
        {"vendor, no data", [](URB& u) { u = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, kOut, 0, 0, 0, nullptr, 9); }, bad},
        {"unknown function", function(0x0016), USBD_STATUS_INVALID_URB_FUNCTION},
        {"retired function", function(URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL), USBD_STATUS_NOT_SUPPORTED},
    };
    for (const auto& [what, breakIt, usbd] : cases) {
        SCOPED_TRACE(what);
        URB u = BulkUrb(r->Pipe(1), buffer.data(), 64, kInShortOk);
        breakIt(u);
        sim::RequestResult res = Submit(&u);
        EXPECT_EQ(usbd, u.UrbHeader.Status);
        EXPECT_EQ(usbd == USBD_STATUS_NOT_SUPPORTED ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER, res.status);
        EXPECT_EQ(res.status, res.dispatchReturned);
        if (u.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            u.UrbHeader.Length == sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            EXPECT_EQ(0u, u.UrbBulkOrInterruptTransfer.TransferBufferLength);  // nothing moved
        }
    }
    EXPECT_EQ(3u, device_->FifoBytes(0x81));
    EXPECT_TRUE(device_->ControlLog().empty());
}

// A bulk transfer moves data in its endpoint's direction, whatever USBD_TRANSFER_DIRECTION_IN
// says; an IN transfer into pages locked for read access only (the caller's buffer of a write)
// is what then goes wrong on Windows, and a bug check here.
TEST_F(UsbTransferTest, DirectionComesFromTheEndpoint) {
    auto r = Select(0);
    Bytes sent = Counting(5, 3), got(64, 0xEE);
    URB wr = BulkUrb(r->Pipe(0), sent.data(), 5, kIn | USBD_SHORT_TRANSFER_OK);  // OUT pipe: a write
    EXPECT_EQ(STATUS_SUCCESS, Submit(&wr).status);
    URB rd = BulkUrb(r->Pipe(1), got.data(), 64, kOut | USBD_SHORT_TRANSFER_OK);  // IN pipe: a read
    EXPECT_EQ(STATUS_SUCCESS, Submit(&rd).status);
    ASSERT_EQ(5u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(sent, Bytes(got.begin(), got.begin() + 5));
    EXPECT_DEATH(
        {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, 64, 0x74736554);
            PMDL mdl = IoAllocateMdl(buffer, 64, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
            URB u = BulkUrb(r->Pipe(1), nullptr, 64, kInShortOk, mdl);
            Submit(&u);
        },
        "BUGCHECK .* InTransferIntoReadOnlyMdl");
}

// An endpoint whose wMaxPacketSize is 0 can move no packet: a transfer on it ends at once with
// a status instead of running forever.
TEST_F(UsbTransferTest, PipeWithoutPacketSizeRefusesTransfers) {
    bus_->PlugIn(Device::FromJson(R"({
      "name": "interrupt endpoints of packet size 0",
      "device": "12 01 00 02 ff 00 00 40 09 12 02 00 00 01 01 02 00 01",
      "configuration": ["09 02 20 00 01 01 00 80 32", "09 04 00 00 02 ff 00 00 00",
                        "07 05 01 03 00 00 0a", "07 05 81 03 00 00 0a"],
      "endpoints": {"0x01": {"behaviour": "sink"}, "0x81": {"behaviour": "source", "pattern": "01"}}
    })"));
    device_ = bus_->PluggedDevice();
    auto r = Select(0);
    for (ULONG flags : {kOut, kInShortOk}) {
        Moved m = Transfer(r->Pipe(flags == kOut ? 0 : 1), flags, Bytes(8, 0xEE));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, m.status);
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, m.usbd);
    }
}

TEST_F(UsbTransferTest, InterruptInWaitsForAReport) {
    auto r = Select(1);
    Bytes report(8, 0xEE);
    URB urb = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    {
        Async a(bus_->Pdo(), &urb);
        bus_->AdvanceFrames(9);
        EXPECT_FALSE(a.Done());
        bus_->AdvanceFrames(1);  // the firmware reports every 10 frames
        a.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(DISPATCH_LEVEL, a.Irql());
    }
    EXPECT_EQ(B("4b 57 00 01 00 00 00 00"), report);
}

TEST_F(UsbTransferTest, CancellingAWaitingTransfer) {
    auto r = Select(0);
    Bytes buffer(128, 0xEE);
    URB rd = BulkUrb(r->Pipe(1), buffer.data(), 128, kInShortOk);
    for (ULONG moved : {0u, 64u}) {  // a full packet before the cancel: the bytes moved are reported
        if (moved) Write(r->Pipe(0), Counting(moved, 5));
        Async t(bus_->Pdo(), &rd);
        EXPECT_EQ(STATUS_PENDING, t.Returned());
        EXPECT_TRUE(IoCancelIrp(t.Irp()));
        t.Wait();
        EXPECT_EQ(DISPATCH_LEVEL, t.Irql());  // from the controller's DPC, not the canceller
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
        EXPECT_EQ(moved, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(Counting(moved, 5), Bytes(buffer.begin(), buffer.begin() + moved));
        EXPECT_EQ(0u, bus_->Pipe(r->Pipe(1))->pending);
        rd.UrbBulkOrInterruptTransfer.TransferBufferLength = 128;
    }
    // Cancelled before it reached the stack: completed as cancelled without touching the device.
    Write(r->Pipe(0), Counting(5, 1));
    {
        Async t(bus_->Pdo(), &rd, {}, true);
        t.Wait();
        EXPECT_EQ(STATUS_CANCELLED, t.Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t.Usbd());
    }
    EXPECT_EQ(Counting(5, 1), Read(r->Pipe(1), 64).data);
}

// Cancellation is asynchronous: IoCancelIrp only unlinks the transfer, which completes later
// from the DPC. A driver that frees the IRP as soon as IoCancelIrp returns frees it in flight.
TEST_F(UsbTransferTest, FreeingRightAfterCancelIsABugCheck) {
    auto r = Select(0);
    EXPECT_DEATH(
        {
            Bytes buffer(64);
            URB rd = BulkUrb(r->Pipe(1), buffer.data(), 64, kInShortOk);
            // On the DPC thread, so the cancelled transfer's completion queues behind this.
            sim::QueueDpc([&] {
                PIRP irp = IoAllocateIrp(bus_->Pdo()->StackSize, FALSE);
                PIO_STACK_LOCATION st = IoGetNextIrpStackLocation(irp);
                st->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                st->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                st->Parameters.Others.Argument1 = &rd;
                IoSetCompletionRoutine(
                    irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                    nullptr, TRUE, TRUE, TRUE);
                IoCallDriver(bus_->Pdo(), irp);
                IoCancelIrp(irp);
                IoFreeIrp(irp);
            });
            sim::FlushDpcs();
        },
        "BUGCHECK .* FreeIrpInFlight");
}

// The stack touches URBs and transfer buffers at DISPATCH_LEVEL: paged pool is a bug check.
TEST_F(UsbTransferTest, PagedPoolHandedToTheStackIsABugCheck) {
    auto r = Select(0);
    for (bool pagedUrb : {false, true}) {
        EXPECT_DEATH(
            {
                auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(pagedUrb ? NonPagedPool : PagedPool, 64, 0x74736554));
                auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(pagedUrb ? PagedPool : NonPagedPool, sizeof(URB), 0x74736554));
                *urb = BulkUrb(r->Pipe(0), buffer, 64, kOut);
                Submit(urb);
            },
            "BUGCHECK .* PagedPoolToUsbStack");
    }
}

class AbortOrderTest : public UsbTransferTest, public ::testing::WithParamInterface<AbortOrder> {};

TEST_P(AbortOrderTest, AbortPipeCancelsTheQueuedTransfersOfThatPipe) {
    bus_->SetAbortOrder(GetParam());
    auto r = Select(1);
    Write(r->Pipe(0), Counting(64, 1));
    Bytes b1(128), b2(64), report(8);
    URB a1 = BulkUrb(r->Pipe(1), b1.data(), 128, kInShortOk), a2 = BulkUrb(r->Pipe(1), b2.data(), 64, kInShortOk);
    URB other = BulkUrb(r->Pipe(2), report.data(), 8, kIn), abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, r->Pipe(1));
    // a1 takes the 64 bytes and waits for more, a2 waits behind it, `other` on its own pipe.
    Async t1(bus_->Pdo(), &a1), t2(bus_->Pdo(), &a2), t3(bus_->Pdo(), &other);
    bool transfersFirst = false;
    {
        Async a(bus_->Pdo(), &abort, [&] { transfersFirst = t1.Done() && t2.Done(); });
        a.Wait();
        t1.Wait();
        t2.Wait();
        EXPECT_EQ(STATUS_SUCCESS, a.Status());
        EXPECT_EQ(GetParam() == AbortOrder::TransfersFirst ? STATUS_PENDING : STATUS_SUCCESS, a.Returned());
    }
    for (Async* t : {&t1, &t2}) {
        EXPECT_EQ(STATUS_CANCELLED, t->Status());
        EXPECT_EQ(USBD_STATUS_CANCELED, t->Usbd());
    }
    EXPECT_EQ(64u, a1.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(0u, a2.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(GetParam() == AbortOrder::TransfersFirst, transfersFirst);
    EXPECT_FALSE(t3.Done());
    device_->QueueReport(0x82, Counting(8, 4));
    t3.Wait();
    EXPECT_EQ(Counting(8, 4), report);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, AbortOrderTest,
                         ::testing::Values(AbortOrder::TransfersFirst, AbortOrder::RequestFirst));

TEST_F(UsbTransferTest, UnplugFailsWaitingAndNewRequests) {
    auto r = Select(1);
    Bytes b(64), report(8);
    URB bulk = BulkUrb(r->Pipe(1), b.data(), 64, kInShortOk), intr = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    {
        Async t1(bus_->Pdo(), &bulk), t2(bus_->Pdo(), &intr);
        bus_->Unplug();
        for (Async* t : {&t1, &t2}) {
            t->Wait();
            EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->Status());
            EXPECT_EQ(USBD_STATUS_DEVICE_GONE, t->Usbd());
        }
    }
    ULONG port = 0xFF;
    Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
    EXPECT_EQ(0u, port);
    // New requests fail at once; the teardown requests a driver sends still succeed.
    Moved w = Write(r->Pipe(0), Bytes(8, 0));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, w.usbd);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, w.status);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ReadDeviceDescriptor().dispatchReturned);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Submit(PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE, r->Pipe(1))).status);
    EXPECT_EQ(STATUS_SUCCESS, Submit(PipeUrb(URB_FUNCTION_ABORT_PIPE, r->Pipe(1))).status);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, ResetPort().status);
    EXPECT_EQ(STATUS_SUCCESS, Submit(NullConfigurationUrb()).status);
    bus_->PlugIn(Device::Default());
    EXPECT_EQ(STATUS_SUCCESS, ReadDeviceDescriptor().status);
}

TEST_F(UsbTransferTest, SurpriseRemovalAndRemoveOnThePdo) {
    auto r = Select(1);
    auto pnp = [&](UCHAR minor) { return sim::pnp::Send(bus_->Pdo(), minor).status; };
    Bytes b(64), report(8);
    URB bulk = BulkUrb(r->Pipe(1), b.data(), 64, kInShortOk), intr = BulkUrb(r->Pipe(2), report.data(), 8, kIn);
    Async t1(bus_->Pdo(), &bulk), t2(bus_->Pdo(), &intr);
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_SURPRISE_REMOVAL));
    // Waiting transfers stay for the driver to abort; new requests fail.
    EXPECT_FALSE(t1.Done());
    Moved w = Write(r->Pipe(0), Bytes(8, 0));
    EXPECT_EQ(STATUS_DELETE_PENDING, w.status);
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, w.usbd);
    EXPECT_EQ(STATUS_DELETE_PENDING, ReadDeviceDescriptor().status);
    EXPECT_EQ(STATUS_SUCCESS, Submit(PipeUrb(URB_FUNCTION_ABORT_PIPE, r->Pipe(1))).status);
    t1.Wait();
    EXPECT_EQ(STATUS_CANCELLED, t1.Status());
    // Removal cancels what is still queued and releases the configuration; the PDO stays.
    EXPECT_FALSE(t2.Done());
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(t2.Done());
    EXPECT_EQ(STATUS_CANCELLED, t2.Status());
    EXPECT_EQ(USBD_STATUS_CANCELED, t2.Usbd());
    EXPECT_EQ(nullptr, bus_->ConfigurationHandle());
    EXPECT_FALSE(bus_->Pipe(r->Pipe(1))->live);
    EXPECT_EQ(0, device_->Configuration());
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_START_DEVICE));  // started again, the PDO takes requests
    EXPECT_EQ(STATUS_SUCCESS, ReadDeviceDescriptor().status);
}

TEST_F(UsbTransferTest, ResetPortRestoresTheConfigurationAndKeepsHandles) {
    auto r = Select(1);
    Write(r->Pipe(0), Counting(3, 0));
    bus_->SetPipeState(r->Pipe(1), true, 1);
    bus_->SetPipeState(r->Pipe(0), false, 1);
    device_->Halt(0x81);
    device_->ClearControlLog();
    EXPECT_EQ(STATUS_SUCCESS, ResetPort().dispatchReturned);  // completed inline by default
    ASSERT_EQ(2u, device_->ControlLog().size());        // SET_CONFIGURATION, SET_INTERFACE
    EXPECT_EQ(1, device_->AlternateSetting(0));
    EXPECT_FALSE(device_->Halted(0x81));
    EXPECT_EQ(0u, device_->FifoBytes(0x81));  // the bus reset emptied the firmware's buffers
    EXPECT_EQ(bus_->ConfigurationHandle(), r->Urb()->UrbSelectConfiguration.ConfigurationHandle);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_TRUE(bus_->Pipe(r->Pipe(k))->live) << k;
        EXPECT_FALSE(bus_->Pipe(r->Pipe(k))->halted) << k;
        EXPECT_EQ(0, bus_->Pipe(r->Pipe(k))->toggle) << k;
    }
    Write(r->Pipe(0), Counting(70, 3));  // the handles the driver kept move data
    EXPECT_EQ(Counting(70, 3), Read(r->Pipe(1), 128).data);
}

TEST_F(UsbTransferTest, VendorAndClassRequestsReachTheDefaultPipe) {
    const USBD_STATUS ok = USBD_STATUS_SUCCESS, stall = USBD_STATUS_STALL_PID;
    struct Case {
        USHORT function;
        ULONG flags;
        UCHAR request;
        USHORT value, index;
        Bytes data;   // OUT: the data stage; IN: what comes back
        ULONG asked;  // IN: the buffer length
        USBD_STATUS usbd;
        UCHAR bmRequestType;
    };
    const Case cases[] = {
        {URB_FUNCTION_VENDOR_DEVICE, kOut, 0x02, 0x1234, 5, B("01 02 03"), 0, ok, 0x40},
        {URB_FUNCTION_VENDOR_DEVICE, kIn, 0x02, 0, 0, B("01 02 03"), 64, ok, 0xC0},  // echo, short
        {URB_FUNCTION_VENDOR_DEVICE, kInShortOk, 0x01, 0, 0, B("00"), 1, ok, 0xC0},   // cut to wLength
        {URB_FUNCTION_VENDOR_DEVICE, kInShortOk, 0x0C, 0, 0, B("00"), 8, ok, 0xC0},   // initial contents
        {URB_FUNCTION_VENDOR_DEVICE, kIn, 0x00, 0, 0, {}, 4, stall, 0xC0},             // no device-to-host form
        {URB_FUNCTION_VENDOR_DEVICE, kOut, 0x02, 0, 0, Bytes(65, 9), 0, stall, 0x40},  // beyond 64 bytes
        {URB_FUNCTION_VENDOR_ENDPOINT, kIn, 0x01, 0, 0x81, B("00 01"), 2, ok, 0xC2},
        {URB_FUNCTION_VENDOR_OTHER, kOut, 0x00, 0, 0, {}, 0, ok, 0x43},
        {URB_FUNCTION_CLASS_INTERFACE, kIn, 0x01, 0, 0, {}, 2, stall, 0xA1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(UrbFunctionName(c.function) + " request " + std::to_string(c.request));
        const bool in = (c.flags & kIn) != 0;
        Bytes buffer = in ? Bytes(c.asked, 0xEE) : c.data;
        const ULONG length = static_cast<ULONG>(buffer.size());
        URB u = VendorUrb(c.function, c.flags, c.request, c.value, c.index, length ? buffer.data() : nullptr, length);
        EXPECT_EQ(c.usbd == ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, Submit(&u).status);
        EXPECT_EQ(c.usbd, u.UrbHeader.Status);
        const ULONG moved = u.UrbControlVendorClassRequest.TransferBufferLength;
        EXPECT_EQ(c.usbd != ok ? 0u : c.data.size(), moved);
        if (in) {
            EXPECT_EQ(c.data, Bytes(buffer.begin(), buffer.begin() + moved));
        }
        const SetupPacket s = device_->ControlLog().back().setup;
        EXPECT_EQ(std::make_tuple(c.bmRequestType, c.request, c.value, c.index, static_cast<USHORT>(length)),
                  std::make_tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength));
    }
    EXPECT_EQ(B("01 02 03"), device_->Stored(0x02));
}

// IoCancelIrp races the write that satisfies a waiting read (run under ThreadSanitizer in CI):
// whichever wins, the read completes once, and no byte is lost or reported twice.
TEST_F(UsbTransferTest, ConcurrencyCancelRacesCompletion) {
    auto r = Select(0);
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        Bytes got(64, 0), sent = Counting(64, static_cast<UCHAR>(i));
        URB rd = BulkUrb(r->Pipe(1), got.data(), 64, kInShortOk), wr = BulkUrb(r->Pipe(0), sent.data(), 64, kOut);
        {
            Async t(bus_->Pdo(), &rd);
            std::thread writer([&] {
                Async w(bus_->Pdo(), &wr);
                w.Wait();
                EXPECT_EQ(STATUS_SUCCESS, w.Status());
            });
            IoCancelIrp(t.Irp());
            writer.join();
            t.Wait();
            const ULONG moved = rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (t.Status() != STATUS_SUCCESS) {
                EXPECT_EQ(STATUS_CANCELLED, t.Status());
                ++cancelled;
            }
            EXPECT_EQ(64u, moved + device_->FifoBytes(0x81));
            if (moved == 64) {
                EXPECT_EQ(sent, got);
            }
        }
        if (device_->FifoBytes(0x81) != 0) {
            EXPECT_EQ(sent, Read(r->Pipe(1), 64).data);
        }
    }
    EXPECT_GT(cancelled, 0);
}

// Writers and readers on two threads, many transfers in flight: the data comes back in order.
TEST_F(UsbTransferTest, ConcurrencyQueuedTransfersKeepTheirOrder) {
    for (AnswerMode mode : {AnswerMode::Pend, AnswerMode::Inline}) {
        bus_->SetTransferMode(mode);
        auto r = Select(0);
        constexpr int kCount = 150;  // more than the loopback's 4 KiB buffer holds
        std::vector<Bytes> sent(kCount), got(kCount, Bytes(64, 0));
        std::vector<URB> writes(kCount), reads(kCount);
        for (int i = 0; i < kCount; ++i) {
            sent[i] = Counting(64, static_cast<UCHAR>(i));
            writes[i] = BulkUrb(r->Pipe(0), sent[i].data(), 64, kOut);
            reads[i] = BulkUrb(r->Pipe(1), got[i].data(), 64, kIn);
        }
        auto run = [&](std::vector<URB>& urbs) {
            std::vector<std::unique_ptr<Async>> inFlight;
            for (URB& u : urbs) inFlight.push_back(std::make_unique<Async>(bus_->Pdo(), &u));
            for (auto& a : inFlight) {
                a->Wait();
                EXPECT_EQ(STATUS_SUCCESS, a->Status());
            }
        };
        std::thread writer([&] { run(writes); });
        run(reads);
        writer.join();
        for (int i = 0; i < kCount; ++i) EXPECT_EQ(sent[i], got[i]) << i;
    }
}

}  // namespace
