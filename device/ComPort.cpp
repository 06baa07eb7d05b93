// The portable half of the serial port layer: the port object, the refusal rules, the waits.
#include "ComPort.h"
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
using comsys::InvalidHandle;

TComPort::~TComPort() {
    if (IsOpen() && clearDtr_)
        SetComDTR(0);
    CloseCom();
}

void TComPort::Pump(bool noPump) {
    if (!noPump)
        window_.ProcessMessages();
}

// Remainders shorter than SpinBelow are spun away; longer waits sleep in slices, so the pump
// runs often enough for a live window while the processor stays free.
void TComPort::WaitUntil(steady_clock::time_point deadline, bool noPump) {
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

bool TComPort::OpenCom(const std::string& path, int32_t baud) {
    // A handle still held would keep the device locked against this very open.
    CloseCom();
    clearDtr_ = false;
    if (path.empty()) {
        lastOpenError_ = ENOENT;
        return false;
    }
    errno = 0;
    handle_ = comsys::Open(path, baud, ComLineCode);
    lastOpenError_ = IsOpen() ? 0 : (errno != 0 ? errno : EIO);
    return IsOpen();
}

bool TComPort::CloseCom() {
    if (!IsOpen())
        return false;
    comsys::Close(handle_);
    handle_ = InvalidHandle;
    return true;
}

void TComPort::SetComDTR(int32_t state) {
    if (!IsOpen() || (state != 0 && state != 1))
        return;
    comsys::SetDtr(handle_, state == 1); // a pseudo-terminal refuses; that is fine
}

bool TComPort::WriteComByte(uint8_t value) {
    return IsOpen() && comsys::WriteBytes(handle_, &value, 1);
}

int32_t TComPort::ReadComByte() {
    if (!IsOpen())
        return -1;
    uint8_t value = 0;
    if (!comsys::ReadBytes(handle_, &value, 1))
        return 0;
    return value;
}

bool TComPort::WriteComBuf(const uint8_t* buf, int32_t last) {
    if (!IsOpen())
        return false;
    if (last < 0)
        return true;
    if (!buf)
        return false;
    return comsys::WriteBytes(handle_, buf, static_cast<size_t>(last) + 1);
}

bool TComPort::ReadComBuf(uint8_t* buf, int32_t count) {
    if (!IsOpen())
        return false;
    if (count <= 0)
        return true;
    if (!buf)
        return false;
    return comsys::ReadBytes(handle_, buf, static_cast<size_t>(count));
}

bool TComPort::ReadComWithin(uint8_t* buf, int32_t count, microseconds limit) {
    const auto deadline = comsys::Now() + limit;
    for (;;) {
        const int32_t waiting = ComInCount();
        if (waiting >= count)
            return ReadComBuf(buf, count);
        const auto left = duration_cast<microseconds>(deadline - comsys::Now());
        if (left <= 0us)
            return false;
        if (waiting > 0) // the rest is on its way: a few byte times
            DelayUs(std::min(DeviceLimits::ReplyRestLook, left));
        else if (!WaitComInput(deadline)) // the deadline came, or the line failed: a last look
            return ComInCount() >= count && ReadComBuf(buf, count);
    }
}

int32_t TComPort::ComInCount() {
    if (!IsOpen())
        return 0;
    return std::max<int32_t>(comsys::InCount(handle_), 0);
}

bool TComPort::ClearCom(int32_t kind) {
    if (!IsOpen())
        return false;
    if (kind == 0 || kind == 2)
        comsys::Purge(handle_, comsys::Queue::Input);
    if (kind == 1 || kind == 2)
        comsys::Purge(handle_, comsys::Queue::Output);
    return true;
}

void TComPort::DelayMs(milliseconds ms, bool noPump) {
    auto start = comsys::Now();
    WaitUntil(start + ms + DeviceLimits::DelayMsExtra, noPump);
}

void TComPort::DelayUs(microseconds us, bool noPump) {
    auto start = comsys::Now();
    WaitUntil(start + us, noPump);
}

bool TComPort::WaitComInput(steady_clock::time_point deadline, bool noPump) {
    if (!IsOpen())
        return false;
    for (;;) {
        int32_t waiting = comsys::InCount(handle_);
        if (waiting != 0)
            return waiting > 0; // a failed query means the line is gone
        auto now = comsys::Now();
        if (now >= deadline)
            return false;
        Pump(noPump);
        auto slice =
            std::min(DeviceLimits::InputSlice, duration_cast<microseconds>(deadline - now));
        if (comsys::WaitReadable(handle_, std::max(slice, microseconds{1})) ==
            comsys::WaitResult::Failed)
            return ComInCount() > 0;
    }
}
