// What every benchmark stands on: a driver (kwdrv or the pass-through) loaded into the model
// above a simulated device, started, and an application process with the bulk pipes open.
#pragma once

#include "app/app.h"
#include "kernel/model.h"
#include "usb/bus.h"

#include <memory>
#include <string>

namespace benchmark::internal {
class Benchmark;
}

namespace bench {

// With KWBENCH_ITERATIONS set, a fixed iteration count for `b` (instruction counts under
// callgrind, bench/callgrind.py); otherwise Google Benchmark's own choice.
void FixedIterations(benchmark::internal::Benchmark* b);

enum class DriverKind { Kwdrv, PassThrough };
const char* DriverKindName(DriverKind kind);

// Interface 0, alternate setting 0 only: bulk OUT 0x01 looped back to bulk IN 0x81 through a
// FIFO that holds 16 requests of 64 KiB, so a round trip of every size and depth fits.
std::shared_ptr<sim::usb::Device> LoopbackDevice();

class Rig {
public:
    // Loads the driver, plugs `device` in, starts it and opens pipes 0 (out) and 1 (in) with
    // overlapped handles. `ok()` is false, with `error()` saying why, when any step failed.
    Rig(DriverKind kind, std::shared_ptr<sim::usb::Device> device);
    // Closes the handles, removes the device, unloads the driver and checks the scenario's end.
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    sim::app::Process& app() { return *app_; }
    sim::usb::BusDevice& bus() { return *bus_; }
    sim::app::Handle out() const { return out_; }
    sim::app::Handle in() const { return in_; }
    // The user-mode name of pipe `index` of the started device (`\\?\...\KWDrvN`).
    std::u16string PipePath(unsigned index) const;

private:
    void Bring(std::shared_ptr<sim::usb::Device> device);  // the steps of the constructor
    void Fail(const std::string& what, NTSTATUS status);

    DriverKind kind_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<sim::usb::BusDevice> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::u16string link_;  // the device's interface, in user mode
    std::unique_ptr<sim::app::Process> app_;
    sim::app::Handle out_ = sim::app::kInvalidHandle;
    sim::app::Handle in_ = sim::app::kInvalidHandle;
    std::string error_;
};

}  // namespace bench
