// Driver and device objects, stacks, device interfaces and counted strings.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace detail {

DeviceTrack* FindDevice(PDEVICE_OBJECT d) {
    auto it = W().devices.find(d);
    return it == W().devices.end() ? nullptr : &it->second;
}

void RequireLiveDevice(PDEVICE_OBJECT d, const char* api) {
    bool live, deleted;
    {
        std::lock_guard<std::mutex> g(TableLock());
        live = W().devices.count(d) != 0;
        deleted = W().deletedDevices.count(d) != 0;
    }
    if (live) return;
    BugCheck(kBugDriverVerifierViolation, deleted ? "DeviceUsedAfterDelete" : "NotADevice",
             std::string(api) + " on " + Hex(reinterpret_cast<uintptr_t>(d)) +
                 (deleted ? ", a device object that was deleted" : ", which is not a device object"));
}

namespace {
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT NewDriverObject(const std::string& name, bool model) {
    size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto drv = static_cast<PDRIVER_OBJECT>(std::calloc(1, bytes));
    drv->Type = IO_TYPE_DRIVER;
    drv->Size = sizeof(DRIVER_OBJECT);
    drv->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(drv + 1);
    drv->DriverExtension->DriverObject = drv;
    for (auto& f : drv->MajorFunction) f = InvalidDeviceRequest;
    std::lock_guard<std::mutex> g(TableLock());
    W().drivers[drv] = DriverTrack{name, model};
    return drv;
}

void ForgetDriver(PDRIVER_OBJECT drv) {
    {
        std::lock_guard<std::mutex> g(TableLock());
        if (W().drivers.erase(drv) == 0) return;  // already gone with a reset world
    }
    std::free(drv);
}

std::u16string Lower(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
}

std::u16string GuidText(const GUID& g) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return Widen(buf);
}

void CheckNoLeakFor(PDEVICE_OBJECT dev, PDRIVER_OBJECT drv, const char* when) {
    std::string leaks;
    {
        std::lock_guard<std::mutex> g(TableLock());
        for (auto& [p, b] : W().pool) {
            if ((dev != nullptr && b.device == dev) || (dev == nullptr && b.driver == drv)) {
                leaks += "    block " + Hex(reinterpret_cast<uintptr_t>(p)) + " of " + std::to_string(b.size) +
                         " bytes (allocation #" + std::to_string(b.seq) + ", call site " +
                         Hex(reinterpret_cast<uintptr_t>(b.site)) + ")\n";
            }
        }
    }
    if (!leaks.empty()) {
        BugCheck(kBugDriverVerifierViolation, "PoolLeak", std::string("pool still allocated ") + when + ":\n" + leaks);
    }
}
}  // namespace
}  // namespace detail

using namespace detail;

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& s) {
    std::u16string out;
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

std::u16string ToU16(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, const char16_t* registryPath,
                          NTSTATUS* status) {
    PDRIVER_OBJECT drv = NewDriverObject(name, false);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, registryPath);
    Frame f;
    f.kind = Frame::Kind::DriverEntry;
    f.driver = drv;
    NTSTATUS st;
    {
        FrameScope scope(&f);
        st = entry(drv, &path);
    }
    if (status != nullptr) *status = st;
    if (!NT_SUCCESS(st)) {
        CheckNoLeakFor(nullptr, drv, "after a failed DriverEntry");
        ForgetDriver(drv);
        return nullptr;
    }
    return drv;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    FlushDpcs();
    WaitForDeferredDeletions(driver);
    std::string left;
    {
        std::lock_guard<std::mutex> g(TableLock());
        for (auto& [d, t] : W().devices) {
            if (t.driver == driver) left += " " + t.name;
        }
    }
    if (!left.empty()) {
        BugCheck(kBugDriverUnloadedWithPending, "UnloadWithDevices",
                 "driver unloaded while its device objects still exist:" + left);
    }
    if (driver->DriverUnload != nullptr) {
        Frame f;
        f.kind = Frame::Kind::Unload;
        f.driver = driver;
        FrameScope scope(&f);
        driver->DriverUnload(driver);
    }
    CheckNoLeakFor(nullptr, driver, "when the driver was unloaded");
    ForgetDriver(driver);
}

PDRIVER_OBJECT CreateModelDriver(const char* name) { return NewDriverObject(name, true); }

