// A loaded driver above a simulated USB device, with the verifier's checks at the end of
// every test.
#pragma once

#include "app/app.h"
#include "kernel/model.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// driver_image_tests builds these suites against the loaded kwdrv.sys (KWDRV_ON_IMAGE=1). A test
// that needs what only the host build has (the DBG=1 ASSERTs, a routine the optimiser inlined)
// starts with KWDRV_HOST_ONLY("why").
#ifndef KWDRV_ON_IMAGE
#define KWDRV_ON_IMAGE 0
#endif
#define KWDRV_HOST_ONLY(reason) \
    if (KWDRV_ON_IMAGE) GTEST_SKIP() << "host-only: " << (reason)

namespace drivertest {

// A device description of tests/sim/devices/.
inline std::shared_ptr<sim::usb::Device> DeviceFile(const std::string& name) {
    const std::string here = __FILE__;
    return sim::usb::Device::FromFile(here.substr(0, here.rfind('/')) + "/../sim/devices/" + name);
}

// The URB a request to the USB stack carries, when it is one of `function`; else nullptr.
inline PURB UrbOf(PIO_STACK_LOCATION s, USHORT function) {
    if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return nullptr;
    auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
    return urb->UrbHeader.Function == function ? urb : nullptr;
}

// The interfaces a select-configuration URB names, in its order: number and alternate setting.
inline std::vector<std::pair<UCHAR, UCHAR>> SelectedInterfaces(PURB u) {
    std::vector<std::pair<UCHAR, UCHAR>> selected;
    for (auto p = reinterpret_cast<PUCHAR>(&u->UrbSelectConfiguration.Interface);
         p < reinterpret_cast<PUCHAR>(u) + u->UrbHeader.Length; p += reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p)->Length) {
        auto i = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        selected.emplace_back(i->InterfaceNumber, i->AlternateSetting);
    }
    return selected;
}

// The bus's answer to one request: completed in `mode` with these statuses.
inline sim::usb::Answer Answered(sim::usb::AnswerMode mode, NTSTATUS status = STATUS_SUCCESS,
                                 USBD_STATUS usbd = USBD_STATUS_SUCCESS, bool cancelable = true) {
    sim::usb::Answer a;
    a.mode = mode;
    a.status = status;
    a.usbdStatus = usbd;
    a.cancelable = cancelable;
    return a;
}

// One read or write on an overlapped handle, the frame clock running until it has completed (so
// periodic and isochronous data falls due); one still unanswered then is cancelled. Its status
// and Information.
inline std::pair<NTSTATUS, ULONG> RunIo(sim::app::Process& app, sim::usb::BusDevice& bus, bool read,
                                        sim::app::Handle h, PVOID buffer, ULONG length) {
    sim::app::Overlapped ov;
    sim::app::IoResult r = read ? app.Read(h, buffer, length, 0, &ov) : app.Write(h, buffer, length, 0, &ov);
    if (r.status != STATUS_PENDING) return {r.status, 0};
    for (int i = 0; i < 400 && !ov.Signalled(); ++i) {
        bus.AdvanceFrames(1);
        sim::FlushDpcs();
    }
    if (!ov.Signalled()) app.CancelIo(h);
    ov.Wait();
    return {ov.Internal(), static_cast<ULONG>(ov.InternalHigh())};
}

