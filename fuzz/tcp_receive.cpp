// The TCP client's line and data receives (TTcpClient over the POSIX socket) against a loopback
// peer that sends the input's bytes and then closes. The input's first byte gives the number of
// receives (1..8), each described by three bytes (the form: 0 RecvText, 1 RecvDataInto, 2 RecvLine,
// 3 RecvData; then a signed 16-bit count for the data forms); the rest is what the peer sends.
//
// Checked beyond the sanitizers, against a model of the stream read as TCP.h describes it: every
// line is the stream's next bytes up to a CR LF (or up to the close), a line beyond
// kTcpMaxLineLength ends the connection, a data receive takes exactly its count (clamped to
// 0..8192) or what is left and writes nothing else, and RecvLine reports the running total.
#include "TCP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What the peer may send at once into the loopback socket buffers without waiting for a reader.
constexpr size_t kMaxPeerBytes = size_t{160} * 1024;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// The loopback listener all inputs connect to, made once.
int Listener(uint16_t& port) {
    static uint16_t boundPort = 0;
    static const int fd = [] {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            Fail(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
        boundPort = ntohs(a.sin_port);
        return s;
    }();
    port = boundPort;
    return fd;
}

// The stream as TCP.h describes its reading.
struct TModel {
    std::string_view sent;
    size_t pos = 0;
    bool lost = false;

    // The next line and whether it is too long.
    std::string_view Line(bool& tooLong) {
        const std::string_view rest = sent.substr(pos);
        const size_t end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        // Without a CR LF a last CR may still be half of one: it does not count as text.
        const size_t text =
            line.size() - (end == std::string_view::npos && rest.ends_with('\r') ? 1 : 0);
        tooLong = text > kTcpMaxLineLength;
        pos += end == std::string_view::npos ? rest.size() : end + 2;
        lost = lost || tooLong;
        return line;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1)
        return 0;
    const size_t receives = 1 + bytes[0] % 8;
    const size_t head = 1 + 3 * receives;
    if (size < head || size - head > kMaxPeerBytes)
        return 0;
    const std::string_view sent(reinterpret_cast<const char*>(bytes + head), size - head);

    uint16_t port = 0;
    const int listener = Listener(port);
    TTcpClient client(std::chrono::seconds(10)); // never reached: the peer has closed
    client.CreateClient();
    TPack pack;
    pack.Host = "127.0.0.1";
    pack.Port = std::to_string(port);
    client.LoadPack(pack);
    if (!client.Connect())
        Fail("cannot connect to the loopback listener");
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0)
        Fail(std::string("accept: ") + std::strerror(errno));
    int buffer = 1 << 20;
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    for (size_t done = 0; done < sent.size();) {
        const ssize_t n = send(peer, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            Fail(std::string("the peer cannot send: ") + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);

    TModel model{sent};
    for (size_t r = 0; r < receives; ++r) {
        const uint8_t* op = bytes + 1 + 3 * r;
        const int form = op[0] % 4;
        const auto count = static_cast<int16_t>(op[1] | op[2] << 8);
        const bool wasLost = model.lost;
        const std::string at = " (receive " + std::to_string(r) + ")";
        if (form == 0 || form == 2) {
            bool tooLong = false;
            const std::string_view expected = wasLost ? "" : model.Line(tooLong);
            const bool ok = !wasLost && !tooLong && model.pos > 0;
            std::string line;
            bool success = false;
            if (form == 0) {
                success = client.RecvText(line);
            } else {
                client.RecvLine(pack);
                line = pack.Line;
                success = pack.Success;
                if (success && pack.Count != static_cast<int32_t>(model.pos))
                    Fail("RecvLine reports a total of " + std::to_string(pack.Count) + ", not " +
                         std::to_string(model.pos) + at);
            }
            if (success != ok || line != (ok || !tooLong ? expected : ""))
                Fail("line of " + std::to_string(line.size()) + " bytes, success " +
                     std::to_string(success) + "; expected " + std::to_string(expected.size()) +
                     " bytes, success " + std::to_string(ok) + at);
            continue;
        }
        // Data: a guard pattern around the place the bytes land must stay as it was.
        const size_t want = static_cast<size_t>(std::clamp<int32_t>(count, 0, kTcpBufferSize));
        const size_t got = wasLost ? 0 : std::min(want, sent.size() - model.pos);
        std::vector<uint8_t> area(kTcpBufferSize + 16);
        for (size_t i = 0; i < area.size(); ++i)
            area[i] = static_cast<uint8_t>(i * 31 + 7);
        const std::vector<uint8_t> before = area;
        bool success = false;
        if (form == 1) {
            success = client.RecvDataInto(area.data(), count);
        } else {
            pack.Buffer.fill(0);
            std::copy_n(area.begin(), kTcpBufferSize, pack.Buffer.begin());
            pack.Count = count;
            client.LoadPack(pack);
            client.RecvData(pack);
            std::copy(pack.Buffer.begin(), pack.Buffer.end(), area.begin());
            success = pack.Success;
        }
        const bool ok = !wasLost;
        bool same = std::memcmp(area.data(), sent.data() + model.pos, got) == 0 &&
                    std::equal(area.begin() + static_cast<std::ptrdiff_t>(got), area.end(),
                               before.begin() + static_cast<std::ptrdiff_t>(got));
        if (success != ok || !same)
            Fail("data receive of " + std::to_string(count) + " bytes: success " +
                 std::to_string(success) + ", expected " + std::to_string(ok) + " with " +
                 std::to_string(got) + " bytes" + (same ? "" : ", other bytes written") + at);
        model.pos += got;
    }
    // The peer, which closed its side first, now resets the connection: neither end then
    // stays in TIME_WAIT, which would use up the loopback ports within a run.
    linger abort{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(peer);
    client.FreeClient();
    return 0;
}