void DeleteModelDriver(PDRIVER_OBJECT driver) { ForgetDriver(driver); }

PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT busDriver, const std::string& instanceId, ULONG extensionSize) {
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS st = IoCreateDevice(busDriver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                 FALSE, &pdo);
    if (!NT_SUCCESS(st)) BugCheck(kBugPnpDetected, "ModelPdo", "the model could not create a PDO");
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_POWER_PAGABLE;
    std::lock_guard<std::mutex> g(TableLock());
    DeviceTrack& t = W().devices[pdo];
    t.isPdo = true;
    t.instanceId = instanceId;
    return pdo;
}

void DeletePdo(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard<std::mutex> g(TableLock());
        for (auto it = W().interfaces.begin(); it != W().interfaces.end();) {
            it = it->second.pdo == pdo ? W().interfaces.erase(it) : std::next(it);
        }
    }
    IoDeleteDevice(pdo);
}

std::string DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(TableLock());
    DeviceTrack* t = FindDevice(device);
    return t != nullptr ? t->name : Hex(reinterpret_cast<uintptr_t>(device));
}

std::string DriverName(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> g(TableLock());
    auto it = W().drivers.find(driver);
    return it != W().drivers.end() ? it->second.name : Hex(reinterpret_cast<uintptr_t>(driver));
}

bool DeviceExists(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(TableLock());
    return W().devices.count(device) != 0;
}

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(TableLock());
    DeviceTrack* t = FindDevice(device);
    return t != nullptr ? t->lower : nullptr;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    std::vector<PDEVICE_OBJECT> out;
    std::lock_guard<std::mutex> g(TableLock());
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) out.push_back(d);
    return out;
}

InterfaceState QueryInterfaceState(const std::u16string& linkName) {
    std::lock_guard<std::mutex> g(TableLock());
    auto it = W().interfaces.find(Lower(linkName));
    if (it == W().interfaces.end()) return InterfaceState::Unknown;
    return it->second.enabled ? InterfaceState::Enabled : InterfaceState::Disabled;
}

