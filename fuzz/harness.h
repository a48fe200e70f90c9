// What the fuzzers share: the model set up for fuzzing, and kwdrv started on a device.
//
// A fuzz target returns normally for every input the driver and the model handle soundly. A
// bug check (the verifier, the watchdog of a wait that never ends, a leak at the end of the
// scenario) aborts the process, and AddressSanitizer or UndefinedBehaviorSanitizer stop it at
// a memory or arithmetic fault: libFuzzer reports each as a finding with its input.
#pragma once

#include "kernel/model.h"
#include "usb/bus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// LLVMFuzzerInitialize, once per process for every target (harness.cpp): a short watchdog, so a
// wait that never ends is a bug check (a finding) well before libFuzzer's own time-out, and
// stdout (kwsim's step reports) discarded.

namespace fuzz {


// Loads kwdrv, plugs `device` in, sends AddDevice and IRP_MN_START_DEVICE, then `whileStarted`
// (when the start succeeded) and removal, unloads the driver and ends the scenario (whose
// checks bug-check on anything left behind). Control transfers complete in `controlMode`:
// Inline spares a thread switch per request, which is most of a run's time on a busy machine.
void StartAndRemove(std::shared_ptr<sim::usb::Device> device, sim::usb::AnswerMode controlMode,
                    const std::function<void(sim::usb::BusDevice&, PDEVICE_OBJECT fdo)>& whileStarted = {});

// The test firmware's description, parsed once.
const sim::usb::DeviceDescription& TestFirmware();

// Reads fuzz input front to back; past the end every read returns zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Long() { return static_cast<uint32_t>(Word() | (static_cast<uint32_t>(Word()) << 16)); }
    // The next n bytes (fewer at the end).
    std::vector<uint8_t> Take(size_t n);
    std::vector<uint8_t> Rest() { return Take(size_ - pos_); }
    bool Empty() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace fuzz
