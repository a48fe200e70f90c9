// Shared by the USB stack tests: device files, URB builders, an IRP that records its completion,
// a select-configuration request laid out as USBD lays it out, and a bus with the test firmware.
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

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN, kOut = USBD_TRANSFER_DIRECTION_OUT;
constexpr ULONG kInShortOk = kIn | USBD_SHORT_TRANSFER_OK;

inline const std::filesystem::path kDevices = std::filesystem::path(__FILE__).parent_path() / "devices";
inline std::shared_ptr<Device> Load(const char* file) { return Device::FromFile((kDevices / file).string()); }

inline Bytes B(const char* hex) {
    std::string error;
    return *ParseHex(hex, &error);
}
inline Bytes Counting(size_t n, UCHAR seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UCHAR>(seed + 7 * i);
    return b;
}
inline SetupPacket Req(UCHAR type, UCHAR request, USHORT value = 0, USHORT index = 0, USHORT length = 0) {
    return SetupPacket{type, request, value, index, length};
}

inline URB ZeroUrb() {
    URB u;
    std::memset(&u, 0, sizeof u);
    return u;
}
inline URB DescriptorUrb(UCHAR type, UCHAR index, PVOID buffer, ULONG length, PMDL mdl = nullptr, USHORT lang = 0) {
    URB u = ZeroUrb();
    UsbBuildGetDescriptorRequest(&u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, lang, buffer, mdl,
                                 length, nullptr);
    return u;
}
inline URB BulkUrb(USBD_PIPE_HANDLE pipe, UCHAR* buffer, ULONG length, ULONG flags = kIn, PMDL mdl = nullptr) {
    URB u = ZeroUrb();
    UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, mdl,
                                           length, flags, nullptr);
    return u;
}
inline URB VendorUrb(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, PVOID buffer,
                     ULONG length) {
    URB u = ZeroUrb();
    UsbBuildVendorRequest(&u, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                          index, buffer, nullptr, length, nullptr);
    return u;
}
inline URB FeatureUrb(USHORT function, USHORT endpoint) {
    URB u = ZeroUrb();
    UsbBuildFeatureRequest(&u, function, USB_FEATURE_ENDPOINT_STALL, endpoint, nullptr);
    return u;
}
inline URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB u = ZeroUrb();
    u.UrbHeader.Function = function;
    u.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    u.UrbPipeRequest.PipeHandle = pipe;
    return u;
}
inline URB NullConfigurationUrb() {
    URB u = ZeroUrb();
    UsbBuildSelectConfigurationRequest(&u, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    return u;
}

// A URB in an IRP of our own that records how the bus completed it. `cancelFirst` cancels the
// IRP before it is sent (IoCancelIrp then finds no cancel routine).
class Async {
public:
    Async(PDEVICE_OBJECT pdo, PURB urb, std::function<void()> onDone = {}, bool cancelFirst = false)
        : urb_(urb), onDone_(std::move(onDone)), irp_(IoAllocateIrp(pdo->StackSize, FALSE)) {
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp_);
        s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        s->Parameters.Others.Argument1 = urb;
        routine_.SetOn(irp_);
        EXPECT_TRUE(!cancelFirst || !IoCancelIrp(irp_));
        returned_ = IoCallDriver(pdo, irp_);
    }
    ~Async() {
        Wait();
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
    PIRP irp_;
    NTSTATUS returned_ = 0, status_ = 0;
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

// A select-configuration request as USBD_CreateConfigurationRequestEx lays it out, every field
// the stack fills preset to kUnset.
class SelectRequest {
public:
    SelectRequest(Bytes set, std::vector<std::pair<UCHAR, UCHAR>> settings) : set_(std::move(set)), storage_(1024) {
        std::string e;
        const ConfigLayout layout = *WalkConfiguration(set_.data(), set_.size(), &e);
        size_t off = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        for (auto [n, a] : settings) {
            auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(Urb()) + off);
            rec->NumberOfPipes = layout.Find(n, a)->declaredEndpoints;
            rec->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(rec->NumberOfPipes));
            rec->InterfaceNumber = n;
            rec->AlternateSetting = a;
            rec->InterfaceHandle = kUnset;
            for (ULONG i = 0; i < rec->NumberOfPipes; ++i) {
                rec->Pipes[i].MaximumTransferSize = 0x10000;
                rec->Pipes[i].PipeHandle = kUnset;
            }
            off += rec->Length;
        }
        UsbBuildSelectConfigurationRequest(Urb(), static_cast<USHORT>(off),
                                           reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set_.data()));
        Urb()->UrbSelectConfiguration.ConfigurationHandle = kUnset;
    }
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    USBD_INTERFACE_INFORMATION& Interface() { return Urb()->UrbSelectConfiguration.Interface; }  // the first
    USBD_PIPE_HANDLE Pipe(size_t i) { return Interface().Pipes[i].PipeHandle; }
    Bytes& Set() { return set_; }

    static inline const PVOID kUnset = reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x5E7));

