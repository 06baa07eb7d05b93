#pragma once
// A front end for the workflow that records every call, in order, as one text each
// ("status 连接成功！", "start 0", "busy 1", "repaint", "sleep 1000", ...). Calls may come from the
// upgrade worker, so the record is guarded. Sleep only records: the tests need the order of the
// waits, not the waits themselves.
#include "WorkflowUI.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class FakeUI : public TWorkflowUI, public TProgressBar {
public:
    void ShowStatus(const std::string& text) override { Record("status " + text); }
    void ShowCause(const std::string& text) override { Record("cause " + text); }
    TProgressBar& ProgressBar() override { return *this; }
    void ShowBusy(bool busy) override { Record(busy ? "busy 1" : "busy 0"); }
    void SetStartEnabled(bool enabled) override { Record(enabled ? "start 1" : "start 0"); }
    void SetStopEnabled(bool enabled) override { Record(enabled ? "stop 1" : "stop 0"); }
    void Repaint() override { Record("repaint"); }
    void ProcessMessages() override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            ++pumps_;
            hook = onProcessMessages;
        }
        if (hook)
            hook();
    }
    void SetMax(int max) override { Record("max " + std::to_string(max)); }
    void SetPosition(int) override {}

    void ShowPort(const TPortId& port) override { Record("port " + std::to_string(port.number)); }
    void SetDeviceType(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            deviceType_ = text;
        }
        Record("type " + text);
    }
    std::string DeviceType() override {
        std::lock_guard lock(mutex_);
        return deviceType_;
    }
    void Sleep(int ms) override {
        Record("sleep " + std::to_string(ms));
        if (onSleep)
            onSleep(ms);
    }
    void ShowHintSteps() override { Record("hint"); }
    void RequestTerminate() override { Record("terminate"); }
    void ShowError(const std::string& text) override { Record("error " + text); }

    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // The calls that start with `prefix`, in order.
    std::vector<std::string> CallsStarting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& c : Calls())
            if (c.rfind(prefix, 0) == 0)
                out.push_back(c);
        return out;
    }
    bool Has(const std::string& call) {
        auto calls = Calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    // The controls as the calls before the first `call` left them ("" : after all calls), as
    // "start S stop S busy S" with 1, 0, or ? for a control not set yet.
    std::string ControlsAt(const std::string& call) {
        std::string start = "?", stop = "?", busy = "?";
        for (const auto& c : Calls()) {
            if (c == call)
                break;
            for (auto [name, state] : {std::pair{"start ", &start}, std::pair{"stop ", &stop},
                                       std::pair{"busy ", &busy}})
                if (c.rfind(name, 0) == 0)
                    *state = c.substr(std::string(name).size());
        }
        return "start " + start + " stop " + stop + " busy " + busy;
    }
    std::string LastStatus() {
        auto statuses = CallsStarting("status ");
        return statuses.empty() ? "" : statuses.back().substr(7);
    }
    long Pumps() {
        std::lock_guard lock(mutex_);
        return pumps_;
    }

    // Run inside ProcessMessages / Sleep on the caller's thread: clicks, close requests.
    std::function<void()> onProcessMessages;
    std::function<void(int)> onSleep;

private:
    void Record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::string deviceType_ = "未连接";
    long pumps_ = 0;
};
