#include "SimOptions.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace qx40sim {

namespace {
bool ParseHexByte(std::string s, uint8_t& out) {
    if (s.size() > 2 && (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0))
        s = s.substr(2);
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (s.empty() || s.size() > 2 || ec != std::errc() || p != s.data() + s.size())
        return false;
    out = uint8_t(v);
    return true;
}

bool ParseNumber(const std::string& s, long long lo, long long hi, long long& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 10);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size() && out >= lo && out <= hi;
}

// An option that takes a whole number from lo to hi.
struct TNumberOption {
    std::string_view name;
    long long lo;
    long long hi;
    void (*set)(TSimConfig& config, long long value);
};

constexpr long long kMaxCounter = 0xFFFFFF; // the counters have 24 bits
constexpr long long kMaxFrame = 1 << 30;

constexpr TNumberOption kNumberOptions[] = {
    {"--count1", 0, kMaxCounter, [](TSimConfig& c, long long n) { c.count1 = uint32_t(n); }},
    {"--count2", 0, kMaxCounter, [](TSimConfig& c, long long n) { c.count2 = uint32_t(n); }},
    {"--use-count", 0, kMaxCounter, [](TSimConfig& c, long long n) { c.useCount = uint32_t(n); }},
    {"--probe-ack", 0, 255, [](TSimConfig& c, long long n) { c.probeAck = int(n); }},
    {"--bad-ack", 1, kMaxFrame, [](TSimConfig& c, long long n) { c.badAckAt = int(n); }},
    {"--double-ack", 1, kMaxFrame, [](TSimConfig& c, long long n) { c.doubleAckAt = int(n); }},
    {"--unplug-after", 0, kMaxFrame, [](TSimConfig& c, long long n) { c.unplugAfter = int(n); }},
};

bool ApplyNumber(const TNumberOption& option, const std::string& v, TSimConfig& c,
                 std::string& error) {
    long long n = 0;
    if (!ParseNumber(v, option.lo, option.hi, n)) {
        error = std::string(option.name) + ": not a number in " + std::to_string(option.lo) + ".." +
                std::to_string(option.hi) + ": " + v;
        return false;
    }
    option.set(c, n);
    return true;
}

// A text of exactly `size` characters.
bool SetFixedText(const std::string& name, size_t size, const std::string& v, std::string& into,
                  std::string& error) {
    if (v.size() != size) {
        error = name + " needs exactly " + std::to_string(size) + " characters";
        return false;
    }
    into = v;
    return true;
}

// The four identity bytes as 8 hex digits.
bool SetCid(const std::string& v, TSimConfig& c, std::string& error) {
    bool ok = v.size() == 2 * c.cid.size();
    for (size_t i = 0; ok && i < c.cid.size(); ++i)
        ok = ParseHexByte(v.substr(2 * i, 2), c.cid[i]);
    if (!ok)
        error = "--cid needs 8 hexadecimal digits";
    return ok;
}

// A command code in hex, added to `into`.
bool AddCommand(const std::string& name, const std::string& v, std::set<uint8_t>& into,
                std::string& error) {
    uint8_t code = 0;
    if (!ParseHexByte(v, code)) {
        error = name + ": not a hexadecimal command code: " + v;
        return false;
    }
    into.insert(code);
    return true;
}

// The other options with a value: each applies it, or says in `error` why it cannot.
struct TTextOption {
    std::string_view name;
    bool (*apply)(const std::string& name, const std::string& v, TSimConfig& c, std::string& error);
};

