// bench-server-load: the reference upgrade server under many concurrent sessions. For each
// count of sessions (default 200, 1,000 and 10,000) it starts a server with a 256 KiB firmware
// image and runs that many sessions of the full dialogue at once: every session connects and
// announces, and none echoes its data length before all have reached it, so that all of them
// are open together during the transfers. Every session must end with "AllOK" after the image
// arrived whole, byte for byte, with a CRC that matches the server's CRC line. Prints, for each
// count, the server's peak resident memory (VmHWM), the wall time and the time per session, and
// checks the goals: peak memory below 128 MiB plus the catalogue, and the time per session no
// worse than with the first (smallest) count. Each count runs without a register (--register
// none), with the device register in an SQLite file on disk and with the register in a
// PostgreSQL database over a local socket (a throwaway cluster the benchmark starts, with
// PostgreSQL's default durability), one run after the other, in several rounds (default 3),
// whose medians are compared: the machine's other work disturbs single runs by far more than
// the register costs. With the register the time per session must stay within 1.2 times that
// without in SQLite, 1.3 times in PostgreSQL, and the register must hold every session
// afterwards.
//
// The client side is one thread with epoll, so the sessions' count costs descriptors, not
// threads. The benchmark raises its limit of open files to the hard limit (the server raises its
// own, and inherits this one); a count that needs more descriptors than the hard limit allows is
// not run, and the benchmark says so and how to raise the limit, and exits with status 1.
// The server gets caps (--max-sessions, --max-per-peer, all sessions come from one address, and
// no --connect-rate) and time limits wide enough for the held sessions.
//
//   bench-server-load [--sessions N[,N...]] [--size BYTES] [--server PATH]
//                     [--register none|sqlite|postgresql[,...]] [--rounds N]
#include "CRC16.h"
#include "ChildProcess.h"
#include "PostgresCluster.h"
#include "TestData.h"

#include <sqlite3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 8192;
// Connections being set up at once: more would overflow the server's listen queue and wait for
// SYN retransmissions instead of the server.
constexpr size_t kConnectingAtOnce = 256;
// Descriptors the benchmark needs beyond one per session (its pipes, epoll, the loader's files).
constexpr rlim_t kSpareDescriptors = 64;

// CPU time (user and system) a process has used so far, in seconds, from /proc/<pid>/stat.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name (which may hold spaces) start after its ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field); // utime, stime
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Peak resident set of a process in KiB, from /proc/<pid>/status.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Line `step` (0..26) of the announcement of session `index`.
std::string AnnouncementLine(size_t index, size_t step) {
    static const char* const kKeys[13] = {"OriginalID", "SWVer",    "UserName", "UPType", "HVer",
                                          "SVer",       "UseCount", "RegInfo",  "PCInfo", "CID1",
                                          "CID2",       "CID3",     "CID4"};
    static const char* const kValues[13] = {
        nullptr, "1.4", "QX40", "3", "2", "1.20", nullptr, "0000001100000022", "00-1A-2B-3C-4D-5E",
        "01",    "02",  "03",   "04"};
    if (step == 26)
        return "IDOK";
    size_t field = step / 2;
    if (step % 2 == 0)
        return kKeys[field];
    if (field == 0)
        return "B" + std::to_string(10000000 + index);
    if (field == 6)
        return std::to_string(index);
    return kValues[field];
}

enum class State : std::uint8_t {
    Connecting,
    Announcing, // waiting for the reply to announcement line `step`
    Length,     // waiting for the length line
    Held,       // has the length; waits until every session has it
    LengthAck,
    Values, // the 13 values and the check line
    Crc,
    Data,
    ChunkAck,
    Closing, // sent "AllOK", waits for the server to close
    Done,
    Failed,
};

struct Session {
    int fd = -1;
    State state = State::Connecting;
    size_t step = 0;
    int linesLeft = 0;
    std::string in;  // an incomplete line
    std::string out; // what the socket did not take yet
    std::string crcText;
    size_t received = 0;
    size_t chunkLeft = 0;
    uint16_t crc = kCrc16Start;
    bool watchingOut = true; // EPOLLOUT is asked for (from the connect on)
};

