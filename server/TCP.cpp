#include "TCP.h"

#include "TcpSocket.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <utility>

namespace {
// The unit's client. Operations take their own reference for their duration, so a release from
// another thread never pulls the object from under a running receive: it is destroyed, and its
// socket closed, exactly once, when the last user lets go.
std::mutex clientMutex;
std::shared_ptr<TTcpSocket> client;

// The unit's record; used by the worker thread only.
TPack unitPack;

std::atomic<long long> recvLimitMs{30000};

std::shared_ptr<TTcpSocket> CurrentClient() {
    std::lock_guard lock(clientMutex);
    return client;
}
} // namespace

void TcpSetRecvTimeLimit(std::chrono::milliseconds limit) {
    recvLimitMs.store(std::max<long long>(limit.count(), 1));
}

std::chrono::milliseconds TcpRecvTimeLimit() {
    return std::chrono::milliseconds(recvLimitMs.load());
}

void TcpCreateClient() {
    auto fresh = std::make_shared<TTcpSocket>();
    std::shared_ptr<TTcpSocket> old;
    {
        std::lock_guard lock(clientMutex);
        old = std::exchange(client, fresh);
    }
    if (old)
        old->Disconnect();
}

void TcpFreeClient() {
    std::shared_ptr<TTcpSocket> old;
    {
        std::lock_guard lock(clientMutex);
        old = std::exchange(client, nullptr);
    }
    if (old)
        old->Disconnect();
}

void TcpLoadPack(const TPack& pack) {
    unitPack = pack;
}

bool TcpConnect() {
    try {
        auto c = CurrentClient();
        if (!c)
            return false;
        return c->Connect(unitPack.Host, unitPack.Port, TcpRecvTimeLimit()) && c->Connected();
    } catch (...) {
        return false;
    }
}

bool TcpDisconnect() {
    try {
        if (auto c = CurrentClient())
            c->Disconnect();
        return true;
    } catch (...) {
        return false;
    }
}

bool TcpSendLine() {
    try {
        auto c = CurrentClient();
        if (!c || !c->Connected())
            return false;
        c->SendLine(unitPack.Line, "\r\n", TcpRecvTimeLimit());
        return true;
    } catch (...) {
        return false;
    }
}

namespace {
// TcpRecvLine on the unit's record alone.
void RecvLine() {
    unitPack.Line.clear();
    unitPack.Success = true;
    try {
        auto c = CurrentClient();
        if (!c || !c->Connected()) {
            unitPack.Success = false;
            return;
        }
        TTcpSocket::TEnd end = TTcpSocket::TEnd::Done;
        unitPack.Line = c->ReceiveLine(kTcpMaxLineLength, TcpRecvTimeLimit(), end);
        if (end == TTcpSocket::TEnd::TooLong) {
            unitPack.Line.clear();
            unitPack.Success = false;
        } else if (end == TTcpSocket::TEnd::TimedOut) {
            unitPack.Success = false;
        }
        int64_t total = c->BytesReceived();
        if (total != 0)
            unitPack.Count = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
        else
            unitPack.Success = false;
    } catch (...) {
        unitPack.Success = false;
    }
}

// TcpRecvData of the unit's Count into `into`.
void RecvData(uint8_t* into) {
    unitPack.Line.clear();
    unitPack.Success = true;
    try {
        auto c = CurrentClient();
        if (!c || !c->Connected()) {
            unitPack.Success = false;
            return;
        }
        int want = std::clamp<int32_t>(unitPack.Count, 0, kTcpBufferSize);
        int got = 0;
        while (got < want) {
            TTcpSocket::TEnd end = TTcpSocket::TEnd::Done;
            int n = c->Receive(into + got, want - got, TcpRecvTimeLimit(), end);
            if (n <= 0) {
                // Peer closed: the rest stays as it was. A time-out: lost.
                if (end == TTcpSocket::TEnd::TimedOut)
                    unitPack.Success = false;
                break;
            }
            got += n;
        }
    } catch (...) {
        unitPack.Success = false;
    }
}
} // namespace

void TcpRecvLine(TPack& pack) {
    RecvLine();
    pack = unitPack;
}

void TcpRecvData(TPack& pack) {
    RecvData(unitPack.Buffer.data());
    pack = unitPack;
}

bool TcpSendText(const std::string& line) {
    unitPack.Line = line;
    return TcpSendLine();
}

bool TcpRecvText(std::string& line) {
    RecvLine();
    line = unitPack.Line;
    return unitPack.Success;
}

bool TcpRecvDataInto(uint8_t* into, int32_t count) {
    unitPack.Count = count;
    RecvData(into);
    return unitPack.Success;
}
