// The connect's sequence of the TCP client socket over the platform's steps, and its receives
// over the platform's one system receive (TryRead) and wait (WaitReadable).
#include "TcpSocket.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
constexpr size_t kLookSize = 511; // bytes looked at per step of a line receive
} // namespace

std::string DurationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0)
        return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

std::string ConnectTimeoutText(std::chrono::milliseconds limit) {
    return "no answer to the connection within " + DurationText(limit) +
           " (the host is down, or a firewall drops the connection)";
}

bool TTcpSocket::Connect(const std::string& host, const std::string& port,
                         std::chrono::milliseconds limit) {
    connectError_.clear();
    if (!HasSocket() || closed_.load() || connected_.load()) {
        connectError_ = closed_.load() ? "the connection was closed before it was made"
                                       : "no socket could be made";
        return false;
    }
    bool pending = false;
    connectError_ = StartConnect(host, port, pending);
    if (connectError_.empty() && pending)
        connectError_ = AwaitConnect(limit);
    if (connectError_.empty())
        connectError_ = SetUpConnected(limit);
    if (!connectError_.empty())
        return false;
    connected_.store(true);
    // A Disconnect that raced with the connect wins.
    if (closed_.load()) {
        Disconnect();
        return false;
    }
    return true;
}

bool TTcpSocket::Connected() const {
    return connected_.load() && !closed_.load();
}

void TTcpSocket::Lose() {
    Disconnect();
}

std::string TTcpSocket::ReceiveLine(size_t maxLength,
                                    std::chrono::steady_clock::time_point deadline, TEnd& end) {
    std::string line;
    for (;;) {
        if (closed_.load()) {
            end = TEnd::Closed;
            return line;
        }
        if (aheadStart_ == ahead_.size()) {
            // Nothing looked at yet: one receive of up to a look's worth.
            ahead_.resize(kLookSize);
            aheadStart_ = 0;
            int n = ReadSome(ahead_.data(), ahead_.size(), deadline, end);
            ahead_.resize(static_cast<size_t>(n));
            if (n == 0)
                return line;
        }
        // Take up to and including the first CR LF, or everything looked at. A CR at the end of
        // the previous look pairs with an LF at the start of this one.
        const char* look = ahead_.data() + aheadStart_;
        size_t n = ahead_.size() - aheadStart_;
        size_t take = n;
        bool found = false;
        if (!line.empty() && line.back() == '\r' && look[0] == '\n') {
            take = 1;
            found = true;
        } else {
            for (size_t i = 0; i + 1 < n; ++i) {
                if (look[i] == '\r' && look[i + 1] == '\n') {
                    take = i + 2;
                    found = true;
                    break;
                }
            }
        }
        line.append(look, take);
        aheadStart_ += take;
        received_.fetch_add(static_cast<int64_t>(take), std::memory_order_relaxed);
        if (found) {
            line.resize(line.size() - 2); // the CR LF (its CR may come from the previous look)
            end = TEnd::Done;
            if (line.size() > maxLength) {
                Lose();
                end = TEnd::TooLong;
            }
            return line;
        }
        // A trailing CR may still be the first half of the delimiter.
        size_t textLength = line.size() - (line.back() == '\r' ? 1 : 0);
        if (textLength > maxLength) {
            Lose();
            end = TEnd::TooLong;
            return line;
        }
    }
}

int TTcpSocket::Receive(uint8_t* into, int size, std::chrono::steady_clock::time_point deadline,
                        TEnd& end) {
    if (closed_.load()) {
        end = TEnd::Closed;
        return 0;
    }
    if (size > 0 && aheadStart_ < ahead_.size()) {
        size_t take = std::min(static_cast<size_t>(size), ahead_.size() - aheadStart_);
        std::memcpy(into, ahead_.data() + aheadStart_, take);
        aheadStart_ += take;
        received_.fetch_add(static_cast<int64_t>(take), std::memory_order_relaxed);
        end = TEnd::Done;
        return static_cast<int>(take);
    }
    int n = ReadSome(reinterpret_cast<char*>(into), static_cast<size_t>(size), deadline, end);
    received_.fetch_add(n, std::memory_order_relaxed);
    return n;
}

int TTcpSocket::ReadSome(char* into, size_t size, std::chrono::steady_clock::time_point deadline,
                         TEnd& end) {
    // What has arrived is taken at once, in one system call; only an empty socket is waited for.
    for (;;) {
        int count = 0;
        switch (TryRead(into, size, count)) {
        case TRead::Data:
            end = TEnd::Done;
            return count;
        case TRead::Closed:
            end = TEnd::Closed;
            return 0;
        case TRead::Empty:
            break;
        }
        switch (WaitReadable(deadline)) {
        case TWait::Ready: // data, or a close the next read reports
            break;
        case TWait::Woken:
            end = TEnd::Closed;
            return 0;
        case TWait::TimedOut:
            Lose();
            end = TEnd::TimedOut;
            return 0;
        }
    }
}
