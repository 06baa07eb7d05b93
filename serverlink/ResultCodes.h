#pragma once
// The session's result codes and the status texts the user sees for them.
#include <cstdint>
#include <string>

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

// A session result as ResultCode carries it: a server status (0 or less) plus 255. A server
// status other than 0, -1 and -7 never maps to 0, 34, 248, 254 or 255.
int32_t MapResult(int32_t code);
// The status text for a code before mapping, with the random digits r (0..65534): the message,
// and for failures r and the mapped code in hex.
std::string ResultText(int32_t code, uint16_t r);
