// bench-download: how long one upgrade session takes to download a 16 MiB image from the
// reference upgrade server on loopback, as a ratio to the protocol's own bound measured in the
// same run: a raw loopback transfer of the same bytes in 8192-byte chunks with one line round
// trip after every chunk but the last.
//
// The same session against a minimal single-threaded peer shows the client's own share.
//
//   bench-download [rounds]     (default 5; medians are compared)
#include "ChildProcess.h"
#include "TestData.h"
#include "TestRequest.h"
#include "UPT.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kImageSize = size_t{16} * 1024 * 1024;
constexpr size_t kChunk = 8192;

bool SendAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool RecvAll(int fd, char* into, size_t n) {
    while (n > 0) {
        ssize_t got = recv(fd, into, n, 0);
        if (got <= 0)
            return false;
        into += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// The bound: the same bytes over a plain loopback connection, one "OK" round trip per chunk.
// With `handshake` the chunks are separated by the dialogue's full handshake instead (client OK,
// server OK, client OK, then the next chunk): the floor of the protocol itself.
double BoundSeconds(const std::string& image, bool handshake = false) {
    std::string address = UniqueLoopbackAddress();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(listener, 1) != 0) {
        std::perror("bound: listen");
        std::exit(1);
    }
    socklen_t len = sizeof sa;
    getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);

    std::thread sender([&] {
        int conn = accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char line[4];
        for (size_t done = 0; done < image.size();) {
            size_t n = std::min(kChunk, image.size() - done);
            SendAll(conn, image.data() + done, n);
            done += n;
            if (done < image.size()) {
                RecvAll(conn, line, 4);
                SendAll(conn, "OK\r\n", 4);
                if (handshake)
                    RecvAll(conn, line, 4);
            }
        }
        close(conn);
    });

    std::vector<char> received(image.size());
    auto start = Clock::now();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("bound: connect");
        std::exit(1);
    }
    char line[4];
    for (size_t done = 0; done < image.size();) {
        size_t n = std::min(kChunk, image.size() - done);
        RecvAll(fd, received.data() + done, n);
        done += n;
        if (done < image.size()) {
            SendAll(fd, "OK\r\n", 4);
            RecvAll(fd, line, 4);
            if (handshake)
                SendAll(fd, "OK\r\n", 4);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    sender.join();
    close(listener);
    if (!std::equal(received.begin(), received.end(), image.begin())) {
        std::fprintf(stderr, "bound: data differs\n");
        std::exit(1);
    }
    return seconds;
}

// A single-threaded blocking peer that conducts the same dialogue as the reference server with
// the least work possible: it tells the client's own share of the session time apart from the
// server's.
class MinimalPeer {
public:
    explicit MinimalPeer(const std::string& image)
        : image_(image), address_(UniqueLoopbackAddress()) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(5001);
        inet_pton(AF_INET, address_.c_str(), &sa.sin_addr);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listener_, 1) != 0) {
            std::perror("peer: listen");
            std::exit(1);
        }
        crc_ = CrcText(image);
    }
    ~MinimalPeer() { close(listener_); }
    const std::string& Address() const { return address_; }

    // Serves one session; run on its own thread.
    void Serve() {
        fd_ = accept(listener_, nullptr, nullptr);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<std::string> announced;
        for (int i = 0; i < 27; ++i) {
            announced.push_back(Line());
            Send(i == 26 ? "PASSOK\r\n" : "OK\r\n");
        }
        Send(std::to_string(image_.size()) + "\r\n");
        Line();
        Send("OK\r\n");
        // The 13 values in the record's order, from the announced values.
        const size_t order[13] = {5, 9, 11, 13, 15, 17, 1, 19, 21, 23, 25, 7, 3};
        std::string values, check;
        for (size_t index : order) {
            values += announced[index] + "\r\n";
            check += announced[index] + " ";
        }
        Send(values + check + "\r\n");
        Line();
        Send(crc_ + "\r\n");
        Line();
        for (size_t done = 0; done < image_.size();) {
            size_t n = std::min(kChunk, image_.size() - done);
            Send(image_.substr(done, n));
            done += n;
            if (done < image_.size()) {
                Line();
                Send("OK\r\n");
                Line();
            }
        }
        Line(); // AllOK
        close(fd_);
    }

