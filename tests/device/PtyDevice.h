#pragma once
// Test helpers for the serial layer: a pseudo-terminal pair whose serial end the code under test
// opens as a port, and the simulated device answering on the other end.
#include "Qx40Device.h"
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    void Write(const Bytes& bytes);
    // Writes from the serial end, beside whatever handle the code under test holds.
    void WriteFromSerialEnd(const Bytes& bytes);
    // Exactly n bytes from the master side, or nothing when they do not come within the limit.
    std::optional<Bytes> Read(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Closes the master side: the serial end hangs up.
    void CloseMaster();

private:
    int master_ = -1;
    int holder_ = -1; // keeps the serial end open between the code's opens, so the master never
                      // sees a hang-up
    std::string slavePath_;
};

// Points port numbers at device paths: entry i is port i + 1; an empty entry is a gap.
void SetPorts(const std::vector<std::string>& paths);
// Places one device path at port `port`, every other number without a device.
void SetPortAt(int port, const std::string& path);
// True when the device at `path` opens as a port: nothing holds it, this process neither.
bool OpensAsPort(const std::string& path);

// A 12-byte reply: the given bytes 0..9 (missing ones zero) and their sum.
Bytes Reply12(const Bytes& body);

// The simulated QX40 on the master side of a pty: splits what arrives into command frames and
// data frames, logs them, and writes back the device's answers. The frame with code 0xEE is a
// marker the test sends to know everything before it was seen; the device never sees it.
class ScriptedDevice {
public:
    explicit ScriptedDevice(PtyPair& pty, qx40sim::TSimConfig config = {});
    ~ScriptedDevice();

    std::vector<Bytes> Frames();
    // Changes the device's script while no frame is being answered.
    void Change(const std::function<void(qx40sim::TSimConfig&)>& change) {
        std::lock_guard lock(mutex_);
        change(device_.Config());
    }
    // Waits until a frame with this code has been logged (true) or the limit passed.
    bool WaitForCode(uint8_t code, std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    void Run();
    // Some bytes from the master side; 0 once the device is to stop or the pty failed.
    size_t ReadSome(uint8_t* into, size_t capacity);
    void Answer(const Bytes& frame);

    PtyPair& pty_;
    qx40sim::TQx40Device device_;
    int stopPipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> frames_;
    std::thread thread_;
};

// Sends the 0xEE marker frame from the serial end and waits for the device to log it: every
// frame written before is then in the log.
bool SyncWithDevice(ScriptedDevice& device, PtyPair& pty);

// The codes of the logged frames, in order (the marker left out).
Bytes Codes(const std::vector<Bytes>& frames);