// All sessions of one count, driven by one epoll loop.
class Load {
public:
    Load(const std::string& address, size_t sessions, const std::string& image)
        : image_(image), lengthText_(std::to_string(image.size())), sessions_(sessions) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        server_.sin_family = AF_INET;
        server_.sin_port = htons(5001);
        inet_pton(AF_INET, address.c_str(), &server_.sin_addr);
        expectedCrc_ = CrcText(image);
    }
    ~Load() {
        for (auto& s : sessions_)
            if (s.fd >= 0)
                close(s.fd);
        close(epoll_);
    }

    // Runs every session to its end (or until nothing has moved for `stall`); the count of
    // sessions that ended well.
    size_t Run(std::chrono::seconds stall) {
        std::vector<epoll_event> events(1024);
        auto lastProgress = Clock::now();
        while (finished_ < sessions_.size()) {
            while (connecting_ < kConnectingAtOnce && next_ < sessions_.size())
                Connect(next_++);
            if (!released_ && held_ + failed_ == sessions_.size())
                Release();
            int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1000);
            if (n < 0 && errno != EINTR)
                break;
            for (int i = 0; i < n; ++i)
                Handle(events[static_cast<size_t>(i)].data.u64,
                       events[static_cast<size_t>(i)].events);
            if (n > 0)
                lastProgress = Clock::now();
            else if (Clock::now() - lastProgress > stall)
                break;
        }
        return finished_ - failed_;
    }
    size_t Announced() const { return announced_; }
    // When every session had announced and the transfers began.
    Clock::time_point ReleasedAt() const { return releasedAt_; }
    const std::string& FirstFailure() const { return firstFailure_; }

