#pragma once
// The upgrade dialogue with the server, from the announcement to the last chunk, written against
// a line transport so that it runs over the TCP client as well as over a scripted peer.
#include "CliInfo.h"
#include "WindowLink.h"

#include <cstdint>
#include <optional>
#include <string>

// What the dialogue needs of its connection. Its results are not examined: a lost connection
// shows as empty lines, which match no expected reply, and as missing data, which the CRC finds.
class TLineTransport {
public:
    virtual ~TLineTransport() = default;
    // Sends the line followed by CR LF.
    virtual void SendLine(const std::string& line) = 0;
    // The next line, without its CR LF; empty once the connection is lost.
    virtual std::string ReceiveLine() = 0;
    // Receives `count` (1 to 8192) bytes into `into`; a lost connection leaves the rest as it was.
    virtual void ReceiveData(uint8_t* into, int count) = 0;
    // What went wrong in the last receive, as words that follow "the server": "closed the
    // connection", "no answer within 30 s", ...; empty when nothing did (or nobody knows).
    virtual std::string LastFault() const { return {}; }

    // The request-reply step: sends the line and returns the reply line.
    std::string Exchange(const std::string& line) {
        SendLine(line);
        return ReceiveLine();
    }
};

// What the worker tells the one who waits for it (the workflow), on the worker thread, without
// ever waiting for another thread.
enum class TExchangePhase {
    Running,      // the worker has begun the exchange
    Transferring, // the server has taken the announcement; its data is announced next
    Ended,        // the exchange is over and its connection closed; the result follows
};

class TExchangeListener {
public:
    virtual ~TExchangeListener() = default;
    virtual void ExchangePhase(TExchangePhase phase) = 0;
};

// The largest data length the session accepts (64 MiB).
constexpr int64_t kMaxDataLength = 64LL * 1024 * 1024;

class TUpgradeDialogue {
public:
    // Shows its progress on `window`, reports the transfer to `listener` (may be null) and
    // stores the server's values into `record`.
    TUpgradeDialogue(TLineTransport& transport, TSharedCliInfo& record, TWindowLink& window,
                     TExchangeListener* listener = nullptr);

    // The dialogue over a connected transport for `request`, whose Data receives the data:
    // announcement, transfer announcement, data. Returns the session result. The server's values
    // replace the record's once their check line has matched; the stream has the announced size
    // however the transfer ends.
    int32_t Run(const TCliInfo& request);
    // Why the last Run did not succeed: at which step the server stopped answering, or what it
    // answered instead ("the server answered \"NO\" instead of \"OK\" to \"SWVer\" (step 3 of
    // 27 of the announcement)"). Empty after a success.
    const std::string& Cause() const { return cause_; }

private:
    // The steps of Run, in their order. Each returns the session result when the server did not
    // go along (with the cause set), nothing when the dialogue goes on.
    // The 27 announcement steps: key and value of each field of the request, then "IDOK".
    std::optional<int32_t> Announce(const TCliInfo& request);
    // The data length the server announces (or a status instead), repeated back to it.
    std::optional<int32_t> AgreeLength(int64_t& length);
    // The server's 13 values and their check line, stored into the record.
    std::optional<int32_t> TakeServerValues();
    // The CRC of the data, repeated back to the server.
    std::optional<int32_t> ExchangeCrc(std::string& crcText);
    // The data into `data`; a failure to store it ends the session with kResultTransferFailed.
    int32_t StoreData(TMemoryStream& data, int64_t length, const std::string& crcText);
    int32_t ReceiveData(TMemoryStream& data, int64_t length, const std::string& crcText);
    // Sets the cause for a reply that is not the one expected at `step`: an empty reply with a
    // transport fault is the server stopping, anything else what it answered instead.
    void WrongReply(const std::string& reply, const std::string& expected, const std::string& step);

    TLineTransport& transport_;
    TSharedCliInfo& record_;
    TWindowLink& window_;
    TExchangeListener* listener_;
    std::string cause_;
};
