// Device-control round trips through kwdrv on the test firmware: a vendor request that stores a
// block on the device (IOCTL_KW_VENDOR_OUT_0C, the record and the bytes after it as the data
// stage) and one that reads it back (IOCTL_KW_VENDOR_IN_0C), each a DeviceIoControl down to the
// default pipe and back; and, for the I/O manager's share, IOCTL_KW_NO_OPERATION, which the
// driver completes without sending anything. Every iteration checks the status, the bytes
// reported and the block read back.
#include "rig.h"

#include "kwdrv_ioctl.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace bench {
namespace {

using sim::app::IoResult;

// The request bytes: the record (TransferLength = all of them) followed by a pattern.
std::vector<unsigned char> StoreRequest(ULONG bytes) {
    std::vector<unsigned char> in(bytes);
    for (ULONG i = 0; i < bytes; ++i) in[i] = static_cast<unsigned char>(i * 13 + 5);
    VENDOR_REQUEST r{0x1234, 0, bytes, 0, 0};
    std::memcpy(in.data(), &r, VENDOR_REQUEST_MINIMUM_LENGTH);
    return in;
}

void VendorRoundTrip(benchmark::State& state) {
    const auto bytes = static_cast<ULONG>(state.range(0));
    Rig rig(DriverKind::Kwdrv, sim::usb::Device::Default());
    if (!rig.ok()) return state.SkipWithError(rig.error().c_str());
    sim::app::Process& app = rig.app();
    const std::vector<unsigned char> block = StoreRequest(bytes);
    PVOID store = app.Alloc(bytes);
    app.Store(store, block.data(), bytes);
    std::vector<unsigned char> query(VENDOR_REQUEST_MINIMUM_LENGTH);
    VENDOR_REQUEST q{0x1234, 0, bytes, 0, 0};
    std::memcpy(query.data(), &q, query.size());
    PVOID load = app.Alloc(query.size());
    app.Store(load, query.data(), query.size());
    PVOID out = app.Alloc(bytes);
    std::string error;
    for (auto _ : state) {
        IoResult w = app.DeviceIoControl(rig.out(), IOCTL_KW_VENDOR_OUT_0C, store, bytes, nullptr, 0);
        IoResult r = app.DeviceIoControl(rig.out(), IOCTL_KW_VENDOR_IN_0C, load, static_cast<ULONG>(query.size()),
                                         out, bytes);
        if (!NT_SUCCESS(w.status) || !NT_SUCCESS(r.status) || r.iosb.Information != bytes) {
            error = "vendor 0C out " + sim::StatusName(w.status) + ", in " + sim::StatusName(r.status) + ", " +
                    std::to_string(r.iosb.Information) + " bytes back";
            break;
        }
    }
    if (error.empty() && app.Load(out, bytes) != block) error = "block read back differs";
    if (!error.empty()) return state.SkipWithError(("kwdrv: " + error).c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2));
}

void NoOperation(benchmark::State& state) {
    Rig rig(DriverKind::Kwdrv, sim::usb::Device::Default());
    if (!rig.ok()) return state.SkipWithError(rig.error().c_str());
    for (auto _ : state) {
        IoResult r = rig.app().DeviceIoControl(rig.out(), IOCTL_KW_NO_OPERATION, nullptr, 0, nullptr, 0);
        if (r.status != STATUS_SUCCESS) return state.SkipWithError(("kwdrv: no-op " + sim::StatusName(r.status)).c_str());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Fixed(benchmark::internal::Benchmark* b) { FixedIterations(b->UseRealTime()->Unit(benchmark::kMicrosecond)); }

// 14 bytes: the record alone; 64: the most the firmware stores.
BENCHMARK(VendorRoundTrip)->Name("vendor_round_trip/kwdrv")->ArgName("bytes")->Arg(14)->Arg(64)->Apply(Fixed);
BENCHMARK(NoOperation)->Name("ioctl_no_operation/kwdrv")->Apply(Fixed);

}  // namespace
}  // namespace bench