private:
    void Connect(size_t index) {
        Session& s = sessions_[index];
        ++connecting_;
        s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0)
            return Fail(s, std::string("socket: ") + std::strerror(errno));
        int one = 1;
        setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int r = connect(s.fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
        if (r != 0 && errno != EINPROGRESS)
            return Fail(s, std::string("connect: ") + std::strerror(errno));
        epoll_event e{};
        e.events = EPOLLIN | EPOLLOUT;
        e.data.u64 = index;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &e);
    }

    void Handle(size_t index, uint32_t events) {
        Session& s = sessions_[index];
        if (s.state == State::Done || s.state == State::Failed)
            return;
        if (s.state == State::Connecting) {
            int error = 0;
            socklen_t len = sizeof error;
            getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0)
                return Fail(s, std::string("connect: ") + std::strerror(error));
            if (!(events & EPOLLOUT))
                return;
            --connecting_;
            s.state = State::Announcing;
            Send(s, index, AnnouncementLine(index, 0));
        }
        if ((events & EPOLLOUT) && !s.out.empty())
            Flush(s, index);
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            Receive(s, index);
    }

    void Receive(Session& s, size_t index) {
        static char buffer[65536];
        for (;;) {
            ssize_t n = recv(s.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                Consume(s, index, buffer, static_cast<size_t>(n));
                if (s.state == State::Failed || s.state == State::Done)
                    return;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n == 0 && s.state == State::Closing)
                return End(s);
            return Fail(s, n == 0 ? "the server closed the connection"
                                  : std::string("receive: ") + std::strerror(errno));
        }
    }

    // The bytes that arrived, taken step by step.
    void Consume(Session& s, size_t index, const char* p, size_t n) {
        while (n > 0 && s.state != State::Failed) {
            if (s.state == State::Data) {
                size_t take = std::min(n, s.chunkLeft);
                const auto* bytes = reinterpret_cast<const uint8_t*>(p);
                if (std::memcmp(p, image_.data() + s.received, take) != 0)
                    return Fail(s, "data differs from the image at byte " +
                                       std::to_string(s.received));
                s.crc = Crc16Update(s.crc, bytes, take);
                s.received += take;
                s.chunkLeft -= take;
                p += take;
                n -= take;
                if (s.chunkLeft == 0)
                    ChunkDone(s, index);
                continue;
            }
            const char* end = static_cast<const char*>(std::memchr(p, '\n', n));
            size_t take = end ? static_cast<size_t>(end - p) + 1 : n;
            s.in.append(p, take);
            p += take;
            n -= take;
            if (!end)
                continue;
            if (s.in.size() < 2 || s.in[s.in.size() - 2] != '\r')
                return Fail(s, "a line without CR LF");
            s.in.resize(s.in.size() - 2);
            std::string line = std::move(s.in);
            s.in.clear();
            Line(s, index, line);
        }
    }

    void Line(Session& s, size_t index, const std::string& line) {
        switch (s.state) {
        case State::Announcing: {
            const char* expected = s.step + 1 == 27 ? "PASSOK" : "OK";
            if (line != expected)
                return Fail(s, "announcement step " + std::to_string(s.step + 1) + ": \"" + line +
                                   "\"");
            if (++s.step == 27) {
                s.state = State::Length;
                ++announced_;
            } else {
                Send(s, index, AnnouncementLine(index, s.step));
            }
            return;
        }
        case State::Length:
            if (line != lengthText_)
                return Fail(s, "length \"" + line + "\"");
            s.state = State::Held;
            ++held_;
            return;
        case State::LengthAck:
            if (line != "OK")
                return Fail(s, "length echo answered \"" + line + "\"");
            s.state = State::Values;
            s.linesLeft = 14;
            return;
        case State::Values:
            if (--s.linesLeft == 0) {
                s.state = State::Crc;
                Send(s, index, "OK");
            }
            return;
        case State::Crc:
            if (line != expectedCrc_)
                return Fail(s, "CRC line \"" + line + "\", the image's is " + expectedCrc_);
            s.crcText = line;
            s.state = State::Data;
            s.chunkLeft = std::min(kChunk, image_.size());
            Send(s, index, line);
            return;
        case State::ChunkAck:
            if (line != "OK")
                return Fail(s, "chunk handshake answered \"" + line + "\"");
            s.state = State::Data;
            s.chunkLeft = std::min(kChunk, image_.size() - s.received);
            Send(s, index, "OK");
            return;
        default:
            return Fail(s, "unexpected line \"" + line + "\"");
        }
    }

    void ChunkDone(Session& s, size_t index) {
        if (s.received < image_.size()) {
            s.state = State::ChunkAck;
            Send(s, index, "OK");
            return;
        }
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", s.crc);
        if (s.crcText != crc)
            return Fail(s, std::string("CRC of the data ") + crc + ", announced " + s.crcText);
        s.state = State::Closing;
        Send(s, index, "AllOK");
    }

    // Every session has its length (or failed): all echo it now.
    void Release() {
        released_ = true;
        releasedAt_ = Clock::now();
        for (size_t i = 0; i < sessions_.size(); ++i) {
            if (sessions_[i].state == State::Held) {
                sessions_[i].state = State::LengthAck;
                Send(sessions_[i], i, lengthText_);
            }
        }
    }

    void Send(Session& s, size_t index, const std::string& line) {
        s.out += line;
        s.out += "\r\n";
        Flush(s, index);
    }

    void Flush(Session& s, size_t index) {
        ssize_t n = send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(s, std::string("send: ") + std::strerror(errno));
        s.out.erase(0, n > 0 ? static_cast<size_t>(n) : 0);
        if (s.watchingOut == !s.out.empty())
            return;
        s.watchingOut = !s.out.empty();
        epoll_event e{};
        e.events = EPOLLIN | (s.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
        e.data.u64 = index;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &e);
    }

    void End(Session& s) {
        s.state = State::Done;
        close(s.fd);
        s.fd = -1;
        ++finished_;
    }

    void Fail(Session& s, const std::string& why) {
        if (s.state == State::Connecting)
            --connecting_;
        if (firstFailure_.empty())
            firstFailure_ = why;
        s.state = State::Failed;
        if (s.fd >= 0)
            close(s.fd);
        s.fd = -1;
        ++finished_;
        ++failed_;
    }

    const std::string& image_;
    const std::string lengthText_;
    std::string expectedCrc_;
    std::vector<Session> sessions_;
    sockaddr_in server_{};
    int epoll_ = -1;
    size_t next_ = 0;
    size_t connecting_ = 0;
    size_t announced_ = 0;
    size_t held_ = 0;
    size_t finished_ = 0;
    size_t failed_ = 0;
    bool released_ = false;
    Clock::time_point releasedAt_{};
    std::string firstFailure_;
};

