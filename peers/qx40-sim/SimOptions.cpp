#include "SimOptions.h"

#include <charconv>

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

Exit status: 1 when the pseudo-terminal cannot be made or fails, 2 for a bad command line; a
simulator that is terminated ends by the signal.
)";
}

bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& out, std::string& error) {
    TSimConfig& c = out.config;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = opt + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        auto number = [&](long long lo, long long hi, long long& n) {
            std::string v;
            if (!value(v))
                return false;
            if (!ParseNumber(v, lo, hi, n)) {
                error = opt + ": not a number in " + std::to_string(lo) + ".." +
                        std::to_string(hi) + ": " + v;
                return false;
            }
            return true;
        };
        auto command = [&](std::set<uint8_t>& into) {
            std::string v;
            uint8_t code = 0;
            if (!value(v))
                return false;
            if (!ParseHexByte(v, code)) {
                error = opt + ": not a hexadecimal command code: " + v;
                return false;
            }
            into.insert(code);
            return true;
        };
        std::string v;
        long long n = 0;
        if (opt == "--help" || opt == "-h") {
            out.help = true;
        } else if (opt == "--image-out") {
            if (!value(c.imageOut))
                return false;
        } else if (opt == "--type-text") {
            if (!value(v))
                return false;
            if (v.size() != 9) {
                error = "--type-text needs exactly 9 characters";
                return false;
            }
            c.typeText = v;
        } else if (opt == "--dev-id") {
            if (!value(v))
                return false;
            if (v.size() != 8) {
                error = "--dev-id needs exactly 8 characters";
                return false;
            }
            c.devId = v;
        } else if (opt == "--cid") {
            if (!value(v))
                return false;
            if (v.size() != 8 || !ParseHexByte(v.substr(0, 2), c.cid[0]) ||
                !ParseHexByte(v.substr(2, 2), c.cid[1]) ||
                !ParseHexByte(v.substr(4, 2), c.cid[2]) ||
                !ParseHexByte(v.substr(6, 2), c.cid[3])) {
                error = "--cid needs 8 hexadecimal digits";
                return false;
            }
        } else if (opt == "--count1" || opt == "--count2" || opt == "--use-count") {
            if (!number(0, 0xFFFFFF, n))
                return false;
            (opt == "--count1"   ? c.count1
             : opt == "--count2" ? c.count2
                                 : c.useCount) = uint32_t(n);
        } else if (opt == "--line-rate") {
            c.lineRate = true;
        } else if (opt == "--silent") {
            if (!command(c.silent))
                return false;
        } else if (opt == "--bad-sum") {
            if (!command(c.badSum))
                return false;
        } else if (opt == "--probe-ack") {
            if (!number(0, 255, n))
                return false;
            c.probeAck = int(n);
        } else if (opt == "--refuse-key") {
            c.refuseKey = true;
        } else if (opt == "--bad-ack" || opt == "--double-ack") {
            if (!number(1, 1 << 30, n))
                return false;
            (opt == "--bad-ack" ? c.badAckAt : c.doubleAckAt) = int(n);
        } else if (opt == "--unplug-after") {
            if (!number(0, 1 << 30, n))
                return false;
            c.unplugAfter = int(n);
        } else {
            error = "unknown option: " + opt;
            return false;
        }
    }
    return true;
}

} // namespace qx40sim
