// qx40-sim: a QX40 device on a pseudo-terminal. Prints the path of its serial end, then serves
// the device link until it is terminated.
#include "OwnedHandle.h"
#include "Qx40Device.h"
#include "SimOptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <unistd.h>

namespace {
using namespace qx40sim;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One byte on a 500000 bit/s 8N1 line: start bit, 8 data bits, stop bit.
constexpr auto kByteTime = 20us;
// A frame whose bytes stop coming for this long is discarded as stray input, so that the rest
// of a frame cut short (the host gave up, or discarded its unsent output) never merges with the
// next frame. The host sends a frame's bytes at most some microseconds apart and waits 100 ms
// after opening the port before its first command.
constexpr auto kFrameGap = 75ms;

void Log(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Sleeps most of the way and spins the rest: nanosleep alone overshoots by tens of
// microseconds, which would add up over a thousand frames.
void SleepUntil(Clock::time_point t) {
    constexpr auto kSpin = 100us;
    auto now = Clock::now();
    if (t - now > kSpin) {
        auto wake =
            std::chrono::duration_cast<std::chrono::nanoseconds>((t - kSpin).time_since_epoch())
                .count();
        timespec ts{time_t(wake / 1000000000), long(wake % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (Clock::now() < t) {
    }
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

void DiscardIncomplete(TFrameReader& reader) {
    Log("incomplete frame discarded: " +
        HexBytes(reader.Pending().data(), reader.Pending().size()));
    reader.Reset();
}

class TSerialEnd {
public:
    TSerialEnd(int master, bool lineRate) : master_(master), lineRate_(lineRate) {}

    // Notes the arrival of one byte read at `now`; on an emulated line it has arrived only
    // once the previous byte has and its own 20 us have passed.
    void Received(Clock::time_point now) {
        if (lineRate_)
            rxDone_ = std::max(rxDone_, now) + kByteTime;
    }

    // Sends an answer that may start once the frame it answers has fully arrived.
    void Send(const std::vector<uint8_t>& bytes) {
        if (bytes.empty())
            return;
        bool ok = true;
        if (!lineRate_) {
            ok = WriteAll(master_, bytes.data(), bytes.size());
        } else {
            for (uint8_t b : bytes) {
                auto t = std::max(txFree_, rxDone_) + kByteTime;
                SleepUntil(t);
                ok = ok && WriteAll(master_, &b, 1);
                txFree_ = t;
            }
        }
        if (!ok)
            Log(std::string("write to the serial end failed: ") + std::strerror(errno));
    }

private:
    int master_;
    bool lineRate_;
    Clock::time_point rxDone_{};
    Clock::time_point txFree_{};
};

// The pseudo-terminal: its master end, which the simulator serves, and its slave end, which the
// tool opens by `path`. Both stay open while the simulator serves, and close with the object.
struct TPseudoTerminal {
    TFd master;
    TFd slave; // declared after the master end, so closed before it
    std::string path;
};

// Makes the pseudo-terminal; on failure says why on standard error.
bool OpenPseudoTerminal(TPseudoTerminal& pty) {
    pty.master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master || grantpt(pty.master.Get()) != 0 || unlockpt(pty.master.Get()) != 0) {
        std::perror("qx40-sim: pseudo-terminal");
        return false;
    }
    const char* name = ptsname(pty.master.Get());
    if (!name) {
        std::perror("qx40-sim: ptsname");
        return false;
    }
    pty.path = name;
    // Our own open slave keeps the terminal alive while the tool closes and reopens its end,
    // as a USB bridge stays plugged in. Its settings are left for the tool to make.
    pty.slave.Reset(open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.slave) {
        std::perror("qx40-sim: opening the serial end");
        return false;
    }
    return true;
}

// Says which --bad-sum codes change nothing: only the queries' 12-byte replies carry a sum.
void NoteIneffectiveBadSums(const std::set<uint8_t>& badSum) {
    for (uint8_t code : badSum)
        if (!IsQuery(code)) {
            char b[96];
            std::snprintf(b, sizeof b, "note: --bad-sum %02X has no effect (no 12-byte reply)",
                          code);
            Log(b);
        }
}

// How long to wait for input: without end, or until a frame that has begun has been quiet for
// kFrameGap.
int PollTimeout(const TFrameReader& reader, Clock::time_point lastByte) {
    if (reader.Pending().empty())
        return -1;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastByte + kFrameGap - Clock::now());
    return std::max<int>(0, int(left.count()) + 1);
}

// Serves the device link on the master end until polling or reading it fails; returns the exit
// status.
int Serve(int master, TQx40Device& device, bool lineRate) {
    TSerialEnd line(master, lineRate);
    TFrameReader reader;
    Clock::time_point lastByte{};
    uint8_t buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        int r = poll(&p, 1, PollTimeout(reader, lastByte));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            std::perror("qx40-sim: poll");
            return 1;
        }
        if (r == 0) {
            DiscardIncomplete(reader);
            continue;
        }
        ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // Only when our own slave is gone, which does not happen while we hold it.
            Log(std::string("serial end closed: ") + std::strerror(errno));
            return 1;
        }
        auto now = Clock::now();
        if (!reader.Pending().empty() && now - lastByte > kFrameGap) {
            DiscardIncomplete(reader);
        }
        lastByte = now;
        for (ssize_t i = 0; i < n; ++i) {
            line.Received(lastByte);
            if (reader.Push(buf[i]))
                line.Send(device.HandleFrame(reader.Take()));
        }
    }
}

int Simulate(int argc, char** argv) {
    TSimOptions opts;
    std::string error;
    if (!ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), opts, error)) {
        std::fprintf(stderr, "qx40-sim: %s\n%s", error.c_str(), SimUsage().c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    if (opts.version) {
        std::printf("qx40-sim %s\n", KESTREL_VERSION);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    TPseudoTerminal pty;
    if (!OpenPseudoTerminal(pty))
        return 1;
    Log(pty.path);
    NoteIneffectiveBadSums(opts.config.badSum);
    TQx40Device device(opts.config, Log);
    return Serve(pty.master.Get(), device, opts.config.lineRate);
}
} // namespace

int main(int argc, char** argv) {
    // Whatever fails (memory, writing the image), the simulator ends with one line that says
    // what.
    try {
        return Simulate(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qx40-sim: stopped by an unexpected failure: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "qx40-sim: stopped by an unexpected failure\n");
    }
    return 1;
}
