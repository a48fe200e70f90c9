// A loaded driver above a simulated USB device, with the verifier's checks at the end of
// every test.
#pragma once

#include "kernel/model.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <gtest/gtest.h>

#include <memory>

// driver_image_tests builds these suites against the loaded kwdrv.sys (KWDRV_ON_IMAGE=1). A test
// that needs what only the host build has (the DBG=1 ASSERTs, a routine the optimiser inlined)
// starts with KWDRV_HOST_ONLY("why").
#ifndef KWDRV_ON_IMAGE
#define KWDRV_ON_IMAGE 0
#endif
#define KWDRV_HOST_ONLY(reason) \
    if (KWDRV_ON_IMAGE) GTEST_SKIP() << "host-only: " << (reason)

namespace drivertest {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetWorld();
        NTSTATUS st = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv",
                                  &st);
        ASSERT_EQ(STATUS_SUCCESS, st);
        bus_ = std::make_unique<sim::usb::BusDevice>(instanceId_);
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

    PDEVICE_EXTENSION ext() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }
    PDEVICE_OBJECT fdo() const { return fdo_; }
    sim::usb::BusDevice& bus() { return *bus_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    std::string instanceId_ = "USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1";

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::usb::BusDevice> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace drivertest
