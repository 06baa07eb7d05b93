#pragma once
// What the session tests share: the reference upgrade server (TUpgradeServer, which
// KESTREL_UPDATE_HOST names while it lives), a window that records what the worker shows, a
// server link of the test's own, a typical request, and the window's side of one exchange.
#include "UPT.h"
#include "UpgradeServer.h"
#include "WindowLink.h"

#include <gtest/gtest.h>

#include "TestData.h"
#include "TestRequest.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A window that records what the worker shows, and a listener that records the phases it
// reports; usable from any thread.
class RecordingWindow : public TWindowLink, public TProgressBar, public TExchangeListener {
public:
    void ShowStatus(const std::string& text) override;
    TProgressBar& ProgressBar() override { return *this; }
    void ProcessMessages() override {}
    void SetMax(int max) override;
    void SetPosition(int position) override;
    void ExchangePhase(TExchangePhase phase) override;

    std::vector<std::string> Statuses();
    std::string LastStatus();
    std::vector<int> Positions();
    int Max();
    std::vector<TExchangePhase> Phases();
    // Waits until the condition holds for the recorded state (checked on every change).
    bool WaitUntil(const std::function<bool(RecordingWindow&)>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(60));

private:
    void Changed();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> statuses_;
    std::vector<int> positions_;
    int max_ = -1;
    std::vector<TExchangePhase> phases_;
};

// The phases of an exchange that reached the transfer announcement.
inline const std::vector<TExchangePhase> kTransferPhases = {
    TExchangePhase::Running, TExchangePhase::Transferring, TExchangePhase::Ended};

// The window's side of one exchange on `link`: hand the request over, start a worker (its
// phases going to `listener`), wait until ResultCode turns non-zero, and return the record then
// copied out (the worker is released).
TCliInfo RunExchange(TServerLink& link, const TCliInfo& request,
                     TExchangeListener* listener = nullptr);

// A recording window and a server link that talks to it, with the product's time limits.
class SessionTest : public ::testing::Test {
protected:
    void TearDown() override;
    RecordingWindow window;
    TTcpClient tcp;
    TServerLink link{tcp, window};
};
