#include "Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
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

int WakeFd() {
    return wakePipe[0];
}

} // namespace Interrupt
