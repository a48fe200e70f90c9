// Isochronous writes through kwdrv against the number of packets in the URB: each iteration
// writes N packets of the pipe's 256 bytes on the isochronous OUT pipe of the source-and-sink
// firmware (sim/devices/iso_source_sink.json, alternate setting 1: the sink takes every packet),
// to start as soon as possible, then runs the frame clock until the transfer has completed. The
// driver builds one URB of N packet descriptors per request, so its share grows with N; the
// model's share is the frames and the packets moved. Every write must report all its bytes.
#include "rig.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace bench {
namespace {

constexpr ULONG kPacketBytes = 256;  // wMaxPacketSize of endpoint 0x03 in the description
constexpr ULONG kIsoOutPipe = 3;     // \KWDrv3: endpoint 0x03 of alternate setting 1

void IsochronousWrite(benchmark::State& state) {
    const auto packets = static_cast<ULONG>(state.range(0));
    const ULONG bytes = packets * kPacketBytes;
    Rig rig(DriverKind::Kwdrv, sim::usb::Device::FromFile(KWBENCH_DEVICES "/iso_source_sink.json"));
    if (!rig.ok()) return state.SkipWithError(rig.error().c_str());
    sim::app::Process& app = rig.app();
    sim::app::OpenResult iso = app.Open(rig.PipePath(kIsoOutPipe), {true});
    if (!NT_SUCCESS(iso.status)) return state.SkipWithError(("kwdrv: open " + sim::StatusName(iso.status)).c_str());
    std::vector<unsigned char> pattern(bytes);
    for (ULONG i = 0; i < bytes; ++i) pattern[i] = static_cast<unsigned char>(i * 11 + 1);
    PVOID buffer = app.Alloc(bytes);
    app.Store(buffer, pattern.data(), bytes);
    sim::app::Overlapped ov;
    std::string error;
    for (auto _ : state) {
        sim::app::IoResult issued = app.Write(iso.handle, buffer, bytes, 0, &ov);
        // Submitted in frame f, the transfer starts in f + 1 and moves one packet a frame.
        rig.bus().AdvanceFrames(packets + 1);
        sim::app::IoResult r = sim::app::AwaitResult(issued, ov);
        if (!NT_SUCCESS(r.status) || r.iosb.Information != bytes) {
            error = "write of " + std::to_string(packets) + " packets: " + sim::StatusName(r.status) + ", " +
                    std::to_string(r.iosb.Information) + " bytes";
            break;
        }
        rig.bus().ClearTrace();
    }
    app.Close(iso.handle);
    if (!error.empty()) return state.SkipWithError(("kwdrv: " + error).c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["packets"] = packets;
}

BENCHMARK(IsochronousWrite)
    ->Name("isoch_write/kwdrv")
    ->ArgName("packets")
    ->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Arg(255)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Apply(FixedIterations);

}  // namespace
}  // namespace bench
