// Requests no application can make: reads and writes another driver builds over an MDL that
// describes no bytes, and a USB stack that reports more bytes transferred than it moved.
#include "driver_fixture.h"
#include "foreign.h"

#include <optional>

using namespace drivertest;
using sim::usb::Answer;
using sim::usb::AnswerMode;

namespace {

class ForeignTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        ASSERT_EQ(STATUS_SUCCESS, sim::pnp::Start(bus().Pdo()).start.status);
    }
    sim::RequestResult Transfer(ULONG pipe, bool read, PMDL mdl) {
        ForeignFile file(u"", &ext()->PipeTable[pipe]);
        return ForeignRequest(fdo(), read ? IRP_MJ_READ : IRP_MJ_WRITE, &file.fo, mdl).SendAndWait();
    }
};

// An MDL of zero bytes is a request for nothing: it completes at once with success and no
// Information, and no URB (no zero-length packet, no transfer of a buffer that is not there)
// reaches the USB stack.
TEST_F(ForeignTest, ZeroByteMdlSendsNothing) {
    const std::pair<ULONG, bool> transfers[] = {{kBulkOut, false}, {kBulkIn, true}, {kInterruptIn, true},
                                                {kIsoOut, false}, {kIsoIn, true}};
    for (auto [pipe, read] : transfers) {
        SCOPED_TRACE(testing::Message() << "pipe " << pipe << (read ? " read" : " write"));
        bus().ClearTrace();
        ForeignMdl empty(0);
        sim::RequestResult r = Transfer(pipe, read, empty.mdl());
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(STATUS_SUCCESS, r.dispatchReturned);
        EXPECT_EQ(0u, r.information);
        EXPECT_TRUE(bus().Trace().empty());  // no transfer, and no pipe reset before one
        EXPECT_EQ(1, ext()->OutstandingIo);
    }
}

// A USB stack that claims more than it moved, with or without an error: the request reports at
// most the bytes it asked for, whatever the stack claims.
TEST_F(ForeignTest, StackReportingMoreThanItMovedIsCappedAtTheRequest) {
    struct Case { const char* what; ULONG pipe; bool read; NTSTATUS status; USBD_STATUS usbd; ULONG moved, claimed; }
    cases[] = {
        {"bulk read, one byte too many", kBulkIn, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10, 65},
        {"bulk read, all ones", kBulkIn, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, 0xFFFFFFFF},
        {"interrupt read", kInterruptIn, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8, 4096},
        {"bulk write", kBulkOut, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, 1000},
        {"bulk read that failed", kBulkIn, true, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, 3, 200},
        {"bulk write that failed", kBulkOut, false, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, 0x80000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (AnswerMode mode : {AnswerMode::Inline, AnswerMode::Pend}) {
            bus().SetScript([&](PIRP, PIO_STACK_LOCATION s) -> std::optional<Answer> {
                if (UrbOf(s, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) == nullptr) return std::nullopt;
                return Answer{mode, c.status, c.usbd, 0, true, {}, [&](PIRP, PIO_STACK_LOCATION st) {
                    auto& t = static_cast<PURB>(st->Parameters.Others.Argument1)->UrbBulkOrInterruptTransfer;
                    if (c.read) {
                        auto to = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, HighPagePriority));
                        std::fill(to, to + c.moved, UCHAR(0x5C));
                    }
                    t.TransferBufferLength = c.claimed;
                }, {}};
            });
            ForeignMdl buffer(64, 0xA5);
            sim::RequestResult r = Transfer(c.pipe, c.read, buffer.mdl());
            EXPECT_EQ(c.status, r.status);
            EXPECT_EQ(64u, r.information);
            EXPECT_EQ(1, ext()->OutstandingIo);
        }
    }
    bus().SetScript(nullptr);
}

}  // namespace