// The storages of the register, and the time per session each may take, in times that without
// one.
const std::vector<std::pair<std::string, double>> kStorages = {
    {"none", 1.0}, {"sqlite", 1.2}, {"postgresql", 1.3}};

// The session rows of a register file; -1 when it cannot be read.
long long SqliteSessions(const std::string& path) {
    sqlite3* db = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sessions", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            rows = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return rows;
}

struct Figures {
    size_t sessions = 0;
    std::string storage = "none"; // of the register
    long long registerRows = 0;   // its session rows after the run
    size_t good = 0;
    double peakMiB = 0;
    double idleMiB = 0;
    double seconds = 0;
    double announceSeconds = 0; // until every session had announced
    double serverCpu = 0;       // seconds
    double clientCpu = 0;
    bool ran = false;
};

// Raises the limit of open files to what `sessions` need, up to the hard limit; false (and why)
// when the hard limit is too low.
bool EnoughDescriptors(size_t sessions, std::string& why) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t needed = static_cast<rlim_t>(sessions) + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return true;
    why = std::to_string(sessions) + " sessions need " + std::to_string(needed) +
          " open files, but the hard limit is " + std::to_string(limit.rlim_max) +
          " (raise it: ulimit -Hn as root, or nofile in /etc/security/limits.conf)";
    return false;
}

// The PostgreSQL cluster of the runs with a register there, started once they need it.
class Databases {
public:
    std::string Next() {
        if (!cluster_)
            cluster_ = std::make_unique<TPostgresCluster>(true);
        return cluster_->NewDatabase("register" + std::to_string(++made_));
    }

private:
    std::unique_ptr<TPostgresCluster> cluster_;
    int made_ = 0;
};

Figures RunCount(const std::string& server, size_t sessions, const std::string& image,
                 const std::string& catalogue, const std::string& storage, Databases& databases) {
    Figures f;
    f.sessions = sessions;
    f.storage = storage;
    TempDir state;
    const std::string registerPath = state / "register.sqlite";
    const std::string uri = storage == "sqlite"       ? "sqlite:" + registerPath
                            : storage == "postgresql" ? databases.Next()
                                                      : "none";
    std::string why;
    if (!EnoughDescriptors(sessions, why)) {
        std::fprintf(stderr, "bench-server-load: not run: %s\n", why.c_str());
        return f;
    }
    const std::string address = UniqueLoopbackAddress();
    const std::string cap = std::to_string(sessions + 16);
    ChildProcess process({server,   "--catalogue",          catalogue, "--address",
                          address,  "--http-port",          "0",       "--admin-port",
                          "0",      "--max-sessions",       cap,       "--max-per-peer",
                          cap,      "--connect-rate",       "0",       "--step-timeout-ms",
                          "600000", "--session-timeout-ms", "3600000", "--progress-window-ms",
                          "0",      "--register",           uri});
    if (!process.ReadLine(std::chrono::seconds(60))) {
        std::fprintf(stderr, "bench-server-load: the upgrade server did not start\n");
        return f;
    }
    f.idleMiB = static_cast<double>(PeakKiB(process.Pid())) / 1024.0;
    f.ran = true;

    // The server writes a log line per session: read them while the load runs, or its output
    // pipe fills up and holds every session.
    std::atomic<bool> loadDone{false};
    std::atomic<size_t> expected{0};
    size_t logged = 0;
    std::thread reader([&] {
        Clock::time_point deadline = Clock::time_point::max();
        for (;;) {
            if (loadDone.load()) {
                if (logged >= expected.load())
                    break;
                if (deadline == Clock::time_point::max())
                    deadline = Clock::now() + std::chrono::seconds(60);
                if (Clock::now() > deadline)
                    break;
            }
            auto line = process.ReadLine(std::chrono::milliseconds(200));
            if (line && line->find(" end=allok ") != std::string::npos)
                ++logged;
        }
    });
    Load load(address, sessions, image);
    const double serverCpuBefore = CpuSeconds(process.Pid());
    const double clientCpuBefore = OwnCpuSeconds();
    auto start = Clock::now();
    f.good = load.Run(std::chrono::seconds(120));
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.announceSeconds = std::chrono::duration<double>(load.ReleasedAt() - start).count();
    expected = f.good;
    loadDone = true;
    reader.join();
    if (f.good < sessions)
        std::fprintf(stderr,
                     "bench-server-load: %zu sessions: %zu announced, %zu ended well; "
                     "first failure: %s\n",
                     sessions, load.Announced(), f.good, load.FirstFailure().c_str());
    f.peakMiB = static_cast<double>(PeakKiB(process.Pid())) / 1024.0;
    f.serverCpu = CpuSeconds(process.Pid()) - serverCpuBefore;
    f.clientCpu = OwnCpuSeconds() - clientCpuBefore;
    int status = process.Stop();
    if (storage == "sqlite")
        f.registerRows = SqliteSessions(registerPath);
    if (storage == "postgresql")
        f.registerRows = std::stoll(TPostgresCluster::Query(uri, "SELECT count(*) FROM sessions"));
    if (logged < f.good || status != 0) {
        std::fprintf(stderr,
                     "bench-server-load: %zu sessions: the server logged %zu as allok "
                     "and exited with status %d\n",
                     sessions, logged, status);
        f.good = std::min(f.good, logged);
    }
    return f;
}