std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo) {
    std::vector<std::u16string> out;
    std::lock_guard<std::mutex> g(TableLock());
    for (auto& [k, e] : W().interfaces) {
        if (e.pdo == pdo) out.push_back(e.link);
    }
    return out;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    RequireIrql("IoCreateDevice");
    *DeviceObject = nullptr;
    if (faults::ShouldFail(FaultKind::CreateDevice, __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    size_t ext = (static_cast<size_t>(DeviceExtensionSize) + 7) & ~size_t{7};
    auto dev = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + ext));
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<PVOID>(dev + 1) : nullptr;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    dev->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) dev->Flags |= DO_EXCLUSIVE;
    bool named = DeviceName != nullptr || (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME);
    if (named) dev->Flags |= DO_DEVICE_HAS_NAME;
    dev->StackSize = 1;
    std::lock_guard<std::mutex> g(TableLock());
    DeviceTrack t;
    t.driver = DriverObject;
    char buf[32];
    std::snprintf(buf, sizeof buf, "\\Device\\%08x", W().nextDeviceNumber++);
    t.name = DeviceName != nullptr ? Narrow(ToU16(DeviceName)) : (named ? std::string(buf) : "(unnamed)");
    auto drv = W().drivers.find(DriverObject);
    t.name += " (" + (drv != W().drivers.end() ? drv->second.name : std::string("?")) + ")";
    W().devices[dev] = t;
    W().deletedDevices.erase(dev);
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrql("IoDeleteDevice");
    RequireLiveDevice(DeviceObject, "IoDeleteDevice");
    std::string problem;
    {
        std::lock_guard<std::mutex> g(TableLock());
        DeviceTrack* t = FindDevice(DeviceObject);
        if (t->lower != nullptr) problem = "it is still attached to " + FindDevice(t->lower)->name;
        if (DeviceObject->AttachedDevice != nullptr) problem = "a device is still attached above it";
        for (auto& [irp, it] : W().irps) {
            if (it->state != IrpTrack::State::InFlight && it->state != IrpTrack::State::Completing) continue;
            // A referenced device object is only marked for deletion; a request completing
            // through it (an unload-safe completion routine holds the reference) may still
            // name it in its stack.
            if (__atomic_load_n(&DeviceObject->ReferenceCount, __ATOMIC_SEQ_CST) != 0) break;
            for (int i = irp->CurrentLocation; i >= 1 && i <= irp->StackCount; ++i) {
                if (Location(irp, i)->DeviceObject == DeviceObject) problem = "a request is still at it: " + DescribeIrp(irp);
            }
        }
    }
    if (!problem.empty()) {
        BugCheck(kBugPnpDetected, "DeleteDeviceInUse", "IoDeleteDevice of " + DeviceName(DeviceObject) + ": " + problem);
    }
    CheckNoLeakFor(DeviceObject, nullptr, ("when " + DeviceName(DeviceObject) + " was deleted").c_str());
    {
        std::lock_guard<std::mutex> g(TableLock());
        PDRIVER_OBJECT drv = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* p = &drv->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
            if (*p == DeviceObject) {
                *p = DeviceObject->NextDevice;
                break;
            }
        }
        W().devices.erase(DeviceObject);
        W().deletedDevices.insert(DeviceObject);
        if (DeferDeletionWhileReferenced(DeviceObject)) return;
    }
    std::memset(DeviceObject, 0xDD, sizeof(DEVICE_OBJECT));
    std::free(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireIrql("IoAttachDeviceToDeviceStack");
    RequireLiveDevice(SourceDevice, "IoAttachDeviceToDeviceStack");
    RequireLiveDevice(TargetDevice, "IoAttachDeviceToDeviceStack");
    if (faults::ShouldFail(FaultKind::AttachDevice, __builtin_return_address(0))) return nullptr;
    std::lock_guard<std::mutex> g(TableLock());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    FindDevice(SourceDevice)->lower = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrql("IoDetachDevice");
    RequireLiveDevice(TargetDevice, "IoDetachDevice");
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        BugCheck(kBugPnpDetected, "DetachNothing", "IoDetachDevice on a device with nothing attached above it");
    }
    std::lock_guard<std::mutex> g(TableLock());
    TargetDevice->AttachedDevice = nullptr;
    if (DeviceTrack* t = FindDevice(above)) t->lower = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    RequireLiveDevice(DeviceObject, "IoGetAttachedDeviceReference");
    std::lock_guard<std::mutex> g(TableLock());
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->ReferenceCount++;
    return top;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    RequireIrql("IoRegisterDeviceInterface");
    RequireLiveDevice(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    const void* site = __builtin_return_address(0);
    std::u16string link;
    {
        std::lock_guard<std::mutex> g(TableLock());
        DeviceTrack* t = FindDevice(PhysicalDeviceObject);
        if (!t->isPdo) return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string ref = ToU16(ReferenceString);
        if (ref.find(u'\\') != std::u16string::npos || ref.find(u'/') != std::u16string::npos) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::u16string inst = Widen(t->instanceId);
        std::replace(inst.begin(), inst.end(), u'\\', u'#');
        link = u"\\??\\" + inst + u"#" + GuidText(*InterfaceClassGuid);
        if (!ref.empty()) link += u"\\" + ref;
    }
    if (faults::ShouldFail(FaultKind::RegisterInterface, site)) return STATUS_INSUFFICIENT_RESOURCES;
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto buf = static_cast<PWSTR>(AllocateTracked(PagedPool, bytes, 0x69446F49 /* "IoDi" */, site, FaultKind::Pool));
    if (buf == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buf, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buf;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    std::lock_guard<std::mutex> g(TableLock());
    auto& e = W().interfaces[Lower(link)];
    e.pdo = PhysicalDeviceObject;
    e.link = link;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    RequireIrql("IoSetDeviceInterfaceState");
    if (faults::ShouldFail(FaultKind::SetInterfaceState, __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> g(TableLock());
    auto it = W().interfaces.find(Lower(ToU16(SymbolicLinkName)));
    if (it == W().interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && it->second.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!Enable && !it->second.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    it->second.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (SourceString[n] != 0) ++n;
    if (n * sizeof(WCHAR) > 0xFFFC) n = 0xFFFC / sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(n * sizeof(WCHAR) + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string a = ToU16(String1), b = ToU16(String2);
    if (CaseInSensitive) {
        a = Lower(a);
        b = Lower(b);
    }
    return a == b ? TRUE : FALSE;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const UCHAR*>(Source1);
    auto b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

}  // extern "C"
