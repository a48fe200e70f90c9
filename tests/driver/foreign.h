// What other drivers do to kwdrv's device: requests built by another kernel component (a file
// object of its own, an MDL over its own memory, or neither) and a lower filter between kwdrv and
// the hub's PDO that sees, holds or answers what kwdrv sends down.
#pragma once

#include "kernel/model.h"
#include "sim/test_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace drivertest {

// A file object another driver holds on the device, bound to a pipe entry (or to none).
struct ForeignFile {
    FILE_OBJECT fo{};
    std::u16string name;
    explicit ForeignFile(std::u16string n = u"", PVOID context = nullptr) : name(std::move(n)) {
        fo.FsContext = context;
        fo.FileName.Buffer = name.data();
        fo.FileName.Length = fo.FileName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(char16_t));
    }
};

// An MDL another driver built over `length` bytes of its own nonpaged memory (any length, 0 too:
// the caller supplies the MDL's storage and initialises it itself).
struct ForeignMdl {
    std::vector<UCHAR> data;
    std::vector<ULONG_PTR> storage;
    explicit ForeignMdl(ULONG length, UCHAR fill = 0xA5) : data(length + 1, fill), storage(16) {
        MmInitializeMdl(mdl(), data.data(), length);
        MmBuildMdlForNonPagedPool(mdl());
    }
    PMDL mdl() { return reinterpret_cast<PMDL>(storage.data()); }
};

// One request of another driver to the top of a stack: sent now, its completion awaited later.
class ForeignRequest {
public:
    ForeignRequest(PDEVICE_OBJECT top, UCHAR major, PFILE_OBJECT file = nullptr, PMDL mdl = nullptr,
                   UCHAR minor = 0, NTSTATUS preset = STATUS_SUCCESS)
        : top_(top), major_(major), minor_(minor), file_(file), mdl_(mdl), preset_(preset) {}
    // Sends it on the calling thread and returns what the dispatch routine returned.
    NTSTATUS Send() {
        auto state = state_;
        PIRP irp = sim::AllocateManagedIrp(top_->StackSize, sim::IrpOrigin::User, [state](PIRP done) {
            done->MdlAddress = nullptr;  // the MDL is the sender's, not the I/O manager's
            state->result.status = done->IoStatus.Status;
            state->result.information = done->IoStatus.Information;
            state->done.Signal();
        });
        irp->IoStatus.Status = preset_;
        irp->MdlAddress = mdl_;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major_;
        next->MinorFunction = minor_;
        next->FileObject = file_;
        if (mdl_ != nullptr) next->Parameters.Read.Length = MmGetMdlByteCount(mdl_);
        state->result.dispatchReturned = IoCallDriver(top_, irp);
        return state->result.dispatchReturned;
    }
    sim::RequestResult Wait() {
        state_->done.Wait("a request of another driver");
        return state_->result;
    }
    bool Done() const { return state_->done.IsSignalled(); }
    sim::RequestResult SendAndWait() {
        Send();
        return Wait();
    }

private:
    struct State {
        sim::Completion done;
        sim::RequestResult result;
    };
    PDEVICE_OBJECT top_;
    UCHAR major_, minor_;
    PFILE_OBJECT file_;
    PMDL mdl_;
    NTSTATUS preset_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A lower filter attached to the hub's PDO before kwdrv's AddDevice, so kwdrv sends everything
// through it. `handler` (pass-down by default) sees each request first.
class LowerFilter {
public:
    explicit LowerFilter(PDEVICE_OBJECT pdo) : pdo_(pdo), layer_("lowerfilter") {
        EXPECT_EQ(pdo, IoAttachDeviceToDeviceStack(layer_.device(), pdo));
        layer_.device()->Flags &= ~DO_DEVICE_INITIALIZING;
        layer_.handler = [this](PDEVICE_OBJECT d, PIRP irp) { return handler(d, irp); };
        handler = PassDown();
    }
    simtest::Handler PassDown() const { return simtest::PassDown(pdo_); }
    // Both functions are compared: every non-PnP request the driver sends has minor function 0,
    // which is also IRP_MN_START_DEVICE.
    static bool Is(PIRP irp, UCHAR major, UCHAR minor) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        return s->MajorFunction == major && s->MinorFunction == minor;
    }
    static bool IsMajor(PIRP irp, UCHAR major) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == major; }
    // A bulk or interrupt transfer URB.
    static bool IsTransfer(PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        return s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
               s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
               static_cast<PURB>(s->Parameters.Others.Argument1)->UrbHeader.Function ==
                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    }
    simtest::Handler handler;

private:
    PDEVICE_OBJECT pdo_;
    simtest::Layer layer_;
};

}  // namespace drivertest