// A run that did not end every session well, or whose register misses some.
bool Failed(const Figures& f) {
    return !f.ran || f.good != f.sessions ||
           (f.storage != "none" && f.registerRows != static_cast<long long>(f.sessions));
}

void PrintRun(const Figures& f, double catalogueMiB) {
    if (!f.ran)
        return;
    const double n = double(f.sessions);
    std::printf("%9zu %10s %7zu %9.1f %9.1f %8.2f %10.2f %12.3f %9.3f ms %9.3f ms %8.1f\n",
                f.sessions, f.storage.c_str(), f.good, f.peakMiB, f.idleMiB, f.seconds,
                f.announceSeconds, 1000.0 * f.seconds / n, 1000.0 * f.serverCpu / n,
                1000.0 * f.clientCpu / n, catalogueMiB * double(f.good) / f.seconds);
    std::fflush(stdout);
}

// "none,postgresql": the storages named, each one known; nothing when one is not.
std::vector<std::string> ParseStorages(const std::string& text) {
    std::vector<std::string> storages;
    std::stringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        if (std::none_of(kStorages.begin(), kStorages.end(),
                         [&](const auto& s) { return s.first == part; }))
            return {};
        storages.push_back(part);
    }
    return storages;
}

std::vector<size_t> ParseCounts(const std::string& text) {
    std::vector<size_t> counts;
    std::stringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        size_t n = 0;
        const char* end = part.data() + part.size();
        if (auto [at, ec] = std::from_chars(part.data(), end, n);
            ec != std::errc() || at != end || n < 1)
            return {};
        counts.push_back(n);
    }
    return counts;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<size_t> counts = {200, 1000, 10000};
    size_t size = size_t{256} * 1024;
    std::string server = KESTREL_PATH_UPGRADE_SERVER;
    std::vector<std::string> modes = {"none", "sqlite", "postgresql"};
    int rounds = 3;
    bool usage = (argc % 2) == 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--sessions"))
            counts = ParseCounts(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--size"))
            size = static_cast<size_t>(std::stol(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--server"))
            server = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::stoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--register"))
            modes = ParseStorages(argv[i + 1]);
        else
            usage = true;
    }
    if (usage || counts.empty() || modes.empty() || size < 1 || size > size_t{64} * 1024 * 1024) {
        std::fprintf(stderr, "usage: bench-server-load [--sessions N[,N...]] [--size BYTES] "
                             "[--server PATH] [--register none|sqlite|postgresql[,...]] "
                             "[--rounds N]\n");
        return 2;
    }

    const std::string image = TestImage(size);
    TempDir catalogue;
    WriteFileBytes(catalogue / "fw.bin", image);
    WriteFileBytes(catalogue / "manifest", "firmware QX40 1.21 fw.bin\n");
    const double catalogueMiB = static_cast<double>(size) / (1024.0 * 1024.0);
    const double goalMiB = 128.0 + catalogueMiB;

    std::printf("image %zu bytes; every session held open until all have announced; %u cores\n",
                size, std::thread::hardware_concurrency());
    // Wall time per session is the figure of the goal; the CPU times per session (the server's,
    // the client's) tell it apart from what other programs on the machine took meanwhile.
    std::printf("%9s %10s %7s %9s %9s %8s %10s %12s %12s %12s %8s\n", "sessions", "register",
                "AllOK", "peak MiB", "idle MiB", "wall s", "announce s", "ms/session", "server CPU",
                "client CPU", "MiB/s");
    // Per count and mode the median round: one run disturbed by other programs on the machine,
    // for better or worse, does not decide. A failed round makes the figure a failure; memory
    // is the highest of all rounds.
    std::vector<Figures> all;
    Databases databases;
    for (size_t count : counts) {
        std::vector<std::vector<Figures>> runs(modes.size());
        for (int round = 0; round < rounds; ++round) {
            for (size_t m = 0; m < modes.size(); ++m) {
                runs[m].push_back(
                    RunCount(server, count, image, catalogue.Path(), modes[m], databases));
                PrintRun(runs[m].back(), catalogueMiB);
            }
        }
        for (auto& mode : runs) {
            std::sort(mode.begin(), mode.end(),
                      [](const Figures& a, const Figures& b) { return a.seconds < b.seconds; });
            Figures median = mode[mode.size() / 2];
            double peak = 0;
            for (const Figures& f : mode) {
                peak = std::max(peak, f.peakMiB);
                if (Failed(f) && !Failed(median))
                    median = f;
            }
            median.peakMiB = peak;
            all.push_back(median);
        }
    }

    bool ok = true;
    auto perSession = [](const Figures& f) { return f.seconds / double(f.sessions); };
    for (const Figures& f : all) {
        const std::string mode =
            f.storage == "none" ? "without a register" : "with the register in " + f.storage;
        if (!f.ran || f.good != f.sessions) {
            std::printf("%zu sessions %s: NOT all ended with AllOK and a matching CRC\n",
                        f.sessions, mode.c_str());
            ok = false;
            continue;
        }
        bool memory = f.peakMiB < goalMiB;
        std::printf("%zu sessions %s: peak %.1f MiB, goal below %.1f MiB (128 MiB + catalogue): "
                    "%s\n",
                    f.sessions, mode.c_str(), f.peakMiB, goalMiB, memory ? "met" : "NOT MET");
        ok = ok && memory;
        // The first count of the same mode.
        const Figures& first = *std::find_if(
            all.begin(), all.end(), [&](const Figures& g) { return g.storage == f.storage; });
        if (&f != &first && first.ran) {
            bool time = perSession(f) <= perSession(first);
            std::printf("%zu sessions %s: %.3f ms per session, %.2f times that at %zu: %s\n",
                        f.sessions, mode.c_str(), 1000.0 * perSession(f),
                        perSession(f) / perSession(first), first.sessions,
                        time ? "no worse" : "WORSE");
            ok = ok && time;
        }
        if (f.storage == "none")
            continue;
        bool whole = f.registerRows == static_cast<long long>(f.sessions);
        std::printf("%zu sessions: the register in %s holds %lld session rows: %s\n", f.sessions,
                    f.storage.c_str(), f.registerRows, whole ? "every one" : "NOT every one");
        ok = ok && whole;
        // The same count without a register, run just before.
        auto plain = std::find_if(all.begin(), all.end(), [&](const Figures& g) {
            return g.storage == "none" && g.sessions == f.sessions && g.ran;
        });
        if (plain != all.end()) {
            double ratio = perSession(f) / perSession(*plain);
            double cost = std::find_if(kStorages.begin(), kStorages.end(), [&](const auto& s) {
                              return s.first == f.storage;
                          })->second;
            bool cheap = ratio <= cost;
            std::printf("%zu sessions: %.3f ms per session %s, %.3f without: %.2f times, goal "
                        "at most %.1f: %s\n",
                        f.sessions, 1000.0 * perSession(f), mode.c_str(),
                        1000.0 * perSession(*plain), ratio, cost, cheap ? "met" : "NOT MET");
            ok = ok && cheap;
        }
    }
    return ok ? 0 : 1;
}
