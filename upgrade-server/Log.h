#pragma once
// The server's log: one line per session on standard output, written whole and flushed.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// Writes one line (a newline is added) atomically with respect to other threads.
void WriteLogLine(const std::string& line);
// A client-supplied value as a single log token: "-" when empty or never received, bytes outside
// '!'..'~' and the backslash as \xHH, at most 64 bytes of the value.
std::string LogValue(std::string_view value);
// UTC time with milliseconds, e.g. 2026-12-07T19:52:03.120Z.
std::string LogTime(std::chrono::system_clock::time_point when);

// Connections that ended in a way a flood of connections can repeat thousands of times a second,
// with nothing worth a line of its own: closed without sending a byte (a port scan, a flood of
// connects), ended before the first answer (a line of garbage), displaced before the end of the
// announcement (holders of places coming back as soon as they lose them), refused for their
// peer's connection rate, or answered with an HTTP error. Counted by peer from every thread,
// written as one line a second.
class GroupedEnds {
public:
    // `what` names them in the line ("silent", "displaced", "http 404").
    explicit GroupedEnds(std::string what) : what_(std::move(what)) {}
    // One more from `peerKey` (PeerKeyOf), whose connection came from `peer` (address:port).
    void Add(const std::string& peerKey, const std::string& peer);
    // "TIME PEER WHAT N in PERIOD peers=P most=M" for those counted since the last call: N in
    // all from P peers, PEER the last connection of the peer with the most (M of them); empty
    // when there were none.
    std::string TakeLine(std::string_view period);

private:
    const std::string what_;
    struct Count {
        uint64_t count = 0;
        std::string lastPeer;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Count> byPeer_;
};

// The connections of one HTTP port (the page port "http", the dashboard's "admin") counted
// instead of logged: those over their peer's connection rate, and requests answered with an
// error.
struct HttpPortEnds {
    explicit HttpPortEnds(const std::string& port)
        : connectRate(port + " refused connect-rate"), badRequest(port + " 400"),
          notFound(port + " 404"), notAllowed(port + " 405") {}
    GroupedEnds connectRate;
    GroupedEnds badRequest;
    GroupedEnds notFound;
    GroupedEnds notAllowed;
};

// Every kind of connection counted instead of logged, one line a second each.
struct GroupedLines {
    // Upgrade sessions: closed without a byte received; ended before the server's answer to
    // the first line; displaced during the announcement.
    GroupedEnds silent{"silent"};
    GroupedEnds unanswered{"unanswered"};
    GroupedEnds displaced{"displaced"};
    // Connections over their peer's connection rate on the upgrade port.
    GroupedEnds connectRate{"refused connect-rate"};
    HttpPortEnds http{"http"};
    HttpPortEnds admin{"admin"};

    // The line of every kind counted since the last call.
    void Write(std::string_view period);
};
