#pragma once
// The upgrade request record TCliInfo, and the one shared copy of it between the window's
// thread and the upgrade worker, with its lock.
#include "MemoryStream.h"
#include "RequestKind.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

// The upgrade request, copied whole between the window and the worker; Data is shared.
struct TCliInfo {
    std::string UserName;   // device type, 4 characters
    std::string HVer;       // hardware version
    std::string SVer;       // software version
    int32_t UseCount = 0;   // device counter 1
    std::string RegInfo;    // both counters, 16 uppercase hex digits
    std::string PCInfo;     // PC identifier or empty
    std::string OriginalID; // device identity, 8 characters
    std::string CID1;       // identity bytes 1..4, 2 uppercase hex digits each
    std::string CID2;
    std::string CID3;
    std::string CID4;
    int32_t UPType = 0;     // a RequestKind
    uint8_t ResultCode = 0; // 0 while running; set by the worker only (or by a cancel)
    std::string SWVer;      // the tool's version
    TStreamRef Data;        // receives the downloaded data
};

// The shared record. Each copy in either direction is consistent; the worker publishes
// ResultCode after everything else it writes (record fields and Data content).
class TSharedCliInfo {
public:
    // SetCliInfo: copies the whole record in (a non-zero ResultCode wakes the waiters).
    void Set(const TCliInfo& info);
    // GetCliInfo: copies the whole record out.
    void Get(TCliInfo& info);
    // Waits up to limit for ResultCode to turn non-zero, then copies the record out like Get.
    // True when ResultCode is non-zero.
    bool Wait(TCliInfo& info, std::chrono::milliseconds limit);

    // ResultCode, read without the lock (the worker's check for a cancel).
    uint8_t Code() const { return code_.load(); }
    // ResultCode := 0, before a worker starts.
    void ClearCode();
    // Stores the final code unless a cancel got there first; wakes every waiter.
    void Publish(uint8_t code);
    // The request as the session starts on it; gives the record a stream when it has none.
    TCliInfo Request();
    // Changes the record under its lock (the session storing the server's values).
    template <typename F> void Update(F change) {
        std::lock_guard lock(mutex_);
        change(info_);
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    TCliInfo info_;
    // ResultCode mirrored, so the worker can check for a cancel without taking the lock.
    std::atomic<uint8_t> code_{0};
};