private:
    Bytes set_;
    std::vector<uint64_t> storage_;
};

class UsbStackTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        bus_ = std::make_unique<BusDevice>();
        device_ = bus_->PluggedDevice();
        sim::SendToStack(bus_->Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);  // the hub serves a started PDO only
    }
    void TearDown() override {
        bus_.reset();
        ModelTest::TearDown();
    }

    sim::RequestResult Ioctl(ULONG code, PVOID argument) {
        return sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [=](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = code;
            s->Parameters.Others.Argument1 = argument;
        });
    }
    sim::RequestResult Submit(PURB urb) { return Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }
    sim::RequestResult Submit(URB urb) { return Submit(&urb); }
    sim::RequestResult ResetPort() { return Ioctl(IOCTL_INTERNAL_USB_RESET_PORT, nullptr); }
    sim::RequestResult ReadDeviceDescriptor() {
        UCHAR buffer[18];
        return Submit(DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18));
    }
    // Submits a pipe request (ABORT_PIPE, RESET_PIPE, ...); `urb` receives it as completed.
    sim::RequestResult PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, URB* urb) {
        *urb = PipeUrb(function, pipe);
        return Submit(urb);
    }
    NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe) {
        return Submit(PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe)).status;
    }

    // Selects interface 0 with the given alternate setting of the plugged device's own set.
    std::unique_ptr<SelectRequest> Select(UCHAR alternate) {
        auto r = std::make_unique<SelectRequest>(device_->Description().configuration,
                                                 std::vector<std::pair<UCHAR, UCHAR>>{{0, alternate}});
        EXPECT_EQ(STATUS_SUCCESS, Submit(r->Urb()).status);
        EXPECT_EQ(USBD_STATUS_SUCCESS, r->Urb()->UrbHeader.Status);
        return r;
    }

    struct Moved {
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG length;  // TransferBufferLength after completion
        Bytes data;    // IN: the bytes the stack reported
    };
    // One bulk or interrupt transfer that must end; IN must write nothing beyond what it reports.
    Moved Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, Bytes data) {
        URB u = BulkUrb(pipe, data.data(), static_cast<ULONG>(data.size()), flags);
        Moved m{Submit(&u).status, u.UrbHeader.Status, u.UrbBulkOrInterruptTransfer.TransferBufferLength, {}};
        if (!(flags & kIn)) return m;
        for (size_t i = m.length; i < data.size(); ++i) EXPECT_EQ(0xEE, data[i]) << "written beyond " << m.length;
        m.data.assign(data.begin(), data.begin() + std::min<size_t>(m.length, data.size()));
        return m;
    }
    Moved Write(USBD_PIPE_HANDLE pipe, const Bytes& data) { return Transfer(pipe, kOut, data); }
    Moved Read(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = kInShortOk) {
        return Transfer(pipe, flags, Bytes(length, 0xEE));
    }

    std::unique_ptr<BusDevice> bus_;
    std::shared_ptr<Device> device_;
};

}  // namespace usbtest
