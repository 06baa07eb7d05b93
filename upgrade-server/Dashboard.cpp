#include "Dashboard.h"

#include "RegisterJson.h"
#include "Step.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace {
// A release's plot needs no more points than a screen has columns: a longer history is given as
// the last point of each of this many equal spans of time (its figures as they stood at the
// span's end).
constexpr size_t kMaxPoints = 720;
constexpr int64_t kDayMs = int64_t{24} * 3600 * 1000;
constexpr uint64_t kDefaultRows = 100;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A query string's parameters, percent-decoded ("+" is a space); false with the reason.
bool ParseQuery(const std::string& query, std::map<std::string, std::string>& parameters,
                std::string& error) {
    auto decode = [&](std::string_view text, std::string& out) {
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] != '%') {
                out += text[i];
            } else if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                       HexDigit(text[i + 2]) >= 0) {
                out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
                i += 2;
            } else {
                error = "a % in the query is not followed by two hexadecimal digits";
                return false;
            }
        }
        return true;
    };
    size_t start = 0;
    while (start < query.size()) {
        size_t end = std::min(query.find('&', start), query.size());
        std::string_view item(query.data() + start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        size_t equals = std::min(item.find('='), item.size());
        std::string name;
        std::string value;
        if (!decode(item.substr(0, equals), name) ||
            !decode(item.substr(std::min(equals + 1, item.size())), value))
            return false;
        parameters[name] = value;
    }
    return true;
}

// The answer to a request the dashboard cannot take.
Dashboard::Answer Refuse(int status, const std::string& why) {
    return {status, TJson::Object().Add("error", why).Text()};
}

// A release's points, at most kMaxPoints of them.
TJson HistoryJson(const std::vector<ReleasePoint>& points) {
    TJson json = TJson::Array();
    if (points.size() <= kMaxPoints) {
        for (const auto& p : points)
            json.Push(PointJson(p));
        return json;
    }
    const int64_t first = points.front().atMs;
    const int64_t span = (points.back().atMs - first) / static_cast<int64_t>(kMaxPoints) + 1;
    for (size_t i = 0; i < points.size(); ++i)
        if (i + 1 == points.size() ||
            (points[i].atMs - first) / span != (points[i + 1].atMs - first) / span)
            json.Push(PointJson(points[i]));
    return json;
}
} // namespace

Dashboard::Dashboard(const std::string& registerUri) : uri_(registerUri) {
    std::string error;
    store_ = MakeRegister(registerUri, error);
}

Dashboard::~Dashboard() {
    Stop();
}

void Dashboard::Stop() {
    thread_.join();
}

asio::awaitable<Dashboard::Answer> Dashboard::Api(std::string path, std::string query) {
    co_return co_await asio::co_spawn(thread_, RunOnThread(this, std::move(path), std::move(query)),
                                      asio::use_awaitable);
}

asio::awaitable<Dashboard::Answer> Dashboard::RunOnThread(Dashboard* self, std::string path,
                                                          std::string query) {
    co_return self->Run(path, query);
}

Register& Dashboard::Store() {
    if (!store_->IsOpen())
        store_->Open(false);
    return *store_;
}

