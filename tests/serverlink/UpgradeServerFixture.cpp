#include "UpgradeServerFixture.h"

#include "CRC16.h"

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

TCliInfo RunExchange(TServerLink& link, const TCliInfo& request, TExchangeListener* listener) {
    TCliInfo info = request;
    TUPThread worker(link, listener);
    link.Record().Set(info);
    worker.Start();
    auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (info.ResultCode == 0 && std::chrono::steady_clock::now() < until)
        link.Record().Wait(info, std::chrono::milliseconds(50));
    EXPECT_NE(info.ResultCode, 0) << "the worker never published a result";
    worker.WaitFor();
    return info;
}

void SessionTest::TearDown() {
    unsetenv("KESTREL_UPDATE_HOST");
}
