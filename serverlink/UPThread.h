#pragma once
// The upgrade worker thread: one object per exchange, run against a server link.
#include "ServerLink.h"

#include <atomic>
#include <thread>

class TUPThread {
public:
    // Created suspended: Start runs it, against `link` (the default server link when none is
    // given). The exchange's phases go to `listener` (may be null), on the worker thread.
    explicit TUPThread(TExchangeListener* listener = nullptr);
    TUPThread(TServerLink& link, TExchangeListener* listener);
    // Release: waits for the thread to end.
    ~TUPThread();
    TUPThread(const TUPThread&) = delete;
    TUPThread& operator=(const TUPThread&) = delete;

    // Starts the thread (once). Resets the shared ResultCode to 0 first, so a waiter started
    // right afterwards never sees the result of an earlier session.
    void Start();
    // The termination request: the session stops at its next step, as on a lost connection.
    void Terminate();
    // Waits for the thread to end (returns at once when it never started).
    void WaitFor();
    // True once Execute has returned.
    bool Finished() const { return finished_.load(); }

    // The thread body: client, session, client closed, the end reported (idle picture,
    // buttons), message, and ResultCode last.
    void Execute();

private:
    // Shows the result and publishes its code: the worker's last act.
    void Finish(int32_t code);

    TServerLink& link_;
    TExchangeListener* listener_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};