private:
    void Send(const std::string& bytes) { SendAll(fd_, bytes.data(), bytes.size()); }
    std::string Line() {
        for (;;) {
            size_t end = input_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = input_.substr(0, end);
                input_.erase(0, end + 2);
                return line;
            }
            char buf[4096];
            ssize_t got = recv(fd_, buf, sizeof buf, 0);
            if (got <= 0)
                return {};
            input_.append(buf, static_cast<size_t>(got));
        }
    }

    const std::string& image_;
    std::string address_;
    std::string crc_;
    std::string input_;
    int listener_ = -1;
    int fd_ = -1;
};

// One whole session on the worker thread, as the window runs it.
double SessionSeconds(const std::string& image) {
    TCliInfo info = TestRequest();
    auto start = Clock::now();
    TUPThread worker;
    SetCliInfo(info);
    worker.Start();
    while (!WaitCliInfo(info, std::chrono::seconds(1))) {
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    worker.WaitFor();
    if (info.ResultCode != kResultSuccess ||
        info.Data->Size() != static_cast<int64_t>(image.size()) ||
        std::memcmp(image.data(), info.Data->Bytes().data(), image.size()) != 0) {
        std::fprintf(stderr, "session failed: result %u\n", info.ResultCode);
        std::exit(1);
    }
    // Let go of the shared record's 16 MiB here, not inside the next session's time.
    SetCliInfo(TCliInfo{});
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::stoi(argv[1])) : 5;
    std::string image = TestImage(kImageSize);
    TempDir catalogue;
    WriteFileBytes(catalogue / "fw.bin", image);
    WriteFileBytes(catalogue / "manifest", "firmware QX40 1.21 fw.bin\n");
    std::string address = UniqueLoopbackAddress();
    ChildProcess server({KESTREL_PATH_UPGRADE_SERVER, "--catalogue", catalogue.Path(), "--address",
                         address, "--http-port", "0", "--admin-port", "0", "--register", "none"});
    if (!server.WaitForLine("listening")) {
        std::fprintf(stderr, "upgrade-server did not start\n");
        return 1;
    }

    std::vector<double> sessions, minimal, bounds, floors;
    for (int r = 0; r < rounds; ++r) {
        bounds.push_back(BoundSeconds(image));
        floors.push_back(BoundSeconds(image, true));
        setenv("KESTREL_UPDATE_HOST", address.c_str(), 1);
        sessions.push_back(SessionSeconds(image));
        MinimalPeer peer(image);
        std::thread serving([&] { peer.Serve(); });
        setenv("KESTREL_UPDATE_HOST", peer.Address().c_str(), 1);
        minimal.push_back(SessionSeconds(image));
        serving.join();
        std::printf("round %d: session %.1f ms, with the minimal peer %.1f ms, bound %.1f ms, "
                    "protocol floor %.1f ms\n",
                    r + 1, sessions.back() * 1000, minimal.back() * 1000, bounds.back() * 1000,
                    floors.back() * 1000);
    }
    double session = Median(sessions);
    double withPeer = Median(minimal);
    double bound = Median(bounds);
    std::printf("16 MiB download (medians of %d rounds), bound %.1f ms:\n", rounds, bound * 1000);
    std::printf("  from upgrade-server: %.1f ms (%.1f MiB/s), ratio %.2f (goal <= 1.5)\n",
                session * 1000, 16 / session, session / bound);
    std::printf("  from the minimal peer: %.1f ms (%.1f MiB/s), ratio %.2f\n", withPeer * 1000,
                16 / withPeer, withPeer / bound);
    double floor = Median(floors);
    std::printf("  protocol floor (full handshake, raw sockets): %.1f ms, ratio %.2f\n",
                floor * 1000, floor / bound);
    server.Stop();
    return 0;
}
