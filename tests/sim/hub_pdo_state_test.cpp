// What the hub's PDO does with internal requests in each of its PnP states, as Windows' hub
// does: it serves its device only between START_DEVICE and REMOVE_DEVICE. Before a start and
// after a removal every internal request (teardown included) fails as for a device that is not
// connected; after a surprise removal requests fail as for a device being deleted, while
// teardown requests still pass.
#include "usb_fixture.h"

namespace {

using namespace usbtest;

enum class Phase { NeverStarted, Started, SurpriseRemoved, Removed, StartedAgain };

class HubPdoStateTest : public ModelTest {
protected:
    void TearDown() override {
        bus_.reset();
        ModelTest::TearDown();
    }
    void Pnp(UCHAR minor) { sim::SendToStack(bus_->Pdo(), IRP_MJ_PNP, minor); }
    void Enter(Phase p) {
        bus_ = std::make_unique<BusDevice>();
        if (p == Phase::NeverStarted) return;
        Pnp(IRP_MN_START_DEVICE);
        if (p == Phase::SurpriseRemoved) Pnp(IRP_MN_SURPRISE_REMOVAL);
        if (p == Phase::Removed || p == Phase::StartedAgain) Pnp(IRP_MN_REMOVE_DEVICE);
        if (p == Phase::StartedAgain) Pnp(IRP_MN_START_DEVICE);
    }
    sim::RequestResult Ioctl(ULONG code, PVOID argument) {
        return sim::SendToStack(bus_->Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [=](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceIoControl.IoControlCode = code;
            s->Parameters.Others.Argument1 = argument;
        });
    }
    std::unique_ptr<BusDevice> bus_;
};

struct Expected {
    NTSTATUS descriptor;  // GET_DESCRIPTOR_FROM_DEVICE
    USBD_STATUS descriptorUsbd;
    NTSTATUS unconfigure;  // SELECT_CONFIGURATION with no configuration
    NTSTATUS portStatus;   // IOCTL_INTERNAL_USB_GET_PORT_STATUS
};

TEST_F(HubPdoStateTest, InternalRequestsInEachPnpState) {
    const struct {
        const char* name;
        Phase phase;
        Expected e;
    } cases[] = {
        {"never started", Phase::NeverStarted,
         {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED,
          STATUS_DEVICE_NOT_CONNECTED}},
        {"started", Phase::Started, {STATUS_SUCCESS, USBD_STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS}},
        {"surprise-removed", Phase::SurpriseRemoved,
         {STATUS_DELETE_PENDING, USBD_STATUS_INVALID_PARAMETER, STATUS_SUCCESS, STATUS_SUCCESS}},
        {"removed", Phase::Removed,
         {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED,
          STATUS_DEVICE_NOT_CONNECTED}},
        {"started again", Phase::StartedAgain, {STATUS_SUCCESS, USBD_STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Enter(c.phase);
        UCHAR buffer[18] = {};
        URB descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
        EXPECT_EQ(c.e.descriptor, Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, &descriptor).status);
        EXPECT_EQ(c.e.descriptorUsbd, descriptor.UrbHeader.Status);
        if (!NT_SUCCESS(c.e.unconfigure)) {
            UCHAR data[4] = {1, 2, 3, 4};
            URB write = BulkUrb(nullptr, data, sizeof data, kOut);
            EXPECT_EQ(c.e.unconfigure, Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, &write).status);
            EXPECT_EQ(0u, write.UrbBulkOrInterruptTransfer.TransferBufferLength) << "a refused write moved nothing";
        }
        URB unconfigure = NullConfigurationUrb();
        EXPECT_EQ(c.e.unconfigure, Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, &unconfigure).status);
        ULONG port = 0xFFFFFFFF;
        EXPECT_EQ(c.e.portStatus, Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status);
        EXPECT_EQ(NT_SUCCESS(c.e.portStatus), port != 0xFFFFFFFF) << "the port status is written only on success";
        bus_.reset();
    }
}

// The request a refused URB went out with is the one the trace shows, with its refusal.
TEST_F(HubPdoStateTest, RefusalBeforeStartIsTraced) {
    Enter(Phase::NeverStarted);
    UCHAR buffer[18] = {};
    URB descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB, &descriptor);
    std::vector<TraceEntry> trace = bus_->Trace();
    ASSERT_EQ(1u, trace.size());
    EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, trace[0].urbFunction);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, trace[0].status);
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, trace[0].usbdStatus);
}

}  // namespace
