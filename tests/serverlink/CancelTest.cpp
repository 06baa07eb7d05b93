// The window's cancel while the worker waits for a server that has stopped answering: the
// receive ends at once (with the product's 30 s receive limit, the cancel takes well under 10 s),
// the window sees 35, the worker's end does not overwrite it, and the TCP client is released
// once.
#include "TCP.h"
#include "UpgradeServerFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <regex>

namespace {

// Far below the receive limit that ends a stalled session without the cancel.
constexpr auto kCancelBound = std::chrono::seconds(10);

// The stop button's handler, as the window runs it on its own thread (the buttons are the
// workflow's).
void CancelLikeTheWindow(TServerLink& link, TUPThread& worker) {
    TCliInfo info;
    link.Record().Get(info);
    info.ResultCode = kResultCancelled;
    link.Record().Set(info);
    link.CloseClient();
    worker.Terminate();
    worker.WaitFor();
}

// The window's wait loop with the cancel handled inside it once `ready` holds; the wait must end
// within kCancelBound of the cancel.
TCliInfo WaitAndCancelWhen(TServerLink& link, const std::function<bool()>& ready,
                           TUPThread& worker) {
    TCliInfo info = TestRequest();
    link.Record().Set(info);
    worker.Start();
    std::optional<std::chrono::steady_clock::time_point> cancelledAt;
    auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (info.ResultCode == 0 && std::chrono::steady_clock::now() < until) {
        link.Record().Wait(info, std::chrono::milliseconds(20));
        if (!cancelledAt && ready()) {
            cancelledAt = std::chrono::steady_clock::now();
            CancelLikeTheWindow(link, worker);
        }
    }
    EXPECT_TRUE(cancelledAt.has_value());
    if (cancelledAt) {
        EXPECT_LT(std::chrono::steady_clock::now() - *cancelledAt, kCancelBound);
    }
    return info;
}

// The product's receive limit: only the cancel ends these sessions in time.
using CancelTest = SessionTest;

TEST_F(CancelTest, CancelWhileTheWorkerWaitsForValuesEndsWithThirtyFive) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"stall-at:values"}});
    TUPThread worker(link, &window);
    // The progress maximum is set just before the length is echoed; the values come next.
    TCliInfo info = WaitAndCancelWhen(
        link, [&] { return window.Max() == 100; }, worker);
    EXPECT_EQ(info.ResultCode, kResultCancelled);
    EXPECT_TRUE(worker.Finished());
    TCliInfo after;
    link.Record().Get(after);
    EXPECT_EQ(after.ResultCode, kResultCancelled); // the worker's end kept it
    EXPECT_EQ(after.UPType, RequestKind::Firmware);
    EXPECT_TRUE(std::regex_match(window.LastStatus(),
                                 std::regex("^升级发生错误，错误代号：[0-9A-F]{4}23$")))
        << window.LastStatus();
    EXPECT_EQ(window.Phases(), kTransferPhases);
    std::string log = server.NextSession();
    EXPECT_NE(log.find("@values"), std::string::npos) << log;
}

TEST_F(CancelTest, CancelDuringTheTransferKeepsWhatArrived) {
    std::string image = TestImage(size_t{64} * 1024);
    TUpgradeServer server({.firmware = image, .faults = {"stall-at:chunk:3"}});
    TUPThread worker(link, nullptr);
    TCliInfo info = WaitAndCancelWhen(
        link,
        [&] {
            auto positions = window.Positions();
            return !positions.empty() && positions.back() == 2 * 8192;
        },
        worker);
    EXPECT_EQ(info.ResultCode, kResultCancelled);
    ASSERT_TRUE(info.Data);
    ASSERT_EQ(info.Data->Size(), static_cast<int64_t>(image.size()));
    // What arrived before the cancel is intact (a chunk cut off by it may follow).
    EXPECT_EQ(std::memcmp(image.data(), info.Data->Bytes().data(), size_t{2} * 8192), 0);
    EXPECT_GE(window.Positions().back(), 2 * 8192);
}

TEST_F(CancelTest, CancelRightAfterTheStartIsNeverLost) {
    // Whatever step the worker is at (before its client exists, connecting, or waiting for
    // the first reply), the cancel ends it and its code stays.
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"stall-at:announce:1"}});
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TUPThread worker(link, nullptr);
        TCliInfo info = WaitAndCancelWhen(
            link, [] { return true; }, worker);
        EXPECT_EQ(info.ResultCode, kResultCancelled);
        EXPECT_TRUE(worker.Finished());
    }
}

} // namespace
