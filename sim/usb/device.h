// A USB 2.0 full-speed or high-speed device as the host sees it on the wire: descriptors, a default control
// pipe that answers standard and vendor requests, endpoints with a behaviour each (packet by
// packet, with halt state and data toggles), a 1 ms frame clock and the port's state.
//
// A device is described by a DeviceDescription, built in code or loaded from a JSON file
// (format in sim/README.md); Device::Default() is the project's test firmware. Every method is
// safe to call from any thread.
#pragma once

#include "usb/descriptors.h"

#include <wdm.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::usb {

// A device description that cannot be used; what() names the file, the JSON path and the rule.
class DeviceFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Behaviour {
    Idle,       // IN: never has data (NAK); OUT: NAKs every packet
    Source,     // IN: produces data from a repeating pattern
    Sink,       // OUT: accepts and counts data
    Loopback,   // OUT: data goes to the paired IN endpoint's FIFO; IN: delivers that FIFO
    Interrupt,  // IN: delivers queued reports (queued by the test or every N frames)
};
const char* BehaviourName(Behaviour b);

struct EndpointDescription {
    Behaviour behaviour = Behaviour::Idle;
    // Source: the bytes sent, repeated across packets (empty: a running byte counter 00 01 …).
    // Interrupt: the report produced every `everyFrames` frames.
    Bytes pattern;
    // Source: bytes per packet when below the packet size (each packet is then short);
    // 0 sends full packets.
    ULONG packetBytes = 0;
    // Loopback OUT endpoint: the IN endpoint it feeds (0: the same number, IN direction).
    UCHAR peer = 0;
    // Loopback: bytes the device buffers; OUT packets are NAKed while the FIFO is full.
    ULONG fifoLimit = 4096;
    // Interrupt: a report every this many frames (0: only reports queued by QueueReport).
    ULONG everyFrames = 0;
    // Interrupt: reports queued when the device is configured.
    std::vector<Bytes> reports;
    // The endpoint is halted whenever its alternate setting is selected (a firmware that stalls
    // it until the host clears the halt).
    bool halted = false;
};

enum class VendorIn { Stall, Constant, Echo };
enum class VendorOut { Stall, Accept, Store };

// A vendor request (bmRequestType type bits = vendor) with this bRequest code.
struct VendorBehaviour {
    VendorIn in = VendorIn::Stall;  // device-to-host
    Bytes data;                     // Constant: the bytes returned (cut to wLength)
    VendorOut out = VendorOut::Stall;  // host-to-device
    Bytes initial;                  // Echo: what is returned before any Store
    ULONG maxLength = 4096;         // longest host-to-device data stage accepted; longer stalls
};

// Which descriptor a quirk applies to, and for how many reads of it.
struct DescriptorQuirk {
    UCHAR type = 0;
    UCHAR index = 0;
    ULONG bytes = 0;  // short reads: at most this many bytes are returned
    ULONG times = 0;  // the first `times` reads of the descriptor (0: every read)
};

struct Quirks {
    // The n-th read of the configuration descriptor reports wTotalLength = entry n and returns at
    // most that many bytes of the set; the last entry repeats.
    std::vector<USHORT> totalLengthSequence;
    // The n-th read of the configuration descriptor returns blob n instead of the configuration;
    // the last entry repeats. SET_CONFIGURATION and the endpoints still follow the configuration.
    std::vector<Bytes> configurationSequence;
    std::vector<DescriptorQuirk> shortDescriptors;
    std::vector<DescriptorQuirk> stallDescriptors;
    bool stallSetConfiguration = false;
    bool stallSetInterface = false;
    bool stallClearFeature = false;
    // Load a configuration set that breaks the well-formedness rules (CheckWellFormed); the
    // device then serves it byte for byte and knows only the endpoints the walk found.
    bool malformedConfiguration = false;
};

struct DeviceDescription {
    std::string name;
    Bytes device;         // the 18-byte device descriptor
    Bytes configuration;  // the whole configuration descriptor set
    // String descriptors by index, as the device sends them (bLength, 3, UTF-16LE text).
    std::map<UCHAR, Bytes> strings;
    // LANGIDs of string descriptor 0; when empty and strings exist, 0x0409.
    std::vector<USHORT> languages;
    std::map<UCHAR, EndpointDescription> endpoints;  // by endpoint address
    std::map<UCHAR, VendorBehaviour> vendor;         // by bRequest
    Quirks quirks;
    // The device runs at high speed (480 Mb/s, 125 us microframes) on a high-speed port; else at
    // full speed. Its descriptors must follow the packet-size rules of its speed.
    bool highSpeed = false;
    bool connected = true;
    bool enabled = true;
};

// A string descriptor for this text (UTF-8 in, UTF-16LE out). Throws DeviceFormatError when the
// text does not fit the 255-byte descriptor.
Bytes StringDescriptor(const std::string& utf8);

struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;
    bool In() const { return (bmRequestType & 0x80) != 0; }
};

struct ControlResult {
    bool stall = false;
    Bytes data;  // device-to-host: what the device sent (at most wLength bytes)
};

// One control transfer as the device saw it.
struct ControlRecord {
    SetupPacket setup;
    Bytes out;  // host-to-device data stage
    bool stalled = false;
    size_t inLength = 0;  // device-to-host bytes sent
};

enum class Handshake {
    Ack,         // data moved (for isochronous endpoints: the packet was sent/taken)
    Nak,         // the device has no data / no room now
    Stall,       // the endpoint is halted
    NoResponse,  // no such endpoint in the current configuration (the host sees a time-out)
};
const char* HandshakeName(Handshake h);

