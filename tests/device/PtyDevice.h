#pragma once
// Test helpers for the serial layer: a pseudo-terminal pair whose serial end the code under test
// opens as a port, and a scripted device that answers command frames on the other end.
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

// The raw byte that decodes to `value` with the key's low nibble.
uint8_t AckByte(uint8_t value, uint8_t key);
// A 12-byte reply: the given bytes 0..9 (missing ones zero) and their sum.
Bytes Reply12(const Bytes& body);

// A device on the master side of a pty: reads command frames (12 bytes) and data frames (0x09,
// n, n + 1 data bytes, two sum bytes), logs them, and writes back whatever the responder returns.
// The frame with code 0xEE is a marker the test sends to know everything before it was seen.
class ScriptedDevice {
public:
    using Responder = std::function<Bytes(const Bytes& frame)>;
    ScriptedDevice(PtyPair& pty, Responder responder);
    ~ScriptedDevice();

    std::vector<Bytes> Frames();
    // Runs `change` (on the responder's state) while no frame is being answered.
    void Change(const std::function<void()>& change) {
        std::lock_guard lock(mutex_);
        change();
    }
    // Waits until a frame with this code has been logged (true) or the limit passed.
    bool WaitForCode(uint8_t code, std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    void Run();
    bool ReadExactly(uint8_t* into, size_t n);

    PtyPair& pty_;
    Responder responder_;
    int stopPipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> frames_;
    std::thread thread_;
};

// Sends the 0xEE marker frame from the serial end and waits for the device to log it: every
// frame written before is then in the log.
bool SyncWithDevice(ScriptedDevice& device, PtyPair& pty);
