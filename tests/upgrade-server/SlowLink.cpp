#include "SlowLink.h"

#include "Deadline.h"
#include "RawClient.h"
#include "TestFiles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

// What the link takes from a sender before it holds the rest back, as a TCP window would.
constexpr size_t kWindow = size_t{64} * 1024;
// Bytes read at once leave the link together, a packet at a time.
constexpr size_t kPacket = 1000;

// Bytes on their way, and when they arrive.
struct Piece {
    Clock::time_point due;
    std::string bytes;
};

// One direction of one connection.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Piece> queue{};
    size_t queued = 0;
    Clock::time_point lineFree{}; // when the line has sent all it took
    bool ended = false;           // `from` closed its sending side
    bool shut = false;            // ...and so has the link towards `to`, all sent
    bool waitsToWrite = false;

    // Reads what `from` has sent, as long as the window has room; false on a failure.
    bool Take(Clock::time_point now, std::chrono::milliseconds delay, uint64_t rate) {
        char buffer[kPacket];
        while (!ended && queued < kWindow) {
            ssize_t n = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) {
                ended = true;
            } else if (n < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK;
            } else {
                auto size = static_cast<size_t>(n);
                lineFree =
                    std::max(lineFree, now) +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(size) / static_cast<double>(rate)));
                queue.push_back({lineFree + delay, std::string(buffer, size)});
                queued += size;
            }
        }
        return true;
    }

    // Sends on to `to` what has arrived; false on a failure.
    bool Give(Clock::time_point now) {
        waitsToWrite = false;
        while (!queue.empty() && queue.front().due <= now) {
            std::string& bytes = queue.front().bytes;
            ssize_t n = send(to, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                waitsToWrite = errno == EAGAIN || errno == EWOULDBLOCK;
                return waitsToWrite;
            }
            queued -= static_cast<size_t>(n);
            bytes.erase(0, static_cast<size_t>(n));
            if (bytes.empty())
                queue.pop_front();
        }
        if (queue.empty() && ended && !shut) {
            shutdown(to, SHUT_WR);
            shut = true;
        }
        return true;
    }
};

struct Relay {
    Direction up;   // client to server
    Direction down; // server to client
    bool broken = false;
};

sockaddr_in Endpoint(const std::string& ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    return sa;
}
} // namespace

TSlowLink::TSlowLink(const std::string& server, uint16_t port, const std::string& from,
                     std::chrono::milliseconds delay, uint64_t bytesPerSecond)
    : server_(server), serverPort_(port), from_(from), delay_(delay), rate_(bytesPerSecond),
      address_(UniqueLoopbackAddress()) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = Endpoint(address_, 0);
    socklen_t length = sizeof local;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        close(listener_);
        throw std::runtime_error("the slow link cannot listen on " + address_);
    }
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TSlowLink::~TSlowLink() {
    char stop = 0;
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

void TSlowLink::Run() {
    std::list<Relay> relays;
    for (;;) {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (auto it = relays.begin(); it != relays.end();) {
            for (Direction* d : {&it->up, &it->down}) {
                it->broken = it->broken || !d->Give(now);
                if (!d->queue.empty() && !d->waitsToWrite)
                    next = std::min(next, d->queue.front().due);
            }
            if (it->broken || (it->up.shut && it->down.shut)) {
                close(it->up.from);
                close(it->up.to);
                it = relays.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (Relay& r : relays) {
            for (Direction* d : {&r.up, &r.down}) {
                short read = !d->ended && d->queued < kWindow ? POLLIN : 0;
                fds.push_back({d->from, read, 0});
                fds.push_back({d->to, static_cast<short>(d->waitsToWrite ? POLLOUT : 0), 0});
            }
        }
        poll(fds.data(), fds.size(), next == Clock::time_point::max() ? -1 : MillisLeft(next) + 1);
        if (fds[0].revents != 0)
            return;
        const auto later = Clock::now();
        if (fds[1].revents & POLLIN) {
            int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            int upstream = client >= 0 ? ConnectFrom(from_, server_, serverPort_) : -1;
            if (upstream < 0 && client >= 0) {
                close(client);
            } else if (client >= 0) {
                relays.push_back({{client, upstream}, {upstream, client}});
            }
        }
        for (Relay& r : relays)
            for (Direction* d : {&r.up, &r.down})
                r.broken = r.broken || !d->Take(later, delay_, rate_);
    }
}
