// Interrupts on POSIX: SIGINT and SIGTERM, and a pipe that the handler writes one byte into so
// that poll() wakes up at once. A stop ends the process from the handler with _exit: the kernel
// closes the port and the connection.
#include "Interrupt.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {
// A signal handler reaches only static storage: the wake-up pipe (the flag is Interrupt.cpp's).
int wakePipe[2] = {-1, -1}; // NOLINT(readability-identifier-naming)

extern "C" void OnSignal(int) {
    int saved = errno;
    if (Interrupt::Stops(Interrupt::Detail::Handle()))
        _exit(Interrupt::StoppedStatus);
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
    Detail::ResetState();

    struct sigaction action {};
    action.sa_handler = OnSignal;
    // One handler at a time: SIGINT and SIGTERM never interleave their counts and lines.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    // SA_RESTART: system calls of the device and server links go on.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

namespace Detail {
void WriteRaw(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nobody reads any more: nothing to tell
        bytes += written;
        size -= static_cast<size_t>(written);
    }
}

void WaitForWake(std::chrono::milliseconds limit) {
    if (wakePipe[0] < 0) {
        std::this_thread::sleep_for(limit);
        return;
    }
    pollfd p{wakePipe[0], POLLIN, 0};
    poll(&p, 1, static_cast<int>(limit.count()));
}
} // namespace Detail

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
