// What the USB stack tests share: device files and hex helpers, URB builders, an IRP of the
// test's own that records how the bus completed it, a select-configuration request laid out as
// USBD lays it out, and a fixture with a bus and the test firmware plugged in.
#pragma once

#include "test_stack.h"
#include "usb/bus.h"
#include "usb/status.h"

#include <usbdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>

namespace usbtest {

using namespace simtest;
using namespace sim::usb;

inline const std::filesystem::path kDevices = std::filesystem::path(__FILE__).parent_path() / "devices";

inline std::shared_ptr<Device> Load(const char* file) { return Device::FromFile((kDevices / file).string()); }

inline Bytes B(const char* hex) {
    std::string error;
    return *ParseHex(hex, &error);
}

inline SetupPacket Req(UCHAR type, UCHAR request, USHORT value = 0, USHORT index = 0, USHORT length = 0) {
    return SetupPacket{type, request, value, index, length};
}

inline URB ZeroUrb() {
    URB u;
    std::memset(&u, 0, sizeof u);
    return u;
}

// A GET_DESCRIPTOR_FROM_DEVICE request as UsbBuildGetDescriptorRequest builds it.
inline URB DescriptorUrb(UCHAR type, UCHAR index, PVOID buffer, ULONG length, PMDL mdl = nullptr, USHORT language = 0) {
    URB u = ZeroUrb();
    UsbBuildGetDescriptorRequest(&u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer, mdl,
                                 length, nullptr);
    return u;
}
// An IRP of our own that stays pending until the bus completes it; records its outcome.
// `cancelFirst` cancels it before it is sent (IoCancelIrp then finds no cancel routine).
class Async {
public:
    Async(PDEVICE_OBJECT pdo, PURB urb, std::function<void()> onDone = {}, bool cancelFirst = false)
        : Async(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, std::move(onDone), cancelFirst) {}
    Async(PDEVICE_OBJECT pdo, ULONG ioctl, PVOID argument, std::function<void()> onDone = {}, bool cancelFirst = false)
        : urb_(ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(argument) : nullptr),
          onDone_(std::move(onDone)) {
        irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp_);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = ioctl;
        s->Parameters.Others.Argument1 = argument;
        routine_.SetOn(irp_);
        if (cancelFirst) {
            EXPECT_FALSE(IoCancelIrp(irp_));
        }
        returned_ = IoCallDriver(pdo, irp_);
    }
    ~Async() {
        done_.Wait("URB of a test");
        IoFreeIrp(irp_);
    }
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;

    void Wait() { done_.Wait("URB of a test"); }
    bool Done() const { return done_.IsSignalled(); }
    PIRP Irp() const { return irp_; }
    NTSTATUS Returned() const { return returned_; }
    NTSTATUS Status() const { return status_; }
    USBD_STATUS Usbd() const { return urb_->UrbHeader.Status; }
    KIRQL Irql() const { return irql_; }

private:
    PURB urb_;
    std::function<void()> onDone_;
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = 0;
    NTSTATUS status_ = 0;
    KIRQL irql_ = 0;
    sim::Completion done_;
    Routine routine_{[this](PDEVICE_OBJECT, PIRP irp) {
        status_ = irp->IoStatus.Status;
        irql_ = KeGetCurrentIrql();
        if (onDone_) onDone_();
        done_.Signal();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }};
};

// A select-configuration request laid out as USBD_CreateConfigurationRequestEx lays it out: one
// record per chosen setting with room for its pipes, every field the stack fills preset to a
// value it must overwrite.
class SelectRequest {
public:
    SelectRequest(Bytes set, std::vector<std::pair<UCHAR, UCHAR>> settings) : set_(std::move(set)) {
        std::string e;
        layout_ = *WalkConfiguration(set_.data(), set_.size(), &e);
        size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        for (auto [n, a] : settings) size += GET_USBD_INTERFACE_SIZE(layout_.Find(n, a)->declaredEndpoints);
        storage_.assign(size / sizeof(uint64_t) + 8, 0);
        UsbBuildSelectConfigurationRequest(Urb(), static_cast<USHORT>(size),
                                           reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set_.data()));
        Urb()->UrbSelectConfiguration.ConfigurationHandle = kUnset;
        size_t off = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        for (auto [n, a] : settings) {
            auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(Urb()) + off);
            const UCHAR pipes = layout_.Find(n, a)->declaredEndpoints;
            rec->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
            rec->InterfaceNumber = n;
            rec->AlternateSetting = a;
            rec->NumberOfPipes = pipes;
            rec->InterfaceHandle = kUnset;
            for (ULONG i = 0; i < pipes; ++i) {
                rec->Pipes[i].MaximumTransferSize = 0x10000;
                rec->Pipes[i].PipeHandle = kUnset;
            }
            records_.push_back(rec);
            off += rec->Length;
        }
    }
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    USBD_INTERFACE_INFORMATION& Interface(size_t i = 0) { return *records_.at(i); }
    USBD_PIPE_HANDLE Pipe(size_t i, size_t record = 0) { return records_.at(record)->Pipes[i].PipeHandle; }
    Bytes& Set() { return set_; }

    static inline const PVOID kUnset = reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x5E7));

private:
    Bytes set_;
    ConfigLayout layout_;
    std::vector<uint64_t> storage_;
    std::vector<PUSBD_INTERFACE_INFORMATION> records_;
};

class UsbStackTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        bus_ = std::make_unique<BusDevice>();
        device_ = bus_->PluggedDevice();
    }
    void TearDown() override {
        bus_.reset();
        ModelTest::TearDown();
    }

    // Submits a URB and waits for it; the bus must complete it.
    sim::RequestResult Submit(PURB urb) {
        return sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [urb](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            s->Parameters.Others.Argument1 = urb;
        });
    }

    // Selects interface 0 with the given alternate setting of the plugged device's own set.
    std::unique_ptr<SelectRequest> Select(UCHAR alternate) {
        auto r = std::make_unique<SelectRequest>(device_->Description().configuration,
                                                 std::vector<std::pair<UCHAR, UCHAR>>{{0, alternate}});
        sim::RequestResult res = Submit(r->Urb());
        EXPECT_EQ(STATUS_SUCCESS, res.status);
        EXPECT_EQ(USBD_STATUS_SUCCESS, r->Urb()->UrbHeader.Status);
        return r;
    }

    sim::RequestResult PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, URB* urb) {
        *urb = ZeroUrb();
        urb->UrbHeader.Function = function;
        urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbPipeRequest.PipeHandle = pipe;
        return Submit(urb);
    }

    // Holds every bulk or interrupt transfer, as a device that has nothing to say would.
    void HoldTransfers(bool cancelable = true) {
        bus_->SetScript([cancelable](PIRP, PIO_STACK_LOCATION s) -> std::optional<Answer> {
            auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return std::nullopt;
            Answer a;
            a.mode = AnswerMode::Hold;
            a.cancelable = cancelable;
            return a;
        });
    }

    // A bulk or interrupt transfer as UsbBuildInterruptOrBulkTransferRequest builds it.
    static URB BulkUrb(USBD_PIPE_HANDLE pipe, UCHAR* buffer, ULONG length, ULONG flags = USBD_TRANSFER_DIRECTION_IN,
                       PMDL mdl = nullptr) {
        URB u = ZeroUrb();
        UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, mdl,
                                               length, flags, nullptr);
        return u;
    }

    std::unique_ptr<BusDevice> bus_;
    std::shared_ptr<Device> device_;
};

}  // namespace usbtest
