#include "TCP.h"

#include "TcpSocket.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <string>
#include <utility>

TTcpClient::TTcpClient(std::chrono::milliseconds recvLimit) : recvLimitMs_(recvLimit.count()) {}

TTcpClient::~TTcpClient() {
    FreeClient();
}

void TTcpClient::SetRecvTimeLimit(std::chrono::milliseconds limit) {
    recvLimitMs_.store(std::max<long long>(limit.count(), 1));
}

std::chrono::milliseconds TTcpClient::RecvTimeLimit() const {
    return std::chrono::milliseconds(recvLimitMs_.load());
}

std::shared_ptr<TTcpSocket> TTcpClient::Current() {
    std::lock_guard lock(mutex_);
    return socket_;
}

void TTcpClient::CreateClient(bool ipv6) {
    auto fresh = std::make_shared<TTcpSocket>(ipv6);
    std::shared_ptr<TTcpSocket> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(socket_, fresh);
    }
    if (old)
        old->Disconnect();
}

void TTcpClient::FreeClient() {
    std::shared_ptr<TTcpSocket> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(socket_, nullptr);
    }
    if (old)
        old->Disconnect();
}

void TTcpClient::LoadPack(const TPack& pack) {
    pack_ = pack;
}

void TTcpClient::SetSessionEnd(std::optional<std::chrono::steady_clock::time_point> end,
                               std::string why) {
    sessionEnd_ = end;
    sessionWhy_ = std::move(why);
}

std::chrono::steady_clock::time_point TTcpClient::StepEnd(std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    return sessionEnd_ ? std::min(end, *sessionEnd_) : end;
}

std::string TTcpClient::TimedOutText(std::chrono::steady_clock::time_point deadline,
                                     std::chrono::milliseconds limit) const {
    if (sessionEnd_ && deadline == *sessionEnd_)
        return sessionWhy_;
    return "did not answer within " + DurationText(limit);
}

namespace {
// What an operation that threw ends with: `what`, followed by the exception's own words when it
// has them. Called in a catch clause.
std::string ThrownText(const char* what) {
    try {
        throw;
    } catch (const std::exception& e) {
        return std::string(what) + ": " + e.what();
    } catch (...) {
        return what;
    }
}

// The time from now until `end`, at least 1 ms (a wait of 0 would not wait at all).
std::chrono::milliseconds Until(std::chrono::steady_clock::time_point end) {
    return std::max(
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()),
        std::chrono::milliseconds(1));
}
} // namespace

bool TTcpClient::Connect(std::optional<std::chrono::milliseconds> limit) {
    lastFailure_.clear();
    try {
        auto c = Current();
        if (!c) {
            lastFailure_ = "no client to connect with";
            return false;
        }
        if (c->Connect(pack_.Host, pack_.Port, Until(StepEnd(limit.value_or(RecvTimeLimit())))) &&
            c->Connected())
            return true;
        lastFailure_ =
            c->ConnectError().empty() ? "the connection was closed at once" : c->ConnectError();
        return false;
    } catch (...) {
        lastFailure_ = ThrownText("the connection failed");
        return false;
    }
}

bool TTcpClient::Disconnect() {
    try {
        if (auto c = Current())
            c->Disconnect();
        return true;
    } catch (...) {
        return false;
    }
}

bool TTcpClient::SendLine() {
    try {
        auto c = Current();
        if (!c || !c->Connected())
            return false;
        c->SendLine(pack_.Line, "\r\n", Until(StepEnd(RecvTimeLimit())));
        return true;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<TTcpSocket> TTcpClient::BeginReceive() {
    pack_.Line.clear();
    pack_.Success = true;
    lastFailure_.clear();
    auto c = Current();
    if (c && c->Connected())
        return c;
    pack_.Success = false;
    lastFailure_ = "was no longer connected";
    return nullptr;
}

template <typename TReceive> void TTcpClient::Guarded(TReceive receive) {
    try {
        receive();
    } catch (...) {
        pack_.Success = false;
        lastFailure_ = ThrownText("sent something that could not be received");
    }
}

void TTcpClient::ReceiveLine(std::chrono::milliseconds limit) {
    Guarded([&] {
        // The whole line must have come within the limit, however slowly its bytes trickle.
        const auto deadline = StepEnd(limit);
        auto c = BeginReceive();
        if (!c)
            return;
        TTcpSocket::TEnd end = TTcpSocket::TEnd::Done;
        pack_.Line = c->ReceiveLine(kTcpMaxLineLength, deadline, end);
        if (end == TTcpSocket::TEnd::TooLong) {
            pack_.Line.clear();
            pack_.Success = false;
            lastFailure_ =
                "sent a line longer than " + std::to_string(kTcpMaxLineLength) + " bytes";
        } else if (end == TTcpSocket::TEnd::TimedOut) {
            pack_.Success = false;
            lastFailure_ = TimedOutText(deadline, limit);
        } else if (end == TTcpSocket::TEnd::Closed) {
            lastFailure_ = "closed the connection";
        }
        int64_t total = c->BytesReceived();
        if (total != 0)
            pack_.Count = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
        else
            pack_.Success = false;
    });
}

void TTcpClient::ReceiveData(uint8_t* into, std::chrono::milliseconds limit) {
    Guarded([&] {
        // The whole block must have come within the limit, however slowly its bytes trickle.
        const auto deadline = StepEnd(limit);
        auto c = BeginReceive();
        if (!c)
            return;
        int want = std::clamp<int32_t>(pack_.Count, 0, kTcpBufferSize);
        int got = 0;
        while (got < want) {
            TTcpSocket::TEnd end = TTcpSocket::TEnd::Done;
            int n = c->Receive(into + got, want - got, deadline, end);
            if (n <= 0) {
                // Peer closed: the rest stays as it was. The deadline passed: lost.
                if (end == TTcpSocket::TEnd::TimedOut) {
                    pack_.Success = false;
                    lastFailure_ = TimedOutText(deadline, limit);
                } else {
                    lastFailure_ = "closed the connection";
                }
                break;
            }
            got += n;
        }
    });
}

void TTcpClient::RecvLine(TPack& pack) {
    ReceiveLine(RecvTimeLimit());
    pack = pack_;
}

void TTcpClient::RecvData(TPack& pack) {
    ReceiveData(pack_.Buffer.data(), RecvTimeLimit());
    pack = pack_;
}

bool TTcpClient::SendText(const std::string& line) {
    pack_.Line = line;
    return SendLine();
}

bool TTcpClient::RecvText(std::string& line) {
    ReceiveLine(RecvTimeLimit());
    line = pack_.Line;
    return pack_.Success;
}

bool TTcpClient::RecvDataInto(uint8_t* into, int32_t count) {
    pack_.Count = count;
    ReceiveData(into, RecvTimeLimit());
    return pack_.Success;
}

TTcpClient& DefaultTcpClient() {
    static TTcpClient client;
    return client;
}
