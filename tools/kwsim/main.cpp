// kwsim: loads the driver into the host model, plugs in the simulated device and shows what the
// driver does with it. Exits non-zero when a step fails; a verifier finding stops the process
// with a bug-check report (and a non-zero exit) where it happens.
#include "decode.h"
#include "report.h"

#include "kernel/model.h"
#include "usb/bus.h"

#include "kwdrv.h"

#include <cstring>
#include <iostream>
#include <memory>

namespace kwsim {
namespace {

std::string Flags(ULONG f) {
    static const std::pair<ULONG, const char*> kNames[] = {
        {DO_BUFFERED_IO, "DO_BUFFERED_IO"},     {DO_EXCLUSIVE, "DO_EXCLUSIVE"},
        {DO_DIRECT_IO, "DO_DIRECT_IO"},         {DO_DEVICE_HAS_NAME, "DO_DEVICE_HAS_NAME"},
        {DO_DEVICE_INITIALIZING, "DO_DEVICE_INITIALIZING"}, {DO_POWER_PAGABLE, "DO_POWER_PAGABLE"},
        {DO_POWER_INRUSH, "DO_POWER_INRUSH"},
    };
    std::string s;
    for (auto [bit, name] : kNames) {
        if (f & bit) s += (s.empty() ? "" : "|") + std::string(name);
    }
    return s.empty() ? "0" : s;
}

std::string DState(DEVICE_POWER_STATE d) {
    return d == PowerDeviceUnspecified ? "unspecified" : "D" + std::to_string(static_cast<int>(d) - 1);
}

std::string SState(SYSTEM_POWER_STATE s) {
    return s == PowerSystemUnspecified ? "unspecified" : "S" + std::to_string(static_cast<int>(s) - 1);
}

std::string PowerMap(const DEVICE_CAPABILITIES& c) {
    std::string s;
    for (int i = PowerSystemWorking; i <= PowerSystemShutdown; ++i) {
        s += (s.empty() ? "" : " ") + SState(static_cast<SYSTEM_POWER_STATE>(i)) + "->" + DState(c.DeviceState[i]);
    }
    return s;
}

struct Options {
    bool json = false;
    std::string deviceFile;  // empty: the built-in test firmware
};

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            o->json = true;
        } else if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            o->deviceFile = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << "usage: kwsim [--device FILE] [--json]\n"
                         "  Loads kwdrv into the host model, plugs in a simulated device (the built-in test\n"
                         "  firmware, or the JSON description in FILE), shows what AddDevice and the start did\n"
                         "  (descriptors, the selected setting, the named pipes), removes the device, unloads the\n"
                         "  driver and prints the verifier's summary. --json prints one JSON object per step.\n";
            return false;
        } else {
            std::cerr << "kwsim: unknown argument " << argv[i] << " (try --help)\n";
            return false;
        }
    }
    return true;
}

// IRP_MN_START_DEVICE through the PnP manager, then what the start found and chose.
void ShowStart(Reporter& out, sim::usb::BusDevice* bus, PDEVICE_OBJECT fdo) {
    out.Note("starting the device");
    sim::pnp::StartResult r = sim::pnp::Start(bus->Pdo());
    Step start("IRP_MN_START_DEVICE", r.start.status, r.start.information);
    start.failed = !NT_SUCCESS(r.start.status);
    if (r.removed) start.details = {{"PnP manager", "removed the device after the failed start"}};
    out.Print(start);
    if (r.removed) return;

    auto ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    Step devDesc("device descriptor");
    devDesc.details = DecodeDeviceDescriptor(*ext->DeviceDescriptor);
    out.Print(devDesc);

    Step config("configuration descriptor set");
    PUSB_CONFIGURATION_DESCRIPTOR set = FetchConfigurationDescriptor(fdo);
    if (set != nullptr) {
        config.details = DecodeConfigurationSet(reinterpret_cast<const UCHAR*>(set), set->wTotalLength);
        KwFreePool(set);
    } else {
        config.details = {{"!", "the set could not be read again"}};
        config.failed = true;
    }
    out.Print(config);

    Step chosen("selected setting");
    const USBD_INTERFACE_INFORMATION* info = ext->InterfaceInfo;
    chosen.details = {{"interface", std::to_string(info->InterfaceNumber) + " alternate setting " +
                                        std::to_string(info->AlternateSetting) + ", " +
                                        std::to_string(info->NumberOfPipes) + " pipe(s)"},
                      {"why", info->AlternateSetting == 1
                                  ? "interface 0 offers alternate setting 1, which the driver prefers"
                                  : "interface 0 has no alternate setting 1: the default selection"}};
    out.Print(chosen);

    Step pipes("pipe table");
    pipes.details = DecodePipeTable(*ext);
    out.Print(pipes);
}

