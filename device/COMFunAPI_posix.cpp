// The serial port layer on POSIX terminals (USB-serial bridges, built-in ports, pseudo-terminals).
#include "COMFunAPI_posix.h"
#include "ComSystem.h"
#include "OwnedHandle.h"
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef CMSPAR // no stick parity on this system: mark and space fall back to odd and even
#define CMSPAR 0
#endif

namespace comsys {

namespace {

int Fd(Handle h) {
    return h == InvalidHandle ? -1 : static_cast<int>(h);
}

} // namespace

void MakeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

void ApplyLineCode(termios& t, uint8_t lineCode) {
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[lineCode & 3];
    if (lineCode & 4)
        t.c_cflag |= CSTOPB;
    else
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    constexpr tcflag_t parityBits = PARENB | PARODD | CMSPAR;
    switch ((lineCode >> 3) & 7) {
    case 0: // none
        t.c_cflag &= ~parityBits;
        break;
    case 1: // odd
        t.c_cflag = (t.c_cflag & ~parityBits) | PARENB | PARODD;
        break;
    case 3: // even
        t.c_cflag = (t.c_cflag & ~parityBits) | PARENB;
        break;
    case 5: // mark: a stick parity bit of 1
        t.c_cflag = (t.c_cflag & ~parityBits) | PARENB | CMSPAR | PARODD;
        break;
    case 7: // space: a stick parity bit of 0
        t.c_cflag = (t.c_cflag & ~parityBits) | PARENB | CMSPAR;
        break;
    default: // 010, 100, 110: the port's parity stays
        break;
    }
}

speed_t SpeedOf(int32_t baud) {
    struct Rate {
        int32_t baud;
        speed_t speed;
    };
    static constexpr Rate rates[] = {
        {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
#ifdef B1152000
        {1152000, B1152000},
#endif
#ifdef B1500000
        {1500000, B1500000},
#endif
#ifdef B2000000
        {2000000, B2000000},
#endif
#ifdef B3000000
        {3000000, B3000000},
#endif
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    for (const Rate& r : rates)
        if (r.baud == baud)
            return r.speed;
    return B0;
}

Handle Open(const std::string& path, int32_t baud, uint8_t lineCode) {
    // Non-blocking only for the open itself, so a port without carrier does not hold it up.
    TFd held(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!held)
        return InvalidHandle; // errno from the open
    const int fd = held.Get();
    // Exclusive: the advisory lock keeps out every other user of this layer (root included,
    // whom TIOCEXCL does not stop); TIOCEXCL keeps out other programs' opens. A refused port
    // closes before the error number is set, so the close cannot change it.
    if (!isatty(fd)) {
        held.Reset();
        errno = ENOTTY;
        return InvalidHandle;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        held.Reset();
        errno = EBUSY; // another holder of the lock
        return InvalidHandle;
    }
    ioctl(fd, TIOCEXCL);

    // Speed and format are set as far as the port accepts them; failures are not fatal.
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        MakeRaw(t);
        ApplyLineCode(t, lineCode);
        if (speed_t speed = SpeedOf(baud); speed != B0)
            cfsetspeed(&t, speed);
        tcsetattr(fd, TCSANOW, &t);
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    // Stale input goes. Output is left alone: a serial line drains it when the previous user
    // closes, so there is none here, while on a pseudo-terminal an output purge would throw away
    // what the last session wrote and the peer has not read yet.
    tcflush(fd, TCIFLUSH);
    return held.Release();
}

bool Close(Handle h) {
    int fd = Fd(h);
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    // The exclusive flag lives on the terminal, which a pseudo-terminal keeps beyond this close.
    ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}

bool WriteBytes(Handle h, const uint8_t* data, size_t n) {
    int fd = Fd(h);
    while (n > 0) {
        ssize_t done = ::write(fd, data, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool ReadBytes(Handle h, uint8_t* into, size_t n) {
    int fd = Fd(h);
    while (n > 0) {
        ssize_t done = ::read(fd, into, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) // an error, or end of file on a hung-up line
            return false;
        into += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

int32_t InCount(Handle h) {
    int count = 0;
    if (ioctl(Fd(h), FIONREAD, &count) != 0)
        return -1;
    return count;
}

bool Purge(Handle h, Queue queue) {
    return tcflush(Fd(h), queue == Queue::Input ? TCIFLUSH : TCOFLUSH) == 0;
}

bool SetDtr(Handle h, bool on) {
    int bits = TIOCM_DTR;
    return ioctl(Fd(h), on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

WaitResult WaitReadable(Handle h, std::chrono::microseconds limit) {
    pollfd p{Fd(h), POLLIN, 0};
    if (p.fd < 0)
        return WaitResult::Failed;
    auto us = limit.count() < 0 ? 0 : limit.count();
    timespec timeout{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    int ready = ppoll(&p, 1, &timeout, nullptr);
    if (ready < 0)
        return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
    if (ready == 0)
        return WaitResult::TimedOut;
    // A hung-up terminal reports itself readable for ever, without data: that is a failure.
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return WaitResult::Failed;
    return WaitResult::Readable;
}

void SleepFor(std::chrono::microseconds d) {
    auto us = d.count() < 0 ? 0 : d.count();
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::chrono::steady_clock::time_point Now() {
    return std::chrono::steady_clock::now();
}

} // namespace comsys
