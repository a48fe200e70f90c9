// kwdrv's start sequence on the test firmware: AddDevice, IRP_MN_START_DEVICE (descriptors read
// and checked, the configuration and setting selected, the pipe table built) and removal, on a
// newly plugged device each iteration.
#include "rig.h"

#include "kwdrv.h"

#include <benchmark/benchmark.h>

namespace bench {
namespace {

void StartSequence(benchmark::State& state) {
    sim::ResetWorld();
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\kwdrv", &st);
    if (driver == nullptr) return state.SkipWithError("DriverEntry failed");
    std::shared_ptr<sim::usb::Device> device = sim::usb::Device::Default();
    std::string error;
    for (auto _ : state) {
        sim::usb::BusDevice bus("USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1", device);
        st = sim::pnp::AddDevice(driver, bus.Pdo());
        sim::pnp::StartResult start{};
        if (NT_SUCCESS(st)) start = sim::pnp::Start(bus.Pdo());
        if (!NT_SUCCESS(st) || !NT_SUCCESS(start.start.status)) {
            error = "AddDevice " + sim::StatusName(st) + ", start " + sim::StatusName(start.start.status);
            if (!start.removed && NT_SUCCESS(st)) sim::pnp::Remove(bus.Pdo());
            break;
        }
        sim::pnp::Remove(bus.Pdo());
    }
    sim::UnloadDriver(driver);
    sim::EndScenario();
    if (!error.empty()) state.SkipWithError(error.c_str());
}
BENCHMARK(StartSequence)->Name("start_sequence/kwdrv")->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
