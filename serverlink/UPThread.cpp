#include "UPThread.h"

#include "ResultCodes.h"

#include <system_error>

TUPThread::TUPThread(TExchangeListener* listener) : TUPThread(DefaultServerLink(), listener) {}

TUPThread::TUPThread(TServerLink& link, TExchangeListener* listener)
    : link_(link), listener_(listener) {}

TUPThread::~TUPThread() {
    WaitFor();
}

void TUPThread::Start() {
    if (thread_.joinable() || finished_.load())
        return;
    link_.Prepare(listener_);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error&) {
        // No thread: the waiting window still gets its end and its result.
        try {
            link_.Report(TExchangePhase::Ended);
        } catch (...) { // NOLINT(bugprone-empty-catch): a failing listener must not stop Finish
        }
        Finish(kResultTransferFailed);
    }
}

void TUPThread::Terminate() {
    link_.RequestStop();
}

void TUPThread::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void TUPThread::Execute() {
    link_.SetSessionResult(0);
    try {
        link_.Report(TExchangePhase::Running);
        link_.Tcp().CreateClient();
        link_.RunSession();
    } catch (...) {
        link_.SetSessionResult(kResultTransferFailed);
    }
    link_.CloseClient();
    try {
        link_.Report(TExchangePhase::Ended);
    } catch (...) { // NOLINT(bugprone-empty-catch): a failing listener must not stop Finish
    }
    // A cancel's code stays, and its message is the one shown.
    int32_t code = link_.SessionResult();
    if (uint8_t cancelled = link_.Record().Code(); cancelled != 0)
        code = cancelled;
    Finish(code);
}

void TUPThread::Finish(int32_t code) {
    try {
        link_.ShowResult(code);
    } catch (...) {
        link_.SetSessionResult(MapResult(code));
    }
    uint8_t result = static_cast<uint8_t>(link_.SessionResult() & 0xFF);
    link_.Record().Publish(result != 0 ? result : static_cast<uint8_t>(kResultTransferFailed));
    finished_.store(true);
}
