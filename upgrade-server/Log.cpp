#include "Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

void WriteLogLine(const std::string& line) {
    static std::mutex logMutex;
    std::lock_guard<std::mutex> lock(logMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string LogValue(std::string_view value) {
    if (value.empty())
        return "-";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : value.substr(0, 64)) {
        auto c = static_cast<unsigned char>(ch);
        if (c > ' ' && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string LogTime(std::chrono::system_clock::time_point when) {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

void GroupedEnds::Add(const std::string& peerKey, const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Count& c = byPeer_[peerKey];
    ++c.count;
    c.lastPeer = peer;
}

std::string GroupedEnds::TakeLine(std::string_view period) {
    std::unordered_map<std::string, Count> counted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        counted.swap(byPeer_);
    }
    if (counted.empty())
        return {};
    uint64_t total = 0;
    const Count* most = nullptr;
    for (const auto& [key, c] : counted) {
        total += c.count;
        if (!most || c.count > most->count)
            most = &c;
    }
    return LogTime(std::chrono::system_clock::now()) + " " + most->lastPeer + " " + what_ + " " +
           std::to_string(total) + std::string(period) +
           " peers=" + std::to_string(counted.size()) + " most=" + std::to_string(most->count);
}

void GroupedLines::Write(std::string_view period) {
    for (GroupedEnds* group :
         {&silent, &unanswered, &displaced, &connectRate, &http.connectRate, &http.badRequest,
          &http.notFound, &http.notAllowed, &admin.connectRate, &admin.badRequest, &admin.notFound,
          &admin.notAllowed})
        if (std::string line = group->TakeLine(period); !line.empty())
            WriteLogLine(line);
}
