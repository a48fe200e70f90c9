// The model behind the Win32 layer: one application process, the driver loaded, one device
// plugged in and started, and the model's clock, which moves only while the program waits.
#include "host.h"

#include "app/app.h"
#include "kernel/model.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>

namespace win32host {
namespace {

struct Model {
    std::unique_ptr<sim::app::Process> process;
    std::unique_ptr<sim::usb::BusDevice> bus;
    // Each pending request's OVERLAPPED, kept until its ending has been seen; it must outlive
    // the request, so the process goes first at the end.
    std::map<uint64_t, std::unique_ptr<sim::app::Overlapped>> tickets;
    uint64_t nextTicket = 1;
    uint64_t elapsedMs = 0;
    uint64_t unplugAtMs = 0;  // 0: never
    bool unplugged = false;
};

Model* g_model = nullptr;

Model& M() {
    if (g_model == nullptr) {
        std::cerr << "win32 layer: used without a model (RunWithModel)\n";
        std::abort();
    }
    return *g_model;
}

Result Ended(const sim::app::IoResult& r) {
    Result out;
    out.status = r.status;
    out.information = r.iosb.Information;
    return out;
}

void Unplug(Model& m) {
    m.unplugged = true;
    m.bus->Unplug();
    sim::pnp::SurpriseRemoval(m.bus->Pdo());
}

}  // namespace

int32_t Open(const std::u16string& path, bool overlapped, uint32_t* handle) {
    sim::app::OpenOptions options;
    options.overlapped = overlapped;
    M().process->Flush();
    sim::app::OpenResult r = M().process->Open(path, options);
    *handle = r.handle;
    return r.status;
}

int32_t Close(uint32_t handle) {
    NTSTATUS st = M().process->Close(handle);
    M().process->Flush();
    return st;
}

Result Start(Kind kind, uint32_t handle, uint32_t code, uintptr_t input, uint32_t inputLength, uintptr_t output,
             uint32_t outputLength, int64_t offset, bool overlapped, uint64_t* ticket) {
    Model& m = M();
    auto ov = overlapped ? std::make_unique<sim::app::Overlapped>() : nullptr;
    PVOID in = reinterpret_cast<PVOID>(input);
    PVOID out = reinterpret_cast<PVOID>(output);
    sim::app::IoResult r;
    if (kind == Kind::Read) r = m.process->Read(handle, out, outputLength, offset, ov.get());
    else if (kind == Kind::Write) r = m.process->Write(handle, out, outputLength, offset, ov.get());
    else r = m.process->DeviceIoControl(handle, code, in, inputLength, out, outputLength, ov.get());
    Result result = Ended(r);
    if (r.status == STATUS_PENDING) {
        result.pending = true;
        *ticket = m.nextTicket++;
        m.tickets[*ticket] = std::move(ov);
    }
    return result;
}

bool Poll(uint64_t ticket, Result* r) {
    auto it = M().tickets.find(ticket);
    if (it == M().tickets.end() || !it->second->Signalled()) return false;
    r->status = it->second->Internal();
    r->information = it->second->InternalHigh();
    r->pending = false;
    M().tickets.erase(it);
    return true;
}

void Wait(uint64_t ticket) {
    auto it = M().tickets.find(ticket);
    if (it != M().tickets.end()) it->second->Wait("a request the program waits for without a limit");
}

int32_t Cancel(uint32_t handle) { return M().process->CancelIo(handle); }

uintptr_t Allocate(size_t bytes, void** host) {
    PVOID user = M().process->Alloc(bytes);
    uintptr_t address = reinterpret_cast<uintptr_t>(user);
    *host = M().process->Memory().Translate(address, bytes, sim::app::AddressSpace::Access::Write);
    return address;
}

void Free(uintptr_t address) { M().process->Free(reinterpret_cast<PVOID>(address)); }

std::vector<std::u16string> Interfaces() {
    std::vector<std::u16string> paths;
    if (M().bus == nullptr) return paths;
    for (const std::u16string& link : sim::InterfacesOf(M().bus->Pdo())) {
        if (sim::QueryInterfaceState(link) == sim::InterfaceState::Enabled) paths.push_back(sim::app::UserPath(link));
    }
    return paths;
}

void Tick() {
    Model& m = M();
    sim::FlushDpcs();
    if (m.bus != nullptr) m.bus->AdvanceFrames(1);
    sim::FlushDpcs();
    ++m.elapsedMs;
    if (m.bus != nullptr && !m.unplugged && m.unplugAtMs != 0 && m.elapsedMs >= m.unplugAtMs) Unplug(m);
}

namespace {

// The device the run plugs in; nullptr for none. Exits 2 when the description cannot be used.
std::shared_ptr<sim::usb::Device> DeviceFromEnvironment(bool* none) {
    const char* file = std::getenv("KWTOOL_DEVICE");
    *none = file != nullptr && std::string(file) == "none";
    if (file == nullptr || *file == '\0') return sim::usb::Device::Default();
    if (*none) return nullptr;
    try {
        return sim::usb::Device::FromFile(file);
    } catch (const std::exception& e) {
        std::cerr << "kwtool: KWTOOL_DEVICE: " << e.what() << "\n";
        std::exit(2);
    }
}

bool PlugAndStart(Model& m, PDRIVER_OBJECT driver, std::shared_ptr<sim::usb::Device> device) {
    m.bus = std::make_unique<sim::usb::BusDevice>("USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1", std::move(device));
    NTSTATUS st = sim::pnp::AddDevice(driver, m.bus->Pdo());
    if (!NT_SUCCESS(st)) {
        std::cerr << "kwtool: the model's AddDevice failed: " << sim::StatusName(st) << "\n";
        return false;
    }
    sim::pnp::StartResult r = sim::pnp::Start(m.bus->Pdo());
    if (!NT_SUCCESS(r.start.status)) {
        std::cerr << "kwtool: the model's start failed: " << sim::StatusName(r.start.status) << "\n";
        return false;
    }
    return true;
}

// Removes the device as Windows would once the program's handles are closed.
void Remove(Model& m) {
    PDEVICE_OBJECT pdo = m.bus->Pdo();
    if (sim::pnp::TopOfStack(pdo) == pdo) return;  // the failed start removed it already
    if (m.unplugged) sim::pnp::Remove(pdo);
    else sim::pnp::OrderlyRemove(pdo);
}

}  // namespace

int RunWithModel(int argc, char** argv, int (*program)(int, char**)) {
    bool none = false;
    std::shared_ptr<sim::usb::Device> device = DeviceFromEnvironment(&none);
    Model model;
    if (const char* after = std::getenv("KWTOOL_UNPLUG_AFTER_MS")) model.unplugAtMs = std::strtoull(after, nullptr, 10);
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv", &st);
    if (driver == nullptr) {
        std::cerr << "kwtool: the model's DriverEntry failed: " << sim::StatusName(st) << "\n";
        return 1;
    }
    model.process = std::make_unique<sim::app::Process>("kwtool.exe");
    g_model = &model;
    int rc = 1;
    if (none || PlugAndStart(model, driver, device)) rc = program(argc, argv);
    // Process exit closes what the program left open; then the device goes and the driver with it.
    model.process.reset();
    model.tickets.clear();
    if (model.bus != nullptr) Remove(model);
    model.bus.reset();
    g_model = nullptr;
    sim::UnloadDriver(driver);
    sim::EndScenario();
    return rc;
}

}  // namespace win32host
