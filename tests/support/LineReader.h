#pragma once
// Buffered reads from a descriptor (a pipe, a socket, a pseudo-terminal) that end by a deadline:
// lines, exact byte counts, or everything until the other end closes. The descriptor stays its
// owner's; what arrived and was not taken yet stays in the buffer.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

class TLineReader {
public:
    // `eol` ends a line: "\n" for program output, "\r\n" for the upgrade dialogue.
    explicit TLineReader(int fd = -1, std::string eol = "\n");

    // Reads from `fd` from now on (-1: from nothing); the buffer stays.
    void Attach(int fd);
    int Fd() const { return fd_; }
    // The other end has closed (or the descriptor failed): nothing more will arrive.
    bool Closed() const { return closed_; }

    // The next line without its end; nothing when the other end closed or no whole line came
    // within `limit`.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit);
    // Reads lines until one contains `needle` and returns that one (earlier lines are dropped).
    std::optional<std::string> WaitForLine(const std::string& needle,
                                           std::chrono::milliseconds limit);
    // Exactly n bytes, or nothing (and nothing taken) when fewer came within `limit`.
    std::optional<std::string> ReadBytes(size_t n, std::chrono::milliseconds limit);
    // Reads until at least n bytes are buffered; false when the other end closed or `limit`
    // passed first.
    bool Await(size_t n, std::chrono::milliseconds limit);
    // Reads until the other end closes (true) or `limit` passes (false).
    bool ReadToClose(std::chrono::milliseconds limit);
    // One read of what arrives by `until`; false when nothing did (time, end of data, no
    // descriptor).
    bool Fill(std::chrono::steady_clock::time_point until);
    // Reads everything waiting now, without blocking.
    void Drain();

    const std::string& Buffered() const { return buffer_; }
    // Removes and returns up to n buffered bytes.
    std::string Take(size_t n = std::string::npos);

private:
    int fd_;
    std::string eol_;
    std::string buffer_;
    bool closed_ = false;
};