Dashboard::Answer Dashboard::Run(const std::string& path, const std::string& query) {
    std::map<std::string, std::string> parameters;
    std::string error;
    if (!ParseQuery(query, parameters, error))
        return Refuse(400, error);
    // Each path with the parameters it takes.
    static const std::map<std::string, std::vector<std::string>> kPaths{
        {"/api/releases", {}},
        {"/api/summary", {}},
        {"/api/sessions", {"since", "limit"}},
        {"/api/devices", {"type", "version", "state", "offset", "limit"}}};
    auto known = kPaths.find(path);
    if (known == kPaths.end())
        return Refuse(404, "no such path " + path +
                               ": the dashboard answers /api/releases, /api/summary, "
                               "/api/sessions and /api/devices");
    for (const auto& [name, value] : parameters)
        if (std::find(known->second.begin(), known->second.end(), name) == known->second.end())
            return Refuse(400, path + " takes no parameter \"" + name + "\"");
    auto number = [&](const std::string& name, uint64_t fallback, uint64_t most, uint64_t& value) {
        auto it = parameters.find(name);
        if (it == parameters.end()) {
            value = fallback;
            return true;
        }
        auto n = ParseCount(it->second);
        if (!n || *n > most) {
            error = name + "=" + it->second + ": expected a whole number from 0 to " +
                    std::to_string(most);
            return false;
        }
        value = *n;
        return true;
    };
    const int64_t now = NowMs();
    TJson answer = TJson::Object().Add("register", uri_).Add("now", TimeText(now));
    if (!store_)
        answer.Add("note", "this server runs without a register (--register none): it records "
                           "nothing, so there is nothing to show");
    try {
        if (path == "/api/releases") {
            TJson releases = TJson::Array();
            for (const auto& r : store_ ? Store().Releases({}) : std::vector<ReleaseRow>{}) {
                TJson events = TJson::Array();
                for (const auto& e : Store().Events(r.type, r.version))
                    events.Push(EventJson(e));
                releases.Push(ReleaseJson(r)
                                  .Add("history", HistoryJson(Store().History(r.type, r.version)))
                                  .Add("events", events));
            }
            return {200, answer.Add("releases", releases).Text()};
        }
        if (path == "/api/summary") {
            TJson versions = TJson::Array();
            SessionTotals t;
            if (store_) {
                for (const auto& v : Store().Versions())
                    versions.Push(TJson::Object()
                                      .Add("type", v.type)
                                      .Add("version", v.version)
                                      .Add("devices", static_cast<int64_t>(v.devices)));
                t = Store().Totals(now - kDayMs);
            }
            return {200,
                    answer.Add("versions", versions)
                        .Add("totals", TJson::Object()
                                           .Add("since", TimeText(now - kDayMs))
                                           .Add("sessions", static_cast<int64_t>(t.sessions))
                                           .Add("all_ok", static_cast<int64_t>(t.allOk))
                                           .Add("firmware", static_cast<int64_t>(t.firmware))
                                           .Add("devices", static_cast<int64_t>(t.devices))
                                           .Add("bytes_sent", static_cast<int64_t>(t.bytesSent)))
                        .Text()};
        }
        if (path == "/api/sessions") {
            uint64_t since = 0;
            uint64_t limit = 0;
            if (!number("since", 0, uint64_t{1} << 62, since) ||
                !number("limit", kDefaultRows, kMaxRows, limit))
                return Refuse(400, error);
            TJson sessions = TJson::Array();
            TJson failed = TJson::Array();
            if (store_) {
                const auto sinceMs = static_cast<int64_t>(since);
                for (const auto& s : Store().Sessions({sinceMs, false, limit}))
                    sessions.Push(SessionJson(s));
                for (const auto& s : Store().Sessions({sinceMs, true, kFailedSessions}))
                    failed.Push(SessionJson(s));
            }
            return {200, answer.Add("since", TimeText(static_cast<int64_t>(since)))
                             .Add("sessions", sessions)
                             .Add("failed", failed)
                             .Text()};
        }
        DeviceFilter filter;
        filter.type = parameters["type"];
        filter.version = parameters["version"];
        if (auto state = parameters.find("state");
            state != parameters.end() && !state->second.empty()) {
            filter.state = ParseDeviceState(state->second);
            if (state->second == "none")
                filter.state = DeviceState::None;
            if (!filter.state)
                return Refuse(400, "state=" + state->second +
                                       ": expected none, offered, downloaded, installed or "
                                       "came-back");
        }
        if (!number("offset", 0, uint64_t{1} << 62, filter.offset) ||
            !number("limit", kDefaultRows, kMaxRows, filter.limit))
            return Refuse(400, error);
        TJson devices = TJson::Array();
        uint64_t total = 0;
        if (store_) {
            total = Store().CountDevices(filter);
            // limit=0 is an empty page (the register would take it as all).
            if (filter.limit != 0)
                for (const auto& d : Store().Devices(filter))
                    devices.Push(DeviceJson(d));
        }
        return {200, answer.Add("total", static_cast<int64_t>(total))
                         .Add("offset", static_cast<int64_t>(filter.offset))
                         .Add("limit", static_cast<int64_t>(filter.limit))
                         .Add("devices", devices)
                         .Text()};
    } catch (const RegisterError& e) {
        // Opened again at the next request.
        store_->Close();
        return Refuse(503, e.what());
    }
}
