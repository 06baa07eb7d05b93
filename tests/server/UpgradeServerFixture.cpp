#include "UpgradeServerFixture.h"

#include "CRC16.h"
#include "TCP.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

void RecordingWindow::Changed() {
    changed_.notify_all();
}

void RecordingWindow::ShowStatus(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        statuses_.push_back(text);
    }
    Changed();
}

void RecordingWindow::ExchangePhase(TExchangePhase phase) {
    {
        std::lock_guard lock(mutex_);
        phases_.push_back(phase);
    }
    Changed();
}

void RecordingWindow::SetMax(int max) {
    std::lock_guard lock(mutex_);
    max_ = max;
}

void RecordingWindow::SetPosition(int position) {
    {
        std::lock_guard lock(mutex_);
        positions_.push_back(position);
    }
    Changed();
}

std::vector<std::string> RecordingWindow::Statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
}

std::string RecordingWindow::LastStatus() {
    std::lock_guard lock(mutex_);
    return statuses_.empty() ? std::string() : statuses_.back();
}

std::vector<int> RecordingWindow::Positions() {
    std::lock_guard lock(mutex_);
    return positions_;
}

int RecordingWindow::Max() {
    std::lock_guard lock(mutex_);
    return max_;
}

std::vector<TExchangePhase> RecordingWindow::Phases() {
    std::lock_guard lock(mutex_);
    return phases_;
}

bool RecordingWindow::WaitUntil(const std::function<bool(RecordingWindow&)>& condition,
                                std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    for (;;) {
        lock.unlock();
        bool met = condition(*this);
        lock.lock();
        if (met)
            return true;
        if (changed_.wait_until(lock, until) == std::cv_status::timeout) {
            lock.unlock();
            return condition(*this);
        }
    }
}

TCliInfo TestRequest() {
    TCliInfo info;
    info.UserName = "QX40";
    info.HVer = "2";
    info.SVer = "1.20";
    info.UseCount = 1234;
    info.RegInfo = "000004D200000007";
    info.PCInfo = "00-1A-2B-3C-4D-5E";
    info.OriginalID = "1A2B3C4D";
    info.CID1 = "01";
    info.CID2 = "A2";
    info.CID3 = "B3";
    info.CID4 = "FF";
    info.UPType = RequestKind::Firmware;
    info.SWVer = "1.4";
    info.Data = std::make_shared<TMemoryStream>();
    return info;
}

TCliInfo RunExchange(const TCliInfo& request, TExchangeListener* listener) {
    TCliInfo info = request;
    TUPThread worker(listener);
    SetCliInfo(info);
    worker.Start();
    auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (info.ResultCode == 0 && std::chrono::steady_clock::now() < until)
        WaitCliInfo(info, std::chrono::milliseconds(50));
    EXPECT_NE(info.ResultCode, 0) << "the worker never published a result";
    worker.WaitFor();
    return info;
}

void SessionTest::SetUp() {
    SetMainWindow(&window);
    TcpSetRecvTimeLimit(ServerLimits::Receive);
}

void SessionTest::TearDown() {
    SetMainWindow(nullptr);
    DefaultServerLink().SetSessionLimits(ServerLimits::SessionBase, ServerLimits::SessionMinRate);
    DefaultServerLink().SetResolver(nullptr);
    unsetenv("KESTREL_UPDATE_HOST");
}
