#pragma once
// A growable in-memory byte stream with a position: the data block of an upgrade request.
// Copies of the request share one stream through TStreamRef.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class TMemoryStream {
public:
    int64_t Size() const { return static_cast<int64_t>(bytes_.size()); }
    // Grows with zero bytes or truncates; the position is kept (clamped to the new size).
    void SetSize(int64_t size) {
        bytes_.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
        position_ = std::min(position_, Size());
    }
    int64_t Position() const { return position_; }
    void Seek(int64_t position) { position_ = std::clamp<int64_t>(position, 0, Size()); }
    // Reads up to n bytes from the position; returns how many were read.
    size_t Read(uint8_t* into, size_t n) {
        size_t take = std::min(n, static_cast<size_t>(Size() - position_));
        if (take)
            std::memcpy(into, bytes_.data() + position_, take);
        position_ += static_cast<int64_t>(take);
        return take;
    }
    // Writes n bytes at the position, growing the stream as needed.
    void Write(const uint8_t* from, size_t n) {
        size_t end = static_cast<size_t>(position_) + n;
        if (end > bytes_.size())
            bytes_.resize(end);
        if (n)
            std::memcpy(bytes_.data() + position_, from, n);
        position_ = static_cast<int64_t>(end);
    }
    // Write without a source: makes room for n bytes at the position as Write does (growing the
    // stream with zero bytes as needed), moves the position past them and returns where they
    // are, for the caller to fill in place (e.g. straight from a socket). The pointer is valid
    // until the stream grows beyond its capacity.
    uint8_t* WriteInPlace(size_t n) {
        size_t start = static_cast<size_t>(position_);
        if (start + n > bytes_.size())
            bytes_.resize(start + n);
        position_ = static_cast<int64_t>(start + n);
        return bytes_.data() + start;
    }
    // Room for `capacity` bytes in all, so that growing up to it moves nothing; size, position
    // and content stay as they are.
    void Reserve(int64_t capacity) {
        if (capacity > 0)
            bytes_.reserve(static_cast<size_t>(capacity));
    }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

using TStreamRef = std::shared_ptr<TMemoryStream>;
