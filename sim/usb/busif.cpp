// The USBDI bus interface the hub's PDO hands a function driver for IRP_MN_QUERY_INTERFACE
// (USB_BUS_INTERFACE_USBDI_GUID, versions 0 and 1, as Windows XP's hub answers them). The
// interface's BusContext is the BusDevice; each reference the interface hands out is counted
// until the driver dereferences it.
#include <initguid.h>

#include "kernel/internal.h"
#include "usb/bus.h"
#include "usb/urb_checks.h"

#include <usbbusif.h>

#include <atomic>

namespace sim::usb {

namespace {

BusDevice* Context(PVOID busContext) { return static_cast<BusDevice*>(busContext); }

VOID NTAPI Reference(PVOID busContext) { Context(busContext)->AddInterfaceReference(1); }
VOID NTAPI Dereference(PVOID busContext) { Context(busContext)->AddInterfaceReference(-1); }

VOID NTAPI GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG hcdCapabilities) {
    if (version != nullptr) {
        version->USBDI_Version = 0x500;  // Windows XP's USBDI
        version->Supported_USB_Version = 0x200;
    }
    if (hcdCapabilities != nullptr) *hcdCapabilities = 0;
}

NTSTATUS NTAPI QueryBusTime(PVOID busContext, PULONG frame) {
    if (frame != nullptr) *frame = Context(busContext)->FrameNumber();
    return STATUS_SUCCESS;
}

// Documented as not supported from Windows XP on.
NTSTATUS NTAPI SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS NTAPI QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
    BugCheck(kBugUsbModelGap, "UsbModelGap",
             "the bus interface's QueryBusInformation is not modelled yet (sim/README.md, \"Not modelled yet\")");
}

BOOLEAN NTAPI IsDeviceHighSpeed(PVOID busContext) { return Context(busContext)->HighSpeed() ? TRUE : FALSE; }

}  // namespace

void BusDevice::AddInterfaceReference(int delta) {
    if (interfaceReferences_.fetch_add(delta) + delta < 0) {
        BugCheck(kBugDriverVerifierViolation, "BusInterfaceOverRelease",
                 "InterfaceDereference on a bus interface with no reference left");
    }
}

NTSTATUS BusDevice::AnswerQueryInterface(PIO_STACK_LOCATION s, NTSTATUS unchanged) {
    auto& q = s->Parameters.QueryInterface;
    if (q.InterfaceType == nullptr || !IsEqualGUID(*q.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
        return unchanged;  // another interface: not this bus driver's, the request's status stays
    }
    if (q.Interface == nullptr || q.Version > USB_BUSIF_USBDI_VERSION_1) return STATUS_NOT_SUPPORTED;
    const size_t needed =
        q.Version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0) : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (q.Size < needed) return STATUS_INVALID_PARAMETER;
    stack::CheckDriverRange(q.Interface, needed, "the interface record of IRP_MN_QUERY_INTERFACE");
    auto* bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
    bus->Size = static_cast<USHORT>(needed);
    bus->Version = q.Version;
    bus->BusContext = this;
    bus->InterfaceReference = Reference;
    bus->InterfaceDereference = Dereference;
    bus->GetUSBDIVersion = GetUsbdiVersion;
    bus->QueryBusTime = QueryBusTime;
    bus->SubmitIsoOutUrb = SubmitIsoOutUrb;
    bus->QueryBusInformation = QueryBusInformation;
    if (q.Version == USB_BUSIF_USBDI_VERSION_1) bus->IsDeviceHighSpeed = IsDeviceHighSpeed;
    AddInterfaceReference(1);  // the interface goes out referenced, as every bus driver hands it out
    return STATUS_SUCCESS;
}

}  // namespace sim::usb