int Tour(const Options& opt) {
    Reporter out(opt.json);
    std::shared_ptr<sim::usb::Device> device = sim::usb::Device::Default();
    if (!opt.deviceFile.empty()) {
        try {
            device = sim::usb::Device::FromFile(opt.deviceFile);
        } catch (const std::exception& e) {
            std::cerr << "kwsim: " << e.what() << "\n";
            return 2;
        }
    }
    out.Note("loading the driver");
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver =
        sim::LoadDriver("kwdrv", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kwdrv", &st);
    Step load("DriverEntry", st);
    load.failed = driver == nullptr;
    out.Print(load);
    if (driver == nullptr) return 1;

    out.Note("plugging in the device");
    auto bus = std::make_unique<sim::usb::BusDevice>("USB\\VID_1209&PID_0001\\5&2f1a0c3&0&1", device);
    Step plug("plug in");
    plug.details = {{"instance", bus->InstanceId()}, {"PDO", sim::DeviceName(bus->Pdo())}};
    out.Print(plug);

    st = sim::pnp::AddDevice(driver, bus->Pdo());
    Step add("AddDevice", st);
    add.failed = !NT_SUCCESS(st);
    PDEVICE_OBJECT fdo = sim::pnp::TopOfStack(bus->Pdo());
    if (NT_SUCCESS(st)) {
        auto ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        std::u16string link = ext->InterfaceLinkName;
        bool enabled = sim::QueryInterfaceState(link) == sim::InterfaceState::Enabled;
        add.details = {
            {"device object", sim::DeviceName(fdo)},
            {"attached to", sim::DeviceName(ext->LowerDeviceObject)},
            {"stack size", std::to_string(fdo->StackSize)},
            {"flags", Flags(fdo->Flags)},
            {"interface", sim::Narrow(link) + (enabled ? " (enabled)" : " (NOT enabled)")},
            {"capabilities", "DeviceWake " + DState(ext->DeviceCapabilities.DeviceWake) + ", SystemWake " +
                                 SState(ext->DeviceCapabilities.SystemWake) + ", removable " +
                                 std::to_string(ext->DeviceCapabilities.Removable)},
            {"power map", PowerMap(ext->DeviceCapabilities)},
            {"OutstandingIo", std::to_string(ext->OutstandingIo)},
            {"AcceptingRequests", ext->AcceptingRequests ? "TRUE" : "FALSE"},
        };
        add.failed = !enabled || ext->OutstandingIo != 1 || (fdo->Flags & DO_DEVICE_INITIALIZING);
    }
    out.Print(add);
    if (NT_SUCCESS(st)) ShowStart(out, bus.get(), fdo);

    if (NT_SUCCESS(st) && sim::DeviceExists(fdo)) {
        out.Note("removing the device");
        std::u16string link = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension)->InterfaceLinkName;
        sim::RequestResult r = sim::pnp::Remove(bus->Pdo());
        Step remove("IRP_MN_REMOVE_DEVICE", r.status, r.information);
        bool disabled = sim::QueryInterfaceState(link) == sim::InterfaceState::Disabled;
        remove.details = {{"device object", sim::DeviceExists(fdo) ? "still present" : "deleted"},
                          {"interface", disabled ? "disabled" : "STILL ENABLED"}};
        remove.failed = !NT_SUCCESS(r.status) || !disabled;
        out.Print(remove);
    }
    bus.reset();

    out.Note("unloading the driver");
    sim::UnloadDriver(driver);
    Step unload("DriverUnload");
    unload.details = {{"pool left", std::to_string(sim::LivePoolCount()) + " blocks"}};
    out.Print(unload);

    sim::VerifierSummary summary = sim::Summary();
    sim::EndScenario();
    Step verdict("verifier");
    verdict.details = {{"summary", sim::FormatSummary(summary)}};
    out.Print(verdict);
    if (!opt.json) {
        std::cout << "\n" << (out.Failures() == 0 ? "kwsim: all steps as expected" : "kwsim: some steps FAILED")
                  << "\n";
    }
    return out.Failures() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kwsim

int main(int argc, char** argv) {
    kwsim::Options opt;
    if (!kwsim::ParseArgs(argc, argv, &opt)) return 2;
    return kwsim::Tour(opt);
}
