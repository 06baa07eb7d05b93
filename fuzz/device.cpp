// The device link (discovery, identity, the commands, programming an image) against a scripted
// serial port whose input comes from the fuzz data. The port replaces the platform layer
// (comsys, ComSystem.h): its clock moves only when the link sleeps or waits, so an input runs in
// microseconds however long the link would wait on a real line.
//
// Input: byte 0 the port the device answers on (1..8), byte 1 what is done (bit 0: connect,
// bit 1: program; bit 2: device type "QX40", else "QX41"), byte 2 the image kind (0..5), bytes
// 3-4 the image length (1..2048), then what the device sends: arrivals, each a count byte and
// that many bytes (255: the line hangs up). An arrival becomes visible when the link looks at an
// empty input queue. One-byte reads are acknowledgements: the script holds their decoded value,
// encoded here with the key the link last sent, so that a run does not depend on the link's
// random key.
//
// Checked beyond the sanitizers: every port opened is closed again when an operation returns,
// and a programming run that succeeds has sent exactly the image, filled with 0xFF, in data
// frames with correct sums.
#include "DeviceLink.h"
#include "Frames.h"
#include "TimeLimits.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;

// More port calls than any input needs; beyond it the link is taken to be spinning.
constexpr long kMaxPortCalls = 2'000'000;

struct TScript {
    int32_t devicePort = 1;
    std::string_view arrivals; // what is still to come
    std::deque<uint8_t> visible;
    bool hungUp = false;
    int open = 0;                 // handles open
    std::vector<uint8_t> written; // since the link last looked at its input
    uint8_t key = 0;              // of the last key command (0x01) written
    std::vector<uint8_t> programmed;
    bool badDataFrame = false;
    std::chrono::steady_clock::time_point now{};
    long calls = 0;
};

TScript script;

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void Step() {
    if (++script.calls > kMaxPortCalls)
        Fail("the device link made more than 2,000,000 port calls for one input");
}

// The next arrival, when the queue is empty; false when nothing more comes.
bool Arrive() {
    if (!script.visible.empty())
        return true;
    if (script.hungUp || script.arrivals.empty())
        return false;
    const uint8_t count = static_cast<uint8_t>(script.arrivals[0]);
    script.arrivals.remove_prefix(1);
    if (count == 255) {
        script.hungUp = true;
        return false;
    }
    const size_t n = std::min<size_t>(count, script.arrivals.size());
    script.visible.insert(script.visible.end(), script.arrivals.begin(),
                          script.arrivals.begin() + static_cast<std::ptrdiff_t>(n));
    script.arrivals.remove_prefix(n);
    return !script.visible.empty();
}

// The link looks at its input: what it wrote before is a whole frame.
void Looked() {
    script.written.clear();
}

} // namespace

namespace comsys {

Handle Open(int32_t port, int32_t, uint8_t) {
    Step();
    if (port != script.devicePort)
        return InvalidHandle;
    ++script.open;
    script.visible.clear();
    return 100 + port;
}

bool Close(Handle h) {
    Step();
    if (h != 100 + script.devicePort)
        return false;
    --script.open;
    return true;
}

bool WriteBytes(Handle, const uint8_t* data, size_t n) {
    Step();
    if (script.hungUp)
        return false;
    // A data frame comes in one write: 0x09, n, n + 1 bytes, the sum of all before it.
    if (n >= 5 && data[0] == Command::DataFrame && n == size_t{data[1]} + 5u) {
        const uint16_t sum = ByteSum(data, static_cast<int32_t>(n - 2));
        script.badDataFrame |= data[n - 2] != (sum >> 8) || data[n - 1] != (sum & 0xFF);
        script.programmed.insert(script.programmed.end(), data + 2, data + n - 2);
        return true;
    }
    script.written.insert(script.written.end(), data, data + n);
    if (script.written.size() == 10 && script.written[0] == Command::KeyExchange)
        script.key = script.written[9];
    return true;
}

bool ReadBytes(Handle, uint8_t* into, size_t n) {
    Step();
    Looked();
    for (size_t i = 0; i < n; ++i) {
        if (!Arrive())
            return false; // a blocking read on a line that delivers nothing more
        into[i] = script.visible.front();
        script.visible.pop_front();
    }
    if (n == 1) // the acknowledgement whose decoded value the script holds
        into[0] = static_cast<uint8_t>(255 - (into[0] + (script.key & 0x0F)));
    return true;
}

int32_t InCount(Handle) {
    Step();
    Looked();
    Arrive();
    if (script.hungUp && script.visible.empty())
        return -1;
    return static_cast<int32_t>(script.visible.size());
}

bool Purge(Handle, Queue queue) {
    Step();
    if (queue == Queue::Input)
        script.visible.clear();
    return true;
}

bool SetDtr(Handle, bool) {
    Step();
    return true;
}

WaitResult WaitReadable(Handle, std::chrono::microseconds limit) {
    Step();
    if (Arrive())
        return WaitResult::Readable;
    if (script.hungUp)
        return WaitResult::Failed;
    script.now += limit;
    return WaitResult::TimedOut;
}

void SleepFor(std::chrono::microseconds d) {
    Step();
    script.now += std::max(d, 0us);
}

// Every look at the clock takes a little time, so a wait that spins without sleeping ends too.
std::chrono::steady_clock::time_point Now() {
    script.now += DeviceLimits::SpinBelow;
    return script.now;
}

} // namespace comsys

// The waits spin away their last few microseconds with std::this_thread::yield(), which on a busy
// machine can give the processor away for a whole time slice: here it returns at once, the
// scripted clock having moved on with the look at it.
extern "C" int sched_yield() noexcept {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 5)
        return 0;
    script = TScript{};
    script.devicePort = 1 + bytes[0] % 8;
    const uint8_t what = bytes[1];
    const uint8_t kind = bytes[2] % 6;
    const int32_t length = 1 + (bytes[3] | bytes[4] << 8) % 2048;
    script.arrivals = {reinterpret_cast<const char*>(bytes + 5), size - 5};

    TNullWindowLink window;
    TDeviceLink link(window);
    if (what & 1) {
        link.ConnectDevice();
        if (script.open != 0)
            Fail("a port stayed open after ConnectDevice");
    }
    if (what & 2) {
        link.IOPack.ComID = static_cast<uint16_t>(script.devicePort);
        link.IOPack.Baud = DeviceBaud;
        TMemoryStream image;
        for (int32_t i = 0; i < length; ++i) {
            const auto b = static_cast<uint8_t>(i * 7 + 3);
            image.Write(&b, 1);
        }
        const bool done = link.DownloadFirmware(&window, (what & 4) ? "QX40" : "QX41", image,
                                                length, 0x08004000, kind);
        if (script.open != 0)
            Fail("a port stayed open after DownloadFirmware");
        if (done) {
            std::vector<uint8_t> expected = image.Bytes();
            const size_t fill = kind == 2 ? 1 : kind == 1 ? 256 : 512;
            expected.resize((expected.size() + fill - 1) / fill * fill, 0xFF);
            if (script.programmed != expected || script.badDataFrame)
                Fail("programming succeeded but the data frames do not carry the image");
        }
    }
    return 0;
}
