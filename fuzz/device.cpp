// The device link (discovery, identity, the commands, programming an image) against a scripted
// serial port whose input comes from the fuzz data. The port replaces the platform layer
// (comsys, ComSystem.h): its clock moves only when the link sleeps or waits, so an input runs in
// microseconds however long the link would wait on a real line.
//
// Input: byte 0 the port the device answers on (1..8 of the ports listed here), byte 1 what is done
// (bit 0: connect, bit 1: program; bit 2: device type "QX40", else "QX41"), byte 2 the image kind
// (0..5), bytes 3-4 the image length (1..2048), then what the device sends: arrivals, each a count
// byte and that many bytes (255: the line hangs up). An arrival becomes visible when the link looks
// at an empty input queue. One-byte reads are acknowledgements: the script holds their decoded
// value, encoded here with the key the link last sent, so that a run does not depend on the link's
// random key.
//
// Checked beyond the sanitizers: every port opened is closed again when an operation returns,
// and a programming run that succeeds has sent exactly the image, filled with 0xFF, in data
// frames with correct sums.
#include "DeviceLink.h"
#include "Frames.h"
#include "TimeLimits.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;

// More port calls than any input needs; beyond it the link is taken to be spinning.
constexpr long kMaxPortCalls = 2'000'000;

// The ports the link lists, in KESTREL_PORTS: port N is kPortPrefix followed by N.
constexpr std::string_view kPortPrefix = "/fuzz/port";
constexpr int kPorts = 8;

std::string PortPath(int32_t port) {
    return std::string(kPortPrefix) + std::to_string(port);
}

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

// The current input's script: the port functions below are free functions.
TScript& Script() {
    static TScript script;
    return script;
}

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void Step() {
    if (++Script().calls > kMaxPortCalls)
        Fail("the device link made more than 2,000,000 port calls for one input");
}

// The next arrival, when the queue is empty; false when nothing more comes.
bool Arrive() {
    if (!Script().visible.empty())
        return true;
    if (Script().hungUp || Script().arrivals.empty())
        return false;
    const uint8_t count = static_cast<uint8_t>(Script().arrivals[0]);
    Script().arrivals.remove_prefix(1);
    if (count == 255) {
        Script().hungUp = true;
        return false;
    }
    const size_t n = std::min<size_t>(count, Script().arrivals.size());
    Script().visible.insert(Script().visible.end(), Script().arrivals.begin(),
                            Script().arrivals.begin() + static_cast<std::ptrdiff_t>(n));
    Script().arrivals.remove_prefix(n);
    return !Script().visible.empty();
}

// The link looks at its input: what it wrote before is a whole frame.
void Looked() {
    Script().written.clear();
}

} // namespace

namespace comsys {

Handle Open(const std::string& path, int32_t, uint8_t) {
    Step();
    if (path != PortPath(Script().devicePort)) {
        errno = ENOENT;
        return InvalidHandle;
    }
    ++Script().open;
    Script().visible.clear();
    return 100 + Script().devicePort;
}

bool Close(Handle h) {
    Step();
    if (h != 100 + Script().devicePort)
        return false;
    --Script().open;
    return true;
}

bool WriteBytes(Handle, const uint8_t* data, size_t n) {
    Step();
    if (Script().hungUp)
        return false;
    // A data frame comes in one write: 0x09, n, n + 1 bytes, the sum of all before it.
    if (n >= 5 && data[0] == Command::DataFrame && n == size_t{data[1]} + 5u) {
        const uint16_t sum = ByteSum(data, static_cast<int32_t>(n - 2));
        Script().badDataFrame |= data[n - 2] != (sum >> 8) || data[n - 1] != (sum & 0xFF);
        Script().programmed.insert(Script().programmed.end(), data + 2, data + n - 2);
        return true;
    }
    Script().written.insert(Script().written.end(), data, data + n);
    if (Script().written.size() == 10 && Script().written[0] == Command::KeyExchange)
        Script().key = Script().written[9];
    return true;
}

bool ReadBytes(Handle, uint8_t* into, size_t n) {
    Step();
    Looked();
    for (size_t i = 0; i < n; ++i) {
        if (!Arrive())
            return false; // a blocking read on a line that delivers nothing more
        into[i] = Script().visible.front();
        Script().visible.pop_front();
    }
    if (n == 1) // the acknowledgement whose decoded value the script holds
        into[0] = static_cast<uint8_t>(255 - (into[0] + (Script().key & 0x0F)));
    return true;
}

int32_t InCount(Handle) {
    Step();
    Looked();
    Arrive();
    if (Script().hungUp && Script().visible.empty())
        return -1;
    return static_cast<int32_t>(Script().visible.size());
}

bool Purge(Handle, Queue queue) {
    Step();
    if (queue == Queue::Input)
        Script().visible.clear();
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
    if (Script().hungUp)
        return WaitResult::Failed;
    Script().now += limit;
    return WaitResult::TimedOut;
}

void SleepFor(std::chrono::microseconds d) {
    Step();
    Script().now += std::max(d, 0us);
}

// Every look at the clock takes a little time, so a wait that spins without sleeping ends too.
std::chrono::steady_clock::time_point Now() {
    Script().now += DeviceLimits::SpinBelow;
    return Script().now;
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
    static const bool listed = [] {
        std::string ports;
        for (int32_t port = 1; port <= kPorts; ++port)
            ports += (port > 1 ? ":" : "") + PortPath(port);
        return setenv("KESTREL_PORTS", ports.c_str(), 1) == 0;
    }();
    if (!listed)
        Fail("KESTREL_PORTS could not be set");
    Script() = TScript{};
    Script().devicePort = 1 + bytes[0] % kPorts;
    const uint8_t what = bytes[1];
    const uint8_t kind = bytes[2] % 6;
    const int32_t length = 1 + (bytes[3] | bytes[4] << 8) % 2048;
    Script().arrivals = {reinterpret_cast<const char*>(bytes + 5), size - 5};

    TNullWindowLink window;
    TDeviceLink link(window);
    if (what & 1) {
        link.ConnectDevice();
        if (Script().open != 0)
            Fail("a port stayed open after ConnectDevice");
    }
    if (what & 2) {
        link.IOPack.ComID = {.path = PortPath(Script().devicePort), .number = Script().devicePort};
        link.IOPack.Baud = DeviceBaud;
        TMemoryStream image;
        for (int32_t i = 0; i < length; ++i) {
            const auto b = static_cast<uint8_t>(i * 7 + 3);
            image.Write(&b, 1);
        }
        const bool done = link.DownloadFirmware(&window, (what & 4) ? "QX40" : "QX41", image,
                                                length, 0x08004000, kind);
        if (Script().open != 0)
            Fail("a port stayed open after DownloadFirmware");
        if (done) {
            std::vector<uint8_t> expected = image.Bytes();
            const size_t fill = kind == 2 ? 1 : kind == 1 ? 256 : 512;
            expected.resize((expected.size() + fill - 1) / fill * fill, 0xFF);
            if (Script().programmed != expected || Script().badDataFrame)
                Fail("programming succeeded but the data frames do not carry the image");
        }
    }
    return 0;
}
