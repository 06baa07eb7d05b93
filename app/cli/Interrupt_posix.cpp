// Interrupts on POSIX: SIGINT and SIGTERM, and a pipe that the handler writes one byte into so
// that poll() wakes up at once.
#include "Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {
// A signal handler reaches only static storage: these two are the process's interrupt state.
std::atomic<bool> raised{false}; // NOLINT(readability-identifier-naming)
int wakePipe[2] = {-1, -1};      // NOLINT(readability-identifier-naming)

static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");

extern "C" void OnSignal(int) {
    int saved = errno;
    raised.store(true);
    if (wakePipe[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(wakePipe[1], &byte, 1); // a full pipe is awake already
        (void)ignored;
    }
    errno = saved;
}
} // namespace

namespace Interrupt {

void Install() {
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        wakePipe[0] = wakePipe[1] = -1;
    // Empty the pipe and lower the flag: a fresh start.
    char drain[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], drain, sizeof drain) > 0) {
    }
    raised.store(false);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: system calls of the device and server links go on; SA_RESETHAND: the second
    // signal takes the default action.
    action.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Raised() {
    return raised.load();
}

bool WaitFor(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + limit;
    while (!Raised()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            break;
        if (wakePipe[0] < 0) {
            std::this_thread::sleep_for(left);
            break;
        }
        pollfd p{wakePipe[0], POLLIN, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    return Raised();
}

TInput ReadInput(int input, std::string& into) {
    for (;;) {
        if (Raised())
            return TInput::Interrupted;
        pollfd fds[2] = {{input, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        if (poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno != EINTR)
                return TInput::End;
            continue;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            continue;
        char buffer[512];
        ssize_t got = read(input, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return TInput::End;
        into.append(buffer, static_cast<size_t>(got));
        return TInput::Data;
    }
}

} // namespace Interrupt
