// bench-server-load: starts the reference upgrade server with a 1 MiB firmware image and runs 200
// sessions of the full dialogue at once (one blocking client thread each; all connect and
// announce before any transfer starts). Every session must end with "AllOK" after the image
// arrived whole with a matching CRC. Prints the total time and the server's peak resident memory
// (VmHWM), against the goal of 64 MiB plus the catalogue's size.
//
//   bench-server-load [--sessions N] [--size BYTES] [--server PATH]
#include "ChildProcess.h"
#include "TestData.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <latch>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Peak resident set of a process in KiB, from /proc/<pid>/status.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A blocking line client with a generous receive limit, just enough for the dialogue.
class Client {
public:
    bool Connect(const std::string& address) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(5001);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        timeval limit{120, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Send(const std::string& line) {
        std::string bytes = line + "\r\n";
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool Line(std::string& line) {
        for (;;) {
            auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            if (!Fill())
                return false;
        }
    }
    bool Bytes(size_t n, std::string& into) {
        while (buffer_.size() < n)
            if (!Fill())
                return false;
        into.append(buffer_, 0, n);
        buffer_.erase(0, n);
        return true;
    }
    bool Exchange(const std::string& line, const std::string& expected) {
        std::string reply;
        return Send(line) && Line(reply) && reply == expected;
    }
    // True when the server closes the connection.
    bool Closed() {
        char c;
        return recv(fd_, &c, 1, 0) == 0;
    }

private:
    bool Fill() {
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        buffer_.append(buf, static_cast<size_t>(n));
        return true;
    }
    int fd_ = -1;
    std::string buffer_;
};

bool Announce(Client& c, int index) {
    const std::pair<const char*, std::string> values[] = {
        {"OriginalID", "B" + std::to_string(10000000 + index)},
        {"SWVer", "1.4"},
        {"UserName", "QX40"},
        {"UPType", "3"},
        {"HVer", "2"},
        {"SVer", "1.20"},
        {"UseCount", std::to_string(index)},
        {"RegInfo", "0000001100000022"},
        {"PCInfo", "00-1A-2B-3C-4D-5E"},
        {"CID1", "01"},
        {"CID2", "02"},
        {"CID3", "03"},
        {"CID4", "04"},
    };
    for (const auto& [key, value] : values)
        if (!c.Exchange(key, "OK") || !c.Exchange(value, "OK"))
            return false;
    return c.Exchange("IDOK", "PASSOK");
}

bool Transfer(Client& c, const std::string& image) {
    std::string line;
    if (!c.Line(line) || line != std::to_string(image.size()) || !c.Exchange(line, "OK"))
        return false;
    for (int i = 0; i < 14; ++i)
        if (!c.Line(line))
            return false;
    std::string crc;
    if (!c.Send("OK") || !c.Line(crc) || !c.Send(crc))
        return false;
    std::string data;
    data.reserve(image.size());
    for (;;) {
        size_t n = std::min<size_t>(8192, image.size() - data.size());
        if (!c.Bytes(n, data))
            return false;
        if (data.size() == image.size())
            break;
        if (!c.Exchange("OK", "OK") || !c.Send("OK"))
            return false;
    }
    if (CrcText(data) != crc || data != image)
        return false;
    return c.Send("AllOK") && c.Closed();
}

} // namespace

int main(int argc, char** argv) {
    int sessions = 200;
    size_t size = 1024 * 1024;
    std::string server = KESTREL_PATH_UPGRADE_SERVER;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--sessions"))
            sessions = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--size"))
            size = static_cast<size_t>(std::atol(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--server"))
            server = argv[i + 1];
    }
    if (sessions < 1 || size < 1) {
        std::fprintf(stderr, "usage: bench-server-load [--sessions N] [--size BYTES] "
                             "[--server PATH]\n");
        return 2;
    }

    const std::string image = TestImage(size);
    TempDir catalogue;
    WriteFileBytes(catalogue / "fw.bin", image);
    WriteFileBytes(catalogue / "manifest", "firmware QX40 1.21 fw.bin\n");
    const std::string address = UniqueLoopbackAddress();
    ChildProcess process({server, "--catalogue", catalogue.Path(), "--address", address,
                          "--http-port", "0", "--max-sessions", std::to_string(sessions + 56),
                          "--max-per-peer", std::to_string(sessions + 56)});
    if (!process.ReadLine(std::chrono::seconds(60))) {
        std::fprintf(stderr, "the upgrade server did not start\n");
        return 1;
    }
    long idleKiB = PeakKiB(process.Pid());

    std::atomic<int> good{0};
    std::atomic<int> announced{0};
    std::latch allAnnounced(sessions);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(sessions));
    for (int i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] {
            Client c;
            bool ok = c.Connect(address) && Announce(c, i);
            announced += ok;
            allAnnounced.arrive_and_wait(); // every session is open before any data flows
            if (ok && Transfer(c, image))
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // The log lines come after the sessions' slots are free; read them all before measuring.
    int logged = 0;
    while (logged < sessions && process.WaitForLine("end=allok", std::chrono::seconds(60)))
        ++logged;
    long peakKiB = PeakKiB(process.Pid());
    int status = process.Stop();

    double catalogueMiB = static_cast<double>(size) / (1024.0 * 1024.0);
    double peakMiB = static_cast<double>(peakKiB) / 1024.0;
    double goalMiB = 64.0 + catalogueMiB;
    std::printf("sessions:           %d concurrent, %d announced together, %d ended with AllOK "
                "and a matching CRC (%d logged as allok)\n",
                sessions, announced.load(), good.load(), logged);
    std::printf("image:              %zu bytes\n", size);
    std::printf("total time:         %.2f s (%.1f MiB/s delivered)\n", seconds,
                catalogueMiB * good.load() / seconds);
    std::printf("server VmHWM:       %.1f MiB peak (%.1f MiB idle after start-up)\n", peakMiB,
                static_cast<double>(idleKiB) / 1024.0);
    std::printf("goal:               below %.1f MiB (64 MiB + catalogue): %s\n", goalMiB,
                peakMiB < goalMiB ? "met" : "NOT MET");
    std::printf("server exit status: %d\n", status);
    return good.load() == sessions && peakMiB < goalMiB && status == 0 ? 0 : 1;
}