struct InPacket {
    Handshake handshake = Handshake::Nak;
    Bytes data;      // with Ack; may be shorter than asked (a short packet) or empty
    int toggle = 0;  // DATA0/DATA1 of the packet (bulk and interrupt)
};

struct OutResult {
    Handshake handshake = Handshake::Nak;
    bool accepted = false;  // false with Ack when the toggle showed a repeated packet
};

class Device {
public:
    // Validates the description (DeviceFormatError naming the rule when it cannot be used).
    explicit Device(DeviceDescription desc);

    // The project's test firmware (descriptors and behaviour in sim/README.md).
    static std::shared_ptr<Device> Default();
    // The JSON text of the test firmware, also shipped as sim/devices/default.json.
    static const char* DefaultJson();
    // Loads a description; `source` names it in error messages.
    static std::shared_ptr<Device> FromJson(const std::string& text, const std::string& source = "<json>");
    static std::shared_ptr<Device> FromFile(const std::string& path);
    static DeviceDescription ParseJson(const std::string& text, const std::string& source = "<json>");

    // The description as loaded (port state as described; PortStatus() has the current one).
    const DeviceDescription& Description() const { return desc_; }
    // The walk of the device's own configuration set.
    const ConfigLayout& Layout() const { return layout_; }

    // Default control pipe: one control transfer. `out` is the host-to-device data stage
    // (wLength bytes); device-to-host data comes back in the result.
    ControlResult Control(const SetupPacket& setup, const Bytes& out = {});

    // One IN token on an endpoint, asking for at most `maxBytes` (the pipe's packet size).
    InPacket In(UCHAR endpoint, ULONG maxBytes);
    // One OUT data packet carrying `toggle` (ignored on isochronous endpoints).
    OutResult Out(UCHAR endpoint, const Bytes& data, int toggle);

    // The 1 ms frame clock: periodic interrupt reports become due as it advances.
    void AdvanceFrames(ULONG frames);
    ULONG Frame() const;
    // Queues a report on an interrupt endpoint (delivered by the next IN tokens).
    void QueueReport(UCHAR endpoint, Bytes report);

    // State as the device holds it.
    UCHAR Configuration() const;  // 0: unconfigured
    std::optional<UCHAR> AlternateSetting(UCHAR interfaceNumber) const;
    bool EndpointActive(UCHAR endpoint) const;  // in the current configuration and settings
    bool Halted(UCHAR endpoint) const;
    int Toggle(UCHAR endpoint) const;
    // The firmware halts an endpoint (as SET_FEATURE(ENDPOINT_HALT) would).
    void Halt(UCHAR endpoint);
    // Bytes a sink endpoint took in.
    size_t SinkBytes(UCHAR endpoint) const;
    // Bytes waiting in a loopback IN endpoint's FIFO.
    size_t FifoBytes(UCHAR endpoint) const;
    // Data a vendor request with Store kept.
    Bytes Stored(UCHAR request) const;

    // USBD_PORT_CONNECTED | USBD_PORT_ENABLED as the hub would report them.
    ULONG PortStatus() const;
    void SetPort(bool connected, bool enabled);

    // A bus reset: the firmware returns to its power-on state (unconfigured; halts, toggles,
    // FIFOs and queued reports go with the configuration). Descriptors and stored vendor data stay.
    void Reset();

    // Called, outside the device's lock, after every change that can let a waiting transfer move
    // on or end: reports queued or due (QueueReport, AdvanceFrames), Halt, SetPort. The bus that
    // the device is plugged into sets it; nullptr clears it.
    void SetChangeHook(std::function<void()> hook);

    // Every control transfer the device saw, oldest first.
    std::vector<ControlRecord> ControlLog() const;
    void ClearControlLog();
    // How often a descriptor was requested.
    ULONG DescriptorReads(UCHAR type, UCHAR index) const;

private:
    struct EndpointState {
        bool halted = false;
        int toggle = 0;
        std::deque<UCHAR> fifo;  // loopback IN endpoints: taken from the front a packet at a time
        size_t position = 0;  // source pattern position
        size_t sunk = 0;
        std::deque<Bytes> reports;
        ULONG lastReportFrame = 0;
    };

    ControlResult Standard(const SetupPacket& s, const Bytes& out);
    ControlResult Vendor(const SetupPacket& s, const Bytes& out);
    ControlResult GetDescriptor(const SetupPacket& s);
    ControlResult SetConfiguration(UCHAR value);
    ControlResult SetInterface(UCHAR number, UCHAR alternate);
    ControlResult Feature(const SetupPacket& s, bool set);
    ControlResult GetStatus(const SetupPacket& s);
    void Activate(const InterfaceInfo& setting);
    const EndpointInfo* Active(UCHAR endpoint) const;  // the endpoint in the current settings
    bool QuirkApplies(const std::vector<DescriptorQuirk>& list, UCHAR type, UCHAR index, ULONG read,
                      const DescriptorQuirk** which) const;

    DeviceDescription desc_;
    ConfigLayout layout_;
    mutable std::mutex m_;
    UCHAR configuration_ = 0;
    std::map<UCHAR, UCHAR> alternates_;  // interface number -> current alternate setting
    std::map<UCHAR, EndpointState> endpoints_;
    std::map<UCHAR, Bytes> stored_;
    std::map<std::pair<UCHAR, UCHAR>, ULONG> reads_;
    std::vector<ControlRecord> log_;
    ULONG frame_ = 0;
    bool remoteWakeup_ = false;
    bool connected_;
    bool enabled_;
    std::function<void()> hook_;

    void Notify();  // runs the change hook; the caller must not hold m_
};

}  // namespace sim::usb
