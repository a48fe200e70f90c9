// The requests that crossed the hub's PDO, as kwsim shows them: with --trace after every step,
// and the last few before a start that failed.
#include "session.h"

#include "decode.h"

#include "kernel/model.h"
#include "usb/status.h"

#include <usbioctl.h>

namespace kwsim {
namespace {

// A start that fails shows this many requests before it ends.
constexpr size_t kRequestsBeforeFailure = 8;
// The trace is emptied once it holds this many entries and none is outstanding.
constexpr size_t kTraceBound = 1024;

std::string FirstWord(const std::string& name) { return name.substr(0, name.find(' ')); }

std::string MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_PNP: return "IRP_MJ_PNP";
        case IRP_MJ_POWER: return "IRP_MJ_POWER";
        case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
        default: return "IRP_MJ " + Hex(major, 2);
    }
}

std::string MinorName(UCHAR major, UCHAR minor) {
    static const std::pair<UCHAR, const char*> kPnp[] = {
        {IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE"},
        {IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE"},
        {IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE"},
        {IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE"},
        {IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE"},
        {IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE"},
        {IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE"},
        {IRP_MN_QUERY_CAPABILITIES, "IRP_MN_QUERY_CAPABILITIES"},
        {IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL"},
    };
    static const std::pair<UCHAR, const char*> kPower[] = {
        {IRP_MN_WAIT_WAKE, "IRP_MN_WAIT_WAKE"},
        {IRP_MN_SET_POWER, "IRP_MN_SET_POWER"},
        {IRP_MN_QUERY_POWER, "IRP_MN_QUERY_POWER"},
    };
    if (major == IRP_MJ_PNP) {
        for (auto [code, name] : kPnp) {
            if (code == minor) return name;
        }
    }
    if (major == IRP_MJ_POWER) {
        for (auto [code, name] : kPower) {
            if (code == minor) return name;
        }
    }
    return MajorName(major) + " minor " + Hex(minor, 2);
}

std::string IoctlName(ULONG code) {
    switch (code) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: return "IOCTL_INTERNAL_USB_SUBMIT_URB";
        case IOCTL_INTERNAL_USB_RESET_PORT: return "IOCTL_INTERNAL_USB_RESET_PORT";
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
        case IOCTL_INTERNAL_USB_CYCLE_PORT: return "IOCTL_INTERNAL_USB_CYCLE_PORT";
        default: return "IOCTL " + Hex(code, 8);
    }
}

// The fields of a URB that say what it asked for and what came back, by function. A pipe handle
// is shown as the endpoint of the driver's pipe that holds it.
void UrbFields(const sim::usb::TraceEntry& e, const DEVICE_EXTENSION* ext, nlohmann::ordered_json* j) {
    const URB& in = e.submitted;
    const URB& out = e.completed;
    auto endpointOf = [ext, j](USBD_PIPE_HANDLE h) {
        for (ULONG i = 0; ext != nullptr && ext->InterfaceInfo != nullptr && i < ext->InterfaceInfo->NumberOfPipes; ++i) {
            if (ext->InterfaceInfo->Pipes[i].PipeHandle == h) (*j)["endpoint"] = ext->InterfaceInfo->Pipes[i].EndpointAddress;
        }
    };
    switch (e.urbFunction) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
            (*j)["descriptorType"] = in.UrbControlDescriptorRequest.DescriptorType;
            (*j)["descriptorIndex"] = in.UrbControlDescriptorRequest.Index;
            (*j)["length"] = in.UrbControlDescriptorRequest.TransferBufferLength;
            (*j)["transferred"] = out.UrbControlDescriptorRequest.TransferBufferLength;
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
            (*j)["request"] = in.UrbControlVendorClassRequest.Request;
            (*j)["value"] = in.UrbControlVendorClassRequest.Value;
            (*j)["index"] = in.UrbControlVendorClassRequest.Index;
            (*j)["in"] = (in.UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            (*j)["length"] = in.UrbControlVendorClassRequest.TransferBufferLength;
            (*j)["transferred"] = out.UrbControlVendorClassRequest.TransferBufferLength;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            (*j)["configured"] = out.UrbSelectConfiguration.ConfigurationHandle != nullptr;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            endpointOf(in.UrbBulkOrInterruptTransfer.PipeHandle);
            (*j)["length"] = in.UrbBulkOrInterruptTransfer.TransferBufferLength;
            (*j)["transferred"] = out.UrbBulkOrInterruptTransfer.TransferBufferLength;
            break;
        case URB_FUNCTION_ISOCH_TRANSFER:
            endpointOf(in.UrbIsochronousTransfer.PipeHandle);
            (*j)["packets"] = in.UrbIsochronousTransfer.NumberOfPackets;
            (*j)["length"] = in.UrbIsochronousTransfer.TransferBufferLength;
            (*j)["transferred"] = out.UrbIsochronousTransfer.TransferBufferLength;
            (*j)["startFrame"] = out.UrbIsochronousTransfer.StartFrame;
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            endpointOf(in.UrbPipeRequest.PipeHandle);
            break;
        default:
            break;
    }
}

}  // namespace

Step Session::RequestStep(const sim::usb::TraceEntry& e) const {
    const DEVICE_EXTENSION* ext = fdo_ != nullptr && sim::DeviceExists(fdo_) ? Ext() : nullptr;
    Step s("request", e.status);
    nlohmann::ordered_json& j = s.fields;
    j["step"] = "request";  // the text form names the request in the action instead
    j["major"] = MajorName(e.major);
    std::string what = MajorName(e.major);
    if (e.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        j["ioctl"] = e.ioctl;
        what = IoctlName(e.ioctl);
    } else {
        j["minor"] = e.minor;
        what = MinorName(e.major, e.minor);
    }
    if (e.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && e.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        what = FirstWord(sim::usb::UrbFunctionName(e.urbFunction));
        j["urbFunction"] = e.urbFunction;
        j["urbFunctionName"] = what;
        UrbFields(e, ext, &j);
        j["usbdStatus"] = e.usbdStatus;
        j["usbdStatusName"] = FirstWord(sim::usb::UsbdStatusName(e.usbdStatus));
    }
    std::string fields;
    for (const auto& [k, v] : j.items()) {
        if (k == "step" || k == "major" || k == "ioctl" || k == "minor" || k == "urbFunction" || k == "urbFunctionName" ||
            k == "usbdStatus" || k == "usbdStatusName") {
            continue;
        }
        std::string value = k == "endpoint" || k == "descriptorType" || k == "request" ? Hex(v.get<unsigned>(), 2) : v.dump();
        fields += (fields.empty() ? "" : ", ") + k + " " + value;
    }
    s.action = "> " + what + (fields.empty() ? "" : " (" + fields + ")");
    if (j.contains("usbdStatus")) s.details.push_back({"USBD status", sim::usb::UsbdStatusName(e.usbdStatus)});
    s.failed = false;
    return s;
}

void Session::ShowTrace() {
    if (bus_ == nullptr) return;
    // Without --trace the step's own timing is left alone: no DPC runs early.
    if (trace_) sim::FlushDpcs();
    std::vector<sim::usb::TraceEntry> t = bus_->Trace();
    bool outstanding = false;
    for (size_t i = traceShown_; i < t.size(); ++i) {
        if (t[i].status == STATUS_PENDING && t[i].major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            outstanding = true;  // shown when it completes
            continue;
        }
        if (shownEarly_.count(i) != 0) continue;
        if (outstanding) shownEarly_.insert(i);
        if (trace_) out_.Print(RequestStep(t[i]));
    }
    // Move the cursor past everything before the first outstanding request.
    while (traceShown_ < t.size() && (t[traceShown_].status != STATUS_PENDING ||
                                       t[traceShown_].major != IRP_MJ_INTERNAL_DEVICE_CONTROL)) {
        shownEarly_.erase(traceShown_);
        ++traceShown_;
    }
    if (traceShown_ == t.size() && t.size() >= kTraceBound) {
        bus_->ClearTrace();
        traceShown_ = 0;
        shownEarly_.clear();
    }
}

void Session::ShowFailedStart(size_t first) {
    sim::FlushDpcs();
    std::vector<sim::usb::TraceEntry> t = bus_->Trace();
    size_t failed = t.size();
    for (size_t i = t.size(); i-- > first;) {
        const bool urb = t[i].major == IRP_MJ_INTERNAL_DEVICE_CONTROL && t[i].ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB;
        if (t[i].major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            (!NT_SUCCESS(t[i].status) || (urb && !USBD_SUCCESS(t[i].usbdStatus)))) {
            failed = i;
            break;
        }
    }
    if (failed == t.size()) {
        out_.Note("no request to the hub failed; the driver refused the start itself");
        return;
    }
    out_.Note("the last requests of the start; the last one failed");
    size_t from = failed + 1 > kRequestsBeforeFailure ? failed + 1 - kRequestsBeforeFailure : 0;
    if (from < first) from = first;
    for (size_t i = from; i <= failed; ++i) {
        Step s = RequestStep(t[i]);
        s.failed = i == failed;
        if (s.failed) s.fields["failedRequest"] = true;
        out_.Print(s);
    }
}

}  // namespace kwsim
