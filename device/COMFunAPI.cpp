// The portable half of the serial port layer: the handle table, the refusal rules, the waits.
#include "COMFunAPI.h"
#include "TimeLimits.h"
#include "WindowLink.h"
#include <algorithm>
#include <cerrno>
#include <thread>

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using namespace std::chrono_literals;
using comsys::EmptyHandle;
using comsys::Handle;
using comsys::InvalidHandle;

namespace {

bool InRange(int32_t port) {
    return port >= 1 && port <= ComPortCount;
}

} // namespace

TComPorts::~TComPorts() {
    for (Handle h : ComHandle)
        if (h != EmptyHandle && h != InvalidHandle)
            comsys::Close(h);
}

// A port number outside 1..256, or one whose last open failed.
bool TComPorts::Refused(int32_t port) const {
    return !InRange(port) || ComHandle[static_cast<size_t>(port - 1)] == InvalidHandle;
}

void TComPorts::Pump(bool noPump) {
    if (!noPump)
        window_.ProcessMessages();
}

// Remainders shorter than SpinBelow are spun away; longer waits sleep in slices, so the pump
// runs often enough for a live window while the processor stays free.
void TComPorts::WaitUntil(steady_clock::time_point deadline, bool noPump) {
    for (;;) {
        if (comsys::Now() >= deadline)
            return;
        Pump(noPump);
        auto left = duration_cast<microseconds>(deadline - comsys::Now());
        if (left > DeviceLimits::SpinBelow)
            comsys::SleepFor(std::min(DeviceLimits::PumpSlice, left - DeviceLimits::SpinBelow));
        else
            std::this_thread::yield();
    }
}

bool TComPorts::OpenCom(int32_t port, int32_t baud) {
    ComOpenCount = 1;
    lastOpenError_ = ENOENT;
    if (!InRange(port))
        return false;
    Handle& entry = Entry(port);
    // A handle still held from an open that was never closed would keep the port locked
    // against this very open: release it first.
    if (entry != EmptyHandle && entry != InvalidHandle)
        comsys::Close(entry);
    errno = 0;
    entry = comsys::Open(port, baud, ComLineCode);
    lastOpenError_ = entry == InvalidHandle ? (errno != 0 ? errno : EIO) : 0;
    return entry != InvalidHandle;
}

bool TComPorts::CloseCom(int32_t port) {
    if (Refused(port) || ComOpenCount != 1)
        return false;
    comsys::Close(Entry(port)); // an empty entry's close fails; the close still counts
    Entry(port) = EmptyHandle;
    ++ComOpenCount;
    return true;
}

void TComPorts::SetComDTR(int32_t port, int32_t state) {
    if (Refused(port) || (state != 0 && state != 1))
        return;
    comsys::SetDtr(Entry(port), state == 1); // a pseudo-terminal refuses; that is fine
}

bool TComPorts::WriteComByte(int32_t port, uint8_t value) {
    if (Refused(port))
        return false;
    return comsys::WriteBytes(Entry(port), &value, 1);
}

int32_t TComPorts::ReadComByte(int32_t port) {
    if (Refused(port))
        return -1;
    uint8_t value = 0;
    if (!comsys::ReadBytes(Entry(port), &value, 1))
        return 0;
    return value;
}

bool TComPorts::WriteComBuf(int32_t port, const uint8_t* buf, int32_t last) {
    if (Refused(port))
        return false;
    if (last < 0)
        return true;
    if (!buf)
        return false;
    return comsys::WriteBytes(Entry(port), buf, static_cast<size_t>(last) + 1);
}

bool TComPorts::ReadComBuf(int32_t port, uint8_t* buf, int32_t count) {
    if (Refused(port))
        return false;
    if (count <= 0)
        return true;
    if (!buf)
        return false;
    return comsys::ReadBytes(Entry(port), buf, static_cast<size_t>(count));
}

bool TComPorts::ReadComWithin(int32_t port, uint8_t* buf, int32_t count, TReadLimit limit) {
    for (int poll = 0; poll < limit.polls; ++poll) {
        if (ComInCount(port) >= count)
            return ReadComBuf(port, buf, count);
        DelayMs(limit.pause);
    }
    return false;
}

int32_t TComPorts::ComInCount(int32_t port) {
    if (Refused(port))
        return 0;
    return std::max<int32_t>(comsys::InCount(Entry(port)), 0);
}

bool TComPorts::ClearCom(int32_t port, int32_t kind) {
    if (Refused(port))
        return false;
    if (kind == 0 || kind == 2)
        comsys::Purge(Entry(port), comsys::Queue::Input);
    if (kind == 1 || kind == 2)
        comsys::Purge(Entry(port), comsys::Queue::Output);
    return true;
}

void TComPorts::DelayMs(milliseconds ms, bool noPump) {
    auto start = comsys::Now();
    WaitUntil(start + ms + DeviceLimits::DelayMsExtra, noPump);
}

void TComPorts::DelayUs(microseconds us, bool noPump) {
    auto start = comsys::Now();
    WaitUntil(start + us, noPump);
}

bool TComPorts::WaitComInput(int32_t port, microseconds limit, bool noPump) {
    if (Refused(port) || Entry(port) == EmptyHandle)
        return false;
    auto deadline = comsys::Now() + limit;
    for (;;) {
        int32_t waiting = comsys::InCount(Entry(port));
        if (waiting != 0)
            return waiting > 0; // a failed query means the line is gone
        auto now = comsys::Now();
        if (now >= deadline)
            return false;
        Pump(noPump);
        auto slice =
            std::min(DeviceLimits::InputSlice, duration_cast<microseconds>(deadline - now));
        if (comsys::WaitReadable(Entry(port), std::max(slice, microseconds{1})) ==
            comsys::WaitResult::Failed)
            return ComInCount(port) > 0;
    }
}

TOpenCom::~TOpenCom() {
    if (closed_)
        return;
    if (clearDtr_)
        com_.SetComDTR(port_, 0);
    com_.CloseCom(port_);
}

bool TOpenCom::Close() {
    closed_ = true;
    return com_.CloseCom(port_);
}
