#include "harness.h"

#include "kwdrv.h"

#include <algorithm>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::SetWatchdogMilliseconds(3000);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::perror("fuzz: stdout");
    return 0;
}

namespace fuzz {

std::vector<uint8_t> Input::Take(size_t n) {
    n = std::min(n, size_ - pos_);
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
}

const sim::usb::DeviceDescription& TestFirmware() {
    static const sim::usb::DeviceDescription d = sim::usb::Device::Default()->Description();
    return d;
}

void StartAndRemove(std::shared_ptr<sim::usb::Device> device, sim::usb::AnswerMode controlMode,
                    const std::function<void(sim::usb::BusDevice&, PDEVICE_OBJECT)>& whileStarted) {
    sim::ResetWorld();
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver =
        sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv", &st);
    if (driver == nullptr) sim::BugCheck(0xDEAD0F00, "FuzzDriverEntry", "DriverEntry failed: " + sim::StatusName(st));
    {
        sim::usb::BusDevice bus("USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1", std::move(device));
        bus.SetControlMode(controlMode);
        if (NT_SUCCESS(sim::pnp::AddDevice(driver, bus.Pdo()))) {
            PDEVICE_OBJECT fdo = sim::pnp::TopOfStack(bus.Pdo());
            sim::pnp::StartResult start = sim::pnp::Start(bus.Pdo());
            if (!start.removed) {
                if (NT_SUCCESS(start.start.status) && whileStarted) whileStarted(bus, fdo);
                sim::pnp::Remove(bus.Pdo());
            }
        }
    }
    sim::UnloadDriver(driver);
    sim::EndScenario();
}

}  // namespace fuzz
