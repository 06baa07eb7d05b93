#include "LineReader.h"

#include "Deadline.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

TLineReader::TLineReader(int fd, std::string eol) : fd_(fd), eol_(std::move(eol)) {}

void TLineReader::Attach(int fd) {
    fd_ = fd;
    closed_ = false;
}

bool TLineReader::Fill(std::chrono::steady_clock::time_point until) {
    if (fd_ < 0 || closed_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, MillisLeft(until));
    if (ready < 0 && errno == EINTR)
        return true; // nothing read, but the caller's deadline has not passed: try again
    if (ready <= 0)
        return false;
    char chunk[16384];
    ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0) { // end of data; EIO on a pseudo-terminal whose other side has gone
        closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
}

void TLineReader::Drain() {
    while (Fill(std::chrono::steady_clock::now())) {
    }
}

std::optional<std::string> TLineReader::ReadLine(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto end = buffer_.find(eol_);
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + eol_.size());
            return line;
        }
        if (!Fill(until))
            return std::nullopt;
    }
}

std::optional<std::string> TLineReader::WaitForLine(const std::string& needle,
                                                    std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto line = ReadLine(std::chrono::milliseconds(MillisLeft(until)));
        if (!line || line->find(needle) != std::string::npos)
            return line;
    }
}

bool TLineReader::Await(size_t n, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (buffer_.size() < n)
        if (!Fill(until))
            return false;
    return true;
}

std::optional<std::string> TLineReader::ReadBytes(size_t n, std::chrono::milliseconds limit) {
    if (!Await(n, limit))
        return std::nullopt;
    return Take(n);
}

bool TLineReader::ReadToClose(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (Fill(until)) {
    }
    return closed_;
}

std::string TLineReader::Take(size_t n) {
    std::string bytes = buffer_.substr(0, n);
    buffer_.erase(0, bytes.size());
    return bytes;
}
