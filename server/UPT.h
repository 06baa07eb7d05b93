#pragma once
// One upgrade session with the upgrade server, run on a worker thread: the request record, the
// dialogue, the worker thread and its result codes.
//
// How the window uses it:
//   TUPThread worker;                      // created suspended
//   SetCliInfo(request);                   // request.ResultCode == 0, request.Data a new stream
//   worker.Start();
//   while (request.ResultCode == 0) {      // wait, keeping the window live
//       WaitCliInfo(request, 20ms);        // copies the shared record out (GetCliInfo)
//       MainWindow().ProcessMessages();
//   }
//   34: the data is in request.Data and the server's values in the record; else failure.
//
// Cancel (the stop button, on the window's thread, while the wait above runs):
//   GetCliInfo(info); info.ResultCode = kResultCancelled; SetCliInfo(info);
//   CloseClient();          // a receive (or connect) blocked in the worker returns at once
//   worker.Terminate();     // the session stops at its next step
//   (enable the start button, disable the stop button)
//   worker.WaitFor();       // or destroy the object: the worker ends within moments
// The waiting side then sees 35: once the shared ResultCode is non-zero the worker never
// replaces it, and the status line shows the general error text with code 23. The TCP client
// is released once, after the worker has stopped using it, whichever CloseClient comes first.
// Without CloseClient a blocked receive ends only at the receive time limit (TcpRecvTimeLimit).
#include "MemoryStream.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

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
    int32_t UPType = 0;     // 3 firmware; the server may answer 7 (a new tool)
    uint8_t ResultCode = 0; // 0 while running; set by the worker only (or by a cancel)
    std::string SWVer;      // the tool's version
    TStreamRef Data;        // receives the downloaded data
};

// Result codes as they reach ResultCode.
constexpr uint8_t kResultConnectFailed = 9;
constexpr uint8_t kResultSuccess = 34;    // 0x22
constexpr uint8_t kResultCancelled = 35;  // 0x23, put there by the cancel
constexpr uint8_t kResultLatest = 248;    // server status -7
constexpr uint8_t kResultNoRepeat = 254;  // server status -1
constexpr uint8_t kResultNoUpgrade = 255; // server status 0
// Session results of the transfer announcement and the data transfer.
constexpr int32_t kResultLengthRefused = 28; // reply to the length, or a length beyond the limit
constexpr int32_t kResultChunkRefused = 29;
constexpr int32_t kResultTransferFailed = 30; // also any unexpected failure of the session
constexpr int32_t kResultCheckLine = 41;
constexpr int32_t kResultCrcMissing = 44;
constexpr int32_t kResultCrcMismatch = 45;
constexpr int32_t kResultRepeated = 40; // the server answered "Rep" to the device identity
constexpr int32_t kResultNotANumber = -10;

// The largest data length the session accepts (64 MiB).
constexpr int64_t kMaxDataLength = 64LL * 1024 * 1024;

// The shared record. Each copy in either direction is consistent; the worker publishes
// ResultCode after everything else it writes (record fields and Data content).
void SetCliInfo(const TCliInfo& info);
void GetCliInfo(TCliInfo& info);
// Waits up to limit for ResultCode to turn non-zero, then copies the record out like
// GetCliInfo. True when ResultCode is non-zero.
bool WaitCliInfo(TCliInfo& info, std::chrono::milliseconds limit);

// The dialogue with the server over the unit's TCP client (created, not yet connected); sets
// SessionResult and leaves the connection open.
void RunSession();
// Sends a line and returns the reply line.
std::string Exchange(const std::string& line);
// The session's result, mapped in place by ShowResult.
int32_t SessionResult();

// IMG1 shown, IMG2 hidden.
void ShowIdle();
// Disconnects and releases the TCP client; may be called from any thread, any number of times.
void CloseClient();
// Maps the code (a server status, 0 or less, becomes a result code) into SessionResult and shows
// its message in the status line, with four fresh random hex digits and the code in hex.
void ShowResult(int32_t code);

// The pure parts of ShowResult, for the window and for tests.
// A server status other than 0, -1 and -7 never maps to 0, 34, 248, 254 or 255.
int32_t MapResult(int32_t code);
// The message for a code before mapping, with the random digits r (0..65534).
std::string ResultText(int32_t code, uint16_t r);

// The worker thread: one object per session.
class TUPThread {
public:
    // Created suspended: Start runs it.
    TUPThread() = default;
    // Release: waits for the thread to end.
    ~TUPThread();
    TUPThread(const TUPThread&) = delete;
    TUPThread& operator=(const TUPThread&) = delete;

    // Starts the thread (once). Resets the shared ResultCode to 0 first, so a waiter started
    // right afterwards never sees the result of an earlier session.
    void Start();
    // The termination request: the session stops at its next step, as on a lost connection.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    // Waits for the thread to end (returns at once when it never started).
    void WaitFor();
    // True once Execute has returned.
    bool Finished() const { return finished_.load(); }

    // The thread body: client, session, idle picture, client closed, buttons, message, and
    // ResultCode last.
    void Execute();

private:
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
};