class DriverTest : public ::testing::Test {
protected:
    // The test firmware's pipes in interface order (alternate setting 1), and their names.
    static constexpr ULONG kBulkOut = 0, kBulkIn = 1, kInterruptIn = 2, kIsoOut = 3, kIsoIn = 4, kPipes = 5;
    static std::u16string PipeName(ULONG pipe) { return u"\\KWDrv" + std::u16string(1, char16_t(u'0' + pipe)); }

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetWorld();
        NTSTATUS st = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv",
                                  &st);
        ASSERT_EQ(STATUS_SUCCESS, st);
        bus_ = std::make_unique<sim::usb::BusDevice>(instanceId_);
        if (device_) bus_->PlugIn(device_);
    }

    void TearDown() override {
        if (HasFailure()) {
            // Forget whatever the failed test left behind; the next test starts clean.
            sim::ResetWorld();
            bus_.reset();
            return;
        }
        if (fdo_ != nullptr && sim::DeviceExists(fdo_)) Remove();
        bus_.reset();
        sim::UnloadDriver(driver_);
        sim::EndScenario();
    }

    // AddDevice through the PnP manager; on success fdo() is the driver's device object.
    NTSTATUS Add() {
        NTSTATUS st = sim::pnp::AddDevice(driver_, bus_->Pdo());
        PDEVICE_OBJECT top = sim::pnp::TopOfStack(bus_->Pdo());
        fdo_ = top != bus_->Pdo() ? top : nullptr;
        return st;
    }

    // START for the PDO alone, for tests that call the driver's StartDevice themselves: the hub
    // serves its PDO only once START has reached it.
    void StartPdo() { sim::SendToStack(bus_->Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE); }

    sim::RequestResult Remove() {
        sim::RequestResult r = sim::pnp::Remove(bus_->Pdo());
        fdo_ = nullptr;
        return r;
    }

    // URBs the bus received since its trace was last cleared: all, or those of one function.
    size_t UrbsSent(std::optional<USHORT> function = {}) {
        size_t n = 0;
        for (const auto& t : bus().Trace())
            n += t.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && (!function || t.urbFunction == *function);
        return n;
    }

    PDEVICE_EXTENSION ext() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }
    PDEVICE_OBJECT fdo() const { return fdo_; }
    sim::usb::BusDevice& bus() { return *bus_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    std::string instanceId_ = "USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1";
    std::shared_ptr<sim::usb::Device> device_;  // plugged in at SetUp instead of the test firmware

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::usb::BusDevice> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
};

// The driver started through the PnP manager (unless a test's constructor clears start_) and an
// application process that opens it. ExpectQuiet: a finished request left no reference, tracked
// transfer, pool block or MDL behind (counted from SetUp or the last Baseline).
class AppTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        if (start_) {
            ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
        }
        app_ = std::make_unique<sim::app::Process>();
        Baseline();
    }
    void TearDown() override {
        app_.reset();  // process exit: outstanding requests cancelled, every handle closed
        DriverTest::TearDown();
    }
    sim::app::Process& app() { return *app_; }
    std::u16string Path(const std::u16string& rest) { return sim::app::UserPath(ext()->InterfaceLinkName) + rest; }
    // "" opens the interface alone, "\\KWDrv1" a pipe.
    sim::app::Handle Open(const std::u16string& rest, bool overlapped = false) {
        sim::app::OpenResult r = app().Open(Path(rest), sim::app::OpenOptions{overlapped});
        EXPECT_EQ(STATUS_SUCCESS, r.status) << "opening " << sim::Narrow(rest);
        return r.handle;
    }
    sim::app::Handle Open(ULONG pipe, bool overlapped = false) { return Open(PipeName(pipe), overlapped); }
    // Closes a handle and waits until the close has reached the driver.
    void Close(sim::app::Handle h) {
        EXPECT_EQ(STATUS_SUCCESS, app().Close(h));
        app().Flush();
    }
    sim::app::IoResult Transfer(bool read, sim::app::Handle h, PVOID buffer, ULONG length,
                                sim::app::Overlapped* ov = nullptr, LONGLONG offset = 0) {
        return read ? app().Read(h, buffer, length, offset, ov) : app().Write(h, buffer, length, offset, ov);
    }
    void Baseline() {
        pool_ = sim::LivePoolCount();
        mdls_ = sim::LiveMdlCount();
    }
    void ExpectQuiet() {
        EXPECT_EQ(1, ext()->OutstandingIo);
        EXPECT_TRUE(IsListEmpty(&ext()->TransferList));
        EXPECT_EQ(pool_, sim::LivePoolCount());
        EXPECT_EQ(mdls_, sim::LiveMdlCount());
    }

    bool start_ = true;
    size_t pool_ = 0, mdls_ = 0;
    std::unique_ptr<sim::app::Process> app_;
};

}  // namespace drivertest
