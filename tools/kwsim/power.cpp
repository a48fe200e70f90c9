// kwsim's power commands: the system's sleep and resume sequences, device power requests from the
// policy owner's side, and wait-wake. Each step shows the power state the driver recorded, the
// state it reported to the power manager, the port's state and the requests the bus saw.
#include "session.h"

#include "kernel/power.h"

#include <iostream>

namespace kwsim {
namespace {

// "S3" or "D2" for a state number of the given kind (1 is S0 / D0).
std::string PowerName(char kind, ULONG state) {
    return state == 0 ? "unspecified" : std::string(1, kind) + std::to_string(state - 1);
}

// Parses "S1".."S4" or "D0".."D3" into the platform's numbering; 0 when the word is neither.
ULONG ParseState(const std::string& word, char kind, ULONG first, ULONG last) {
    if (word.size() != 2 || word[0] != kind || word[1] < '0' || word[1] > '9') return 0;
    ULONG state = static_cast<ULONG>(word[1] - '0') + 1;
    return state >= first && state <= last ? state : 0;
}

}  // namespace

bool Session::IsPowerVerb(const std::string& verb) {
    return verb == "sleep" || verb == "wake" || verb == "power" || verb == "waitwake" || verb == "remotewake";
}

bool Session::RunPower(const Command& c) {
    const std::vector<std::string>& w = c.words;
    if (w[0] == "sleep" && w.size() == 2 && ParseState(w[1], 'S', PowerSystemSleeping1, PowerSystemHibernate)) {
        return Sleep(w[1]);
    }
    if (w[0] == "power" && w.size() == 2 && ParseState(w[1], 'D', PowerDeviceD0, PowerDeviceD3)) {
        return DevicePower(w[1]);
    }
    if (w.size() == 1 && w[0] == "wake") return Wake();
    if (w.size() == 1 && w[0] == "waitwake") return ArmWaitWake();
    if (w.size() == 1 && w[0] == "remotewake") return RemoteWake();
    return Usage(c, "usage: sleep S1|S2|S3|S4, wake, power D0|D1|D2|D3, waitwake, remotewake");
}

void Session::PrintPower(Step s, size_t traceFrom) {
    sim::power::Settle();
    sim::FlushDpcs();
    std::string seen;
    std::vector<sim::usb::TraceEntry> trace = bus_->Trace();
    for (size_t i = traceFrom; i < trace.size(); ++i) {
        const sim::usb::TraceEntry& e = trace[i];
        if (e.major != IRP_MJ_POWER) continue;
        std::string what = e.minor == IRP_MN_WAIT_WAKE    ? "WAIT_WAKE"
                           : e.minor == IRP_MN_QUERY_POWER ? "QUERY " + PowerName('S', e.powerState)
                           : "SET " + PowerName(e.powerType == DevicePowerState ? 'D' : 'S', e.powerState);
        seen += (seen.empty() ? "" : ", ") + what + " " + sim::StatusName(e.status).substr(0, sim::StatusName(e.status).find(' '));
    }
    const DEVICE_POWER_STATE recorded = Ext()->DevicePowerState;
    const DEVICE_POWER_STATE port = bus_->PowerState();
    s.details.push_back({"bus saw", seen.empty() ? "no power request" : seen});
    s.details.push_back({"system", PowerName('S', sim::power::SystemState())});
    s.details.push_back({"device power state", PowerName('D', recorded) + " (driver), " +
                                                   PowerName('D', sim::power::ReportedDeviceState(fdo_)) +
                                                   " (reported), port " + PowerName('D', port)});
    if (recorded != port) s.failed = true;
    out_.Print(s);
}

bool Session::Sleep(const std::string& state) {
    out_.Note("system sleep " + state);
    size_t from = bus_->Trace().size();
    auto target = static_cast<SYSTEM_POWER_STATE>(ParseState(state, 'S', PowerSystemSleeping1, PowerSystemHibernate));
    sim::power::SleepResult r = sim::power::Sleep(bus_->Pdo(), target);
    out_.Print(Step("IRP_MN_QUERY_POWER " + state, r.query.status));
    if (r.vetoed) {
        PrintPower(Step("IRP_MN_SET_POWER S0 (query vetoed)", r.cancel.status), from);
        return true;
    }
    Step set("IRP_MN_SET_POWER " + state, r.set.status);
    set.failed = !NT_SUCCESS(r.set.status);
    PrintPower(set, from);
    return true;
}

bool Session::Wake() {
    out_.Note("system resume");
    size_t from = bus_->Trace().size();
    sim::RequestResult r = sim::power::Wake(bus_->Pdo());
    Step set("IRP_MN_SET_POWER S0", r.status);
    set.failed = !NT_SUCCESS(r.status);
    PrintPower(set, from);
    return true;
}

bool Session::DevicePower(const std::string& state) {
    size_t from = bus_->Trace().size();
    auto target = static_cast<DEVICE_POWER_STATE>(ParseState(state, 'D', PowerDeviceD0, PowerDeviceD3));
    sim::RequestResult r = sim::power::RequestDevicePower(bus_->Pdo(), target);
    PrintPower(Step("IRP_MN_SET_POWER " + state + " (PoRequestPowerIrp)", r.status), from);
    return true;
}

bool Session::ArmWaitWake() {
    if (waitWake_ && !waitWake_->Done()) {
        std::cerr << "kwsim: a wait-wake request is already armed\n";
        return false;
    }
    size_t from = bus_->Trace().size();
    waitWake_ = sim::power::ArmWaitWake(bus_->Pdo());
    if (!waitWake_) {
        out_.Print(Step("IRP_MN_WAIT_WAKE", STATUS_INSUFFICIENT_RESOURCES));
        return true;
    }
    sim::FlushDpcs();
    NTSTATUS status = waitWake_->Done() ? waitWake_->Wait() : STATUS_PENDING;
    Step s("IRP_MN_WAIT_WAKE", status);
    s.details.push_back({"armed at the port", bus_->WaitWakeArmed() ? "yes" : "no"});
    PrintPower(s, from);
    return true;
}

bool Session::RemoteWake() {
    size_t from = bus_->Trace().size();
    bool armed = bus_->RemoteWake();
    Step s("remote wake");
    if (armed && waitWake_) {
        s = Step("remote wake: IRP_MN_WAIT_WAKE", waitWake_->Wait());
        s.failed = !NT_SUCCESS(s.status);
    } else {
        s.details.push_back({"wait-wake", "none armed: the signal is lost"});
    }
    PrintPower(s, from);
    return true;
}

void Session::FinishPower() {
    if (!waitWake_ || waitWake_->Done()) return;
    (void)waitWake_->Cancel();
    out_.Print(Step("IRP_MN_WAIT_WAKE cancelled", waitWake_->Wait()));
}

}  // namespace kwsim
