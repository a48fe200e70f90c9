// kwsim --pcap: the URBs that cross the hub's PDO written as a capture file in link type 249,
// the USB pseudo-header Wireshark's USB dissectors read for captures taken on Windows.
#pragma once

#include "usb/bus.h"

#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kwsim {

// Each URB gives a record as it is submitted (FDO -> PDO) and one as it completes (PDO -> FDO),
// paired by a request ID numbered from 1 in submission order. Control transfers have a setup
// record (and a data record for OUT data) and a completion record; isochronous records carry the
// start frame and every packet's offset, length and status. OUT data is in the submission
// record, IN data in the completion record. Timestamps are the bus's 1 ms frame clock, moved on
// by a microsecond per record within a frame, so a run gives the same file every time.
class Capture {
public:
    // A capture written to `path`; nullptr with *error saying why when it cannot be created.
    static std::unique_ptr<Capture> Create(const std::string& path, std::string* error);
    ~Capture();  // writes what is still held back (requests that never completed) and closes
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Records every URB that crosses bus's PDO until Detach, which must come before the bus goes.
    void Attach(sim::usb::BusDevice* bus);
    void Detach();

    // What a URB is on the wire: the fields of its records that do not change.
    struct Held {
        uint64_t id = 0;
        uint64_t time = 0;  // microseconds
        URB urb{};          // its fixed part as submitted
        UCHAR endpoint = 0;
        UCHAR transfer = 0;
        size_t slot = 0;  // its submission records' place in the file
    };

private:
    explicit Capture(std::ofstream file);
    void OnUrb(PIRP irp, const URB& urb, bool completed);
    void Classify(Held* h) const;
    uint64_t Tick();  // mutex_ held
    void Flush();     // mutex_ held

    std::mutex mutex_;  // guards everything below; the bus's lock may be taken inside it
    std::ofstream file_;
    sim::usb::BusDevice* bus_ = nullptr;
    uint64_t lastId_ = 0;
    uint64_t time_ = 0;
    std::map<PIRP, Held> held_;  // submitted, not completed yet
    // The records in file order: a submission's are written once it completes (its OUT data is
    // read then, after the stack has checked the buffer), so later ones wait behind it.
    std::deque<std::optional<std::vector<UCHAR>>> queue_;
    size_t written_ = 0;  // slots already written
};

}  // namespace kwsim
