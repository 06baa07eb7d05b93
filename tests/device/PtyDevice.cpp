#include "PtyDevice.h"
#include "ComPort.h"
#include "Frames.h"
#include "WindowLink.h"
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

using namespace std::chrono;

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slavePath_ = ptsname(master_);
    holder_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (holder_ < 0)
        throw std::runtime_error("cannot open " + slavePath_);
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (holder_ >= 0)
        close(holder_);
}

void PtyPair::CloseMaster() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

namespace {
void WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}
} // namespace

void PtyPair::Write(const Bytes& bytes) {
    WriteAll(master_, bytes);
}

void PtyPair::WriteFromSerialEnd(const Bytes& bytes) {
    WriteAll(holder_, bytes);
}

std::optional<Bytes> PtyPair::Read(size_t n, milliseconds limit) {
    Bytes got;
    auto deadline = steady_clock::now() + limit;
    while (got.size() < n) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0 || !(p.revents & POLLIN))
            continue;
        uint8_t buf[512];
        ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0)
            got.insert(got.end(), buf, buf + r);
    }
    return got;
}

void SetPorts(const std::vector<std::string>& paths) {
    std::string list;
    for (size_t i = 0; i < paths.size(); ++i)
        list += (i ? ":" : "") + paths[i];
    setenv("KESTREL_PORTS", list.c_str(), 1);
}

void SetPortAt(int port, const std::string& path) {
    std::vector<std::string> paths(static_cast<size_t>(port));
    paths.back() = path;
    SetPorts(paths);
}

bool OpensAsPort(const std::string& path) {
    TNullWindowLink window;
    TComPort port(window);
    return port.OpenCom(path, DeviceBaud);
}

Bytes Reply12(const Bytes& body) {
    TFrame frame{};
    std::copy_n(body.begin(), std::min<size_t>(body.size(), 10), frame.begin());
    frame = WithSum(frame);
    return Bytes(frame.begin(), frame.end());
}

ScriptedDevice::ScriptedDevice(PtyPair& pty, qx40sim::TSimConfig config)
    : pty_(pty), device_(std::move(config), [](const std::string&) {}) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    thread_ = std::thread([this] { Run(); });
}

ScriptedDevice::~ScriptedDevice() {
    (void)!write(stopPipe_[1], "x", 1);
    thread_.join();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

size_t ScriptedDevice::ReadSome(uint8_t* into, size_t capacity) {
    for (;;) {
        pollfd p[2] = {{pty_.Master(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return 0;
        if (p[1].revents || (p[0].revents & (POLLERR | POLLNVAL)))
            return 0;
        if (!(p[0].revents & POLLIN))
            continue;
        ssize_t r = read(pty_.Master(), into, capacity);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return r > 0 ? static_cast<size_t>(r) : 0;
    }
}

void ScriptedDevice::Run() {
    qx40sim::TFrameReader reader;
    uint8_t buf[512];
    while (size_t n = ReadSome(buf, sizeof buf))
        for (size_t i = 0; i < n; ++i)
            if (reader.Push(buf[i]))
                Answer(reader.Take());
}

void ScriptedDevice::Answer(const Bytes& frame) {
    std::lock_guard lock(mutex_);
    if (frame[0] != 0xEE) {
        Bytes answer = device_.HandleFrame(frame);
        if (!answer.empty())
            pty_.Write(answer);
    }
    frames_.push_back(frame);
    changed_.notify_all();
}

std::vector<Bytes> ScriptedDevice::Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool ScriptedDevice::WaitForCode(uint8_t code, milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        for (const Bytes& f : frames_)
            if (f[0] == code)
                return true;
        return false;
    });
}

bool SyncWithDevice(ScriptedDevice& device, PtyPair& pty) {
    TFrame marker{0xEE};
    marker = WithSum(marker);
    pty.WriteFromSerialEnd(Bytes(marker.begin(), marker.end()));
    return device.WaitForCode(0xEE);
}

Bytes Codes(const std::vector<Bytes>& frames) {
    Bytes codes;
    for (const Bytes& f : frames)
        if (f[0] != 0xEE)
            codes.push_back(f[0]);
    return codes;
}
