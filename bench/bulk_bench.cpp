// Bulk round trips through kwdrv and through the pass-through driver on the same model: each
// iteration writes `depth` requests of `size` bytes, all in flight at once, waits for them,
// then reads them back the same way and checks that each moved every byte. After the timed loop
// the last buffer read is compared with what was written.
#include "rig.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace bench {
namespace {

using sim::app::IoResult;
using sim::app::Overlapped;

// Issues one read (on the IN pipe) or write (on the OUT pipe) per buffer, all before waiting for
// any; true when each moved `size` bytes, otherwise `error` names the first that did not.
bool InFlight(Rig& rig, bool read, const std::vector<PVOID>& buffers, ULONG size, std::vector<Overlapped>& ov,
              std::string* error) {
    std::vector<IoResult> issued(buffers.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
        issued[i] = read ? rig.app().Read(rig.in(), buffers[i], size, 0, &ov[i])
                         : rig.app().Write(rig.out(), buffers[i], size, 0, &ov[i]);
    }
    bool ok = true;
    for (size_t i = 0; i < buffers.size(); ++i) {
        IoResult r = sim::app::AwaitResult(issued[i], ov[i]);
        if (ok && (!NT_SUCCESS(r.status) || r.iosb.Information != size)) {
            *error = std::string(read ? "read " : "write ") + std::to_string(i + 1) + " of " +
                     std::to_string(buffers.size()) + " in flight: " + sim::StatusName(r.status) + ", " +
                     std::to_string(r.iosb.Information) + " bytes";
            ok = false;
        }
    }
    return ok;
}

void BulkRoundTrip(benchmark::State& state, DriverKind kind) {
    const auto size = static_cast<ULONG>(state.range(0));
    const auto depth = static_cast<size_t>(state.range(1));
    Rig rig(kind, LoopbackDevice());
    if (!rig.ok()) return state.SkipWithError(rig.error().c_str());
    std::vector<PVOID> out(depth), in(depth);
    std::vector<unsigned char> pattern(size);
    for (ULONG i = 0; i < size; ++i) pattern[i] = static_cast<unsigned char>(i * 7 + 3);
    for (size_t i = 0; i < depth; ++i) {
        out[i] = rig.app().Alloc(size);
        in[i] = rig.app().Alloc(size);
        rig.app().Store(out[i], pattern.data(), size);
    }
    std::vector<Overlapped> ov(depth);
    std::string error;
    const sim::VerifierSummary before = sim::Summary();
    for (auto _ : state) {
        if (!InFlight(rig, false, out, size, ov, &error) || !InFlight(rig, true, in, size, ov, &error)) break;
        rig.bus().ClearTrace();
    }
    const sim::VerifierSummary after = sim::Summary();
    if (error.empty() && rig.app().Load(in[depth - 1], size) != pattern) error = "data read back differs";
    if (!error.empty()) return state.SkipWithError((std::string(DriverKindName(kind)) + ": " + error).c_str());
    const auto requests = static_cast<double>(state.iterations() * depth * 2);
    state.counters["pool_allocs/req"] = static_cast<double>(after.poolAllocations - before.poolAllocations) / requests;
    state.counters["pool_frees/req"] = static_cast<double>(after.poolFrees - before.poolFrees) / requests;
    state.SetItemsProcessed(static_cast<int64_t>(requests));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * depth * 2 * size));
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : {64, 4096, 65536}) {
        for (int64_t depth : {1, 4, 16}) b->Args({size, depth});
    }
    b->ArgNames({"bytes", "inflight"})->UseRealTime()->Unit(benchmark::kMicrosecond);
    FixedIterations(b);
}

const bool kRegistered = [] {
    for (DriverKind kind : {DriverKind::Kwdrv, DriverKind::PassThrough}) {
        std::string name = std::string("bulk_round_trip/") + DriverKindName(kind);
        benchmark::RegisterBenchmark(name.c_str(), BulkRoundTrip, kind)->Apply(Sizes);
    }
    return true;
}();

}  // namespace
}  // namespace bench
