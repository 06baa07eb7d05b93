#pragma once
// One upgrade session with the upgrade server, run on a worker thread. The pieces:
//   CliInfo.h      the request record TCliInfo and the copy shared with the window, with its lock
//   Dialogue.h     the dialogue over a line transport, and the phases the worker reports
//   ResultCodes.h  the result codes and their status texts
//   ServerLink.h   the server link: record, session result, stop flag over one TCP client,
//                  and the window that shows the session
//   UPThread.h     the worker thread TUPThread
// and below, the module's functions: a thin front over the default server link.
//
// How the window's side uses a link (TServerLink link(tcp, window)):
//   TUPThread worker(link, &listener);     // created suspended; phases reach `listener`
//   link.Record().Set(request);            // request.ResultCode == 0, request.Data a new stream
//   worker.Start();
//   while (request.ResultCode == 0) {      // wait, keeping the window live
//       link.Record().Wait(request, ServerLimits::WorkerPoll);  // copies the record out
//       window.ProcessMessages();
//   }
//   34: the data is in request.Data and the server's values in the record; else failure.
//
// Cancel (the stop button, on the window's thread, while the wait above runs):
//   link.Record().Get(info); info.ResultCode = kResultCancelled; link.Record().Set(info);
//   link.CloseClient();     // a receive (or connect) blocked in the worker returns at once
//   worker.Terminate();     // the session stops at its next step
//   worker.WaitFor();       // or destroy the object: the worker ends within moments
// The waiting side then sees 35: once the shared ResultCode is non-zero the worker never
// replaces it, and the status line shows the general error text with code 23. The TCP client
// is released once, after the worker has stopped using it, whichever CloseClient comes first.
// Without CloseClient a blocked receive ends only at the receive time limit
// (ServerLimits::Receive).
#include "CliInfo.h"
#include "Dialogue.h"
#include "ResultCodes.h"
#include "ServerLink.h"
#include "UPThread.h"

#include <chrono>
#include <cstdint>
#include <string>

// The shared record of the default link. WaitCliInfo waits up to limit for ResultCode to turn
// non-zero, then copies the record out like GetCliInfo; true when ResultCode is non-zero.
inline void SetCliInfo(const TCliInfo& info) {
    DefaultServerLink().Record().Set(info);
}
inline void GetCliInfo(TCliInfo& info) {
    DefaultServerLink().Record().Get(info);
}
inline bool WaitCliInfo(TCliInfo& info, std::chrono::milliseconds limit) {
    return DefaultServerLink().Record().Wait(info, limit);
}

// TServerLink's operations on the default link.
inline void RunSession() {
    DefaultServerLink().RunSession();
}
inline std::string Exchange(const std::string& line) {
    return DefaultServerLink().Exchange(line);
}
inline int32_t SessionResult() {
    return DefaultServerLink().SessionResult();
}
// The exchange is over: the idle picture comes back with the rest of the controls of the
// exchange's end.
inline void ShowIdle() {
    DefaultServerLink().Report(TExchangePhase::Ended);
}
inline void CloseClient() {
    DefaultServerLink().CloseClient();
}
inline void ShowResult(int32_t code) {
    DefaultServerLink().ShowResult(code);
}
