#include "rig.h"

#include "passthrough.h"

#include "kwdrv.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace bench {
namespace {

const char* const kInstanceId = "USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1";
const char16_t* const kRegistry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\bench";

const char* const kLoopbackJson = R"({
  "name": "benchmark loopback: bulk OUT 0x01 to bulk IN 0x81, 2 MiB FIFO",
  "device": "12 01 00 02 ff 00 00 40 09 12 02 00 00 01 00 00 00 01",
  "configuration": [
    "09 02 20 00 01 01 00 80 32",
    "09 04 00 00 02 ff 00 00 00",
    "07 05 01 02 40 00 00",
    "07 05 81 02 40 00 00"
  ],
  "endpoints": {
    "0x01": { "behaviour": "loopback", "to": "0x81", "fifoLimit": 2097152 },
    "0x81": { "behaviour": "loopback", "fifoLimit": 2097152 }
  }
})";

}  // namespace

void FixedIterations(benchmark::internal::Benchmark* b) {
    if (const char* n = std::getenv("KWBENCH_ITERATIONS")) b->Iterations(std::strtoll(n, nullptr, 10));
}

const char* DriverKindName(DriverKind kind) { return kind == DriverKind::Kwdrv ? "kwdrv" : "passthrough"; }

std::shared_ptr<sim::usb::Device> LoopbackDevice() { return sim::usb::Device::FromJson(kLoopbackJson, "bench loopback"); }

void Rig::Fail(const std::string& what, NTSTATUS status) {
    if (error_.empty()) error_ = std::string(DriverKindName(kind_)) + ": " + what + " " + sim::StatusName(status);
}

Rig::Rig(DriverKind kind, std::shared_ptr<sim::usb::Device> device) : kind_(kind) {
    sim::ResetWorld();
    Bring(std::move(device));
}

void Rig::Bring(std::shared_ptr<sim::usb::Device> device) {
    DriverKind kind = kind_;
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    driver_ = sim::LoadDriver(DriverKindName(kind), kind == DriverKind::Kwdrv ? DriverEntry : PassThroughDriverEntry,
                              kRegistry, &st);
    if (driver_ == nullptr) return Fail("DriverEntry", st);
    std::vector<unsigned char> set = device->Description().configuration;
    bus_ = std::make_unique<sim::usb::BusDevice>(kInstanceId, std::move(device));
    st = sim::pnp::AddDevice(driver_, bus_->Pdo());
    if (!NT_SUCCESS(st)) return Fail("AddDevice", st);
    fdo_ = sim::pnp::TopOfStack(bus_->Pdo());
    sim::pnp::StartResult start = sim::pnp::Start(bus_->Pdo());
    if (!NT_SUCCESS(start.start.status)) return Fail("start", start.start.status);
    std::u16string link;
    if (kind == DriverKind::Kwdrv) {
        link = static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension)->InterfaceLinkName;
    } else {
        link = PassThroughLink(fdo_);
        st = SelectPassThroughConfiguration(fdo_, bus_->Pdo(), set);
        if (!NT_SUCCESS(st)) return Fail("select configuration", st);
    }
    link_ = sim::app::UserPath(link);
    app_ = std::make_unique<sim::app::Process>("bench.exe");
    sim::app::OpenResult o = app_->Open(PipePath(0), {true});
    sim::app::OpenResult i = app_->Open(PipePath(1), {true});
    if (!NT_SUCCESS(o.status) || !NT_SUCCESS(i.status)) return Fail("open", NT_SUCCESS(o.status) ? i.status : o.status);
    out_ = o.handle;
    in_ = i.handle;
}

std::u16string Rig::PipePath(unsigned index) const {
    std::string n = std::to_string(index);
    return link_ + u"\\KWDrv" + std::u16string(n.begin(), n.end());
}

Rig::~Rig() {
    app_.reset();  // process exit: every handle closed
    if (fdo_ != nullptr && sim::DeviceExists(fdo_)) sim::pnp::Remove(bus_->Pdo());
    bus_.reset();
    if (driver_ != nullptr) sim::UnloadDriver(driver_);
    sim::EndScenario();
}

}  // namespace bench