constexpr TTextOption kTextOptions[] = {
    {"--image-out",
     [](const std::string&, const std::string& v, TSimConfig& c, std::string&) {
         c.imageOut = v;
         return true;
     }},
    {"--type-text", [](const std::string& name, const std::string& v, TSimConfig& c,
                       std::string& error) { return SetFixedText(name, 9, v, c.typeText, error); }},
    {"--dev-id", [](const std::string& name, const std::string& v, TSimConfig& c,
                    std::string& error) { return SetFixedText(name, 8, v, c.devId, error); }},
    {"--cid", [](const std::string&, const std::string& v, TSimConfig& c,
                 std::string& error) { return SetCid(v, c, error); }},
    {"--silent", [](const std::string& name, const std::string& v, TSimConfig& c,
                    std::string& error) { return AddCommand(name, v, c.silent, error); }},
    {"--bad-sum", [](const std::string& name, const std::string& v, TSimConfig& c,
                     std::string& error) { return AddCommand(name, v, c.badSum, error); }},
};

// The options without a value.
struct TFlag {
    std::string_view name;
    void (*set)(TSimOptions& options);
};

constexpr TFlag kFlags[] = {
    {"--help", [](TSimOptions& o) { o.help = true; }},
    {"-h", [](TSimOptions& o) { o.help = true; }},
    {"--version", [](TSimOptions& o) { o.version = true; }},
    {"--line-rate", [](TSimOptions& o) { o.config.lineRate = true; }},
    {"--refuse-key", [](TSimOptions& o) { o.config.refuseKey = true; }},
};

// Applies the option at args[i] and its value, if it takes one (then i moves onto it).
bool ApplyOption(const std::vector<std::string>& args, size_t& i, TSimOptions& out,
                 std::string& error) {
    const std::string& opt = args[i];
    if (const auto* flag = std::ranges::find(kFlags, opt, &TFlag::name); flag != std::end(kFlags)) {
        flag->set(out);
        return true;
    }
    const auto* number = std::ranges::find(kNumberOptions, opt, &TNumberOption::name);
    const auto* text = std::ranges::find(kTextOptions, opt, &TTextOption::name);
    if (number == std::end(kNumberOptions) && text == std::end(kTextOptions)) {
        error = "unknown option: " + opt;
        return false;
    }
    if (i + 1 >= args.size()) {
        error = opt + " needs a value";
        return false;
    }
    const std::string& v = args[++i];
    return number != std::end(kNumberOptions) ? ApplyNumber(*number, v, out.config, error)
                                              : text->apply(opt, v, out.config, error);
}
} // namespace

std::string SimUsage() {
    return R"(Usage: qx40-sim [options]
Plays a QX40 device on a pseudo-terminal. The first line of standard output is the path of the
serial end to open; then one log line per event. Terminal settings are left to the program that
opens the serial end.

Device:
  --image-out FILE     write each programmed image to FILE when the closing 0x0B arrives
  --type-text TEXT     identity text of 0xC8, 9 characters: type (4), software version (4),
                       hardware version (1); default QX401.20B
  --dev-id ID          device identity of 0xC9, 8 characters; default A2C4E6G8
  --cid HEX8           the four identity bytes of 0xC4 as 8 hex digits; default 1A2B3C4D
  --count1 N           first counter of 0xC2 (0..16777215); default 1234
  --count2 N           second counter of 0xC2 (0..16777215); default 56
  --use-count N        use counter of 0xCA (0..16777215); default 789
  --line-rate          emulate 500000 bit/s: every byte in either direction takes 20 us

Misbehaviour:
  --silent CMD         never answer command CMD (hex, e.g. 01, C2, 09); repeatable
  --bad-sum CMD        answer command CMD (a 12-byte reply) with a wrong sum; repeatable
  --probe-ack VALUE    decoded value of the probe answer (0..255); default 11
  --refuse-key         refuse every key exchange
  --bad-ack N          answer data frame N (counted from 1) with a wrong acknowledgement
  --double-ack N       answer data frame N with two acknowledgement bytes
  --unplug-after N     answer nothing at all after data frame N (0: right after the start)
  --help               this text
  --version            the simulator's version

Exit status: 1 when the pseudo-terminal cannot be made or fails, 2 for a bad command line; a
simulator that is terminated ends by the signal.
)";
}

bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i)
        if (!ApplyOption(args, i, out, error))
            return false;
    return true;
}

} // namespace qx40sim
