// Small device stacks of test drivers whose dispatch and completion routines are lambdas, for
// checking the model against what Windows does.
#pragma once

#include "kernel/model.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace simtest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// One layer: a driver object with one device object whose every dispatch entry calls `handler`.
class Layer {
public:
    explicit Layer(const char* name, bool pdo = false, const std::string& instanceId = "ROOT\\TEST\\0000") {
        driver_ = sim::CreateModelDriver(name);
        for (auto& f : driver_->MajorFunction) f = &Layer::Dispatch;
        if (pdo) {
            device_ = sim::CreatePdo(driver_, instanceId, sizeof(Layer*));
        } else {
            EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                     FALSE, &device_));
        }
        *static_cast<Layer**>(device_->DeviceExtension) = this;
    }
    ~Layer() {
        if (sim::DeviceExists(device_)) {
            if (sim::LowerDeviceOf(device_) != nullptr) IoDetachDevice(sim::LowerDeviceOf(device_));
            IoDeleteDevice(device_);
        }
        sim::DeleteModelDriver(driver_);
    }
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    Handler handler;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT d, PIRP irp) {
        Layer* self = *static_cast<Layer**>(d->DeviceExtension);
        return self->handler(d, irp);
    }
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

// A stack of layers, [0] at the bottom; each upper layer is attached to the one below.
class Stack {
public:
    explicit Stack(int depth) {
        for (int i = 0; i < depth; ++i) {
            layers_.push_back(std::make_unique<Layer>(("layer" + std::to_string(i)).c_str(), i == 0));
            if (i > 0) {
                PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(layers_[i]->device(), layers_[i - 1]->device());
                EXPECT_EQ(layers_[i - 1]->device(), lower);
                layers_[i]->device()->Flags &= ~DO_DEVICE_INITIALIZING;
            }
        }
    }
    ~Stack() {
        while (!layers_.empty()) layers_.pop_back();  // top first: detach before the lower one goes
    }
    Layer& operator[](size_t i) { return *layers_[i]; }
    PDEVICE_OBJECT top() { return layers_.back()->device(); }
    PDEVICE_OBJECT bottom() { return layers_.front()->device(); }

private:
    std::vector<std::unique_ptr<Layer>> layers_;
};

// A completion routine that runs a lambda; the Routine object must outlive the completion.
struct Routine {
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> fn;
    static NTSTATUS NTAPI Call(PDEVICE_OBJECT d, PIRP irp, PVOID context) {
        return static_cast<Routine*>(context)->fn(d, irp);
    }
    void SetOn(PIRP irp, bool onSuccess = true, bool onError = true, bool onCancel = true) {
        IoSetCompletionRoutine(irp, &Routine::Call, this, onSuccess, onError, onCancel);
    }
};

// Forwards with a copied stack location and no routine of its own.
inline Handler PassDown(PDEVICE_OBJECT lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lower, irp);
    };
}

// Completes every request at once with `status`.
inline Handler CompleteWith(NTSTATUS status) {
    return [status](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Marks every request pending and completes it from the DPC thread with `status`.
inline Handler PendThenComplete(NTSTATUS status) {
    return [status](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::QueueDpc([irp, status] {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
}

// Every test ends with the verifier's scenario check: nothing in flight, no pool left.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetWorld();
    }
    void TearDown() override {
        if (!HasFatalFailure()) sim::EndScenario();
    }
};

}  // namespace simtest
