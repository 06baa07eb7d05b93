#pragma once
// A system handle that closes itself: one owner at a time (it moves, never copies), closed when
// its owner goes away, on every path. TFd holds a POSIX descriptor, TWinHandle a Windows HANDLE.
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

template <typename Traits> class TOwnedHandle {
public:
    using Value = typename Traits::Value;

    TOwnedHandle() = default;
    explicit TOwnedHandle(Value value) : value_(value) {}
    ~TOwnedHandle() { Reset(); }
    TOwnedHandle(TOwnedHandle&& other) noexcept : value_(other.Release()) {}
    TOwnedHandle& operator=(TOwnedHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    TOwnedHandle(const TOwnedHandle&) = delete;
    TOwnedHandle& operator=(const TOwnedHandle&) = delete;

    Value Get() const { return value_; }
    explicit operator bool() const { return Traits::Valid(value_); }
    // Gives the handle up without closing it.
    Value Release() { return std::exchange(value_, Traits::None()); }
    // Closes the handle held, if any, and holds `value` instead.
    void Reset(Value value = Traits::None()) {
        if (Traits::Valid(value_))
            Traits::Close(value_);
        value_ = value;
    }

private:
    Value value_ = Traits::None();
};

#ifdef _WIN32
// Both of Windows' "no handle" values count as none.
struct TWinHandleTraits {
    using Value = HANDLE;
    static Value None() { return nullptr; }
    static bool Valid(Value h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Value h) { CloseHandle(h); }
};
using TWinHandle = TOwnedHandle<TWinHandleTraits>;
#else
struct TFdTraits {
    using Value = int;
    static Value None() { return -1; }
    static bool Valid(Value fd) { return fd >= 0; }
    static void Close(Value fd) { ::close(fd); }
};
using TFd = TOwnedHandle<TFdTraits>;
#endif
