// The dashboard on a register with a known history (sessions over six hours, a staged release
// that advanced once, failed sessions, two device types with several versions, device values
// that are markup): its JSON against the register's own answers, and the page in a real browser
// engine (dashboard-shot: Qt WebEngine's Chromium), what it shows against the register, with
// screenshots in the build folder.
#include "RawClient.h"
#include "Register.h"
#include "RegisterJson.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

namespace {
constexpr int64_t kMinuteMs = 60000;
constexpr int64_t kHourMs = 60 * kMinuteMs;
constexpr uint16_t kAdminPort = 8081;
// Values a browser would take for markup (and run) were they not escaped.
const std::string kMarkupId = "<img src=x onerror=\"window.kestrelInjected=1\">\"&<>";
const std::string kMarkupVersion = "<script>window.kestrelInjected=2</script>";
const RolloutPlan kStaged{
    .type = "QX40", .version = "1.21", .stages = {5, 25, 100}, .advance = 2, .staged = true};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The n-th device id whose bucket for QX40 1.21 lies in [from, to).
std::string DeviceIn(uint32_t from, uint32_t to, int n) {
    for (int i = 0;; ++i) {
        std::string id = "D" + std::to_string(5000 + i);
        uint32_t b = Bucket(id, "QX40", "1.21");
        if (b >= from && b < to && n-- == 0)
            return id;
    }
}

// A register holding the fleet's six hours, ending `nowMs`.
std::unique_ptr<Register> FilledRegister(const std::string& path, int64_t nowMs) {
    std::string error;
    auto store = MakeRegister("sqlite:" + path, error);
    store->Open(true);
    const int64_t start = nowMs - 6 * kHourMs;
    store->Serve({kStaged, {.type = "QX41", .version = "2.1"}}, start);
    auto write = [&](int64_t minutes, const std::string& type, const std::string& id,
                     const std::optional<std::string>& sver, const std::string& answer,
                     const std::string& end) {
        SessionRecord r;
        r.endedMs = start + minutes * kMinuteMs;
        r.peer = "127.0.0.1:40000";
        r.values[SessionRecord::UserName] = type;
        r.values[SessionRecord::OriginalID] = id;
        r.values[SessionRecord::SVer] = sver;
        r.answer = answer;
        r.end = end;
        r.bytesSent = end == "allok" ? 20000 : 512;
        r.durationMs = 900;
        store->Write({r});
    };
    const std::string first = DeviceIn(0, 5, 0);
    const std::string second = DeviceIn(0, 5, 1);
    // The first stage's two devices download 1.21 and run it: the stage advances (5% -> 25%).
    write(10, "QX40", first, "1.20", "firmware:1.21", "allok");
    write(20, "QX40", second, "1.20", "firmware:1.21", "allok");
    write(60, "QX40", first, "1.21", "status:-7", "status");
    write(90, "QX40", second, "1.21", "status:-7", "status");
    store->Steer({kStaged}, start + 2 * kHourMs);
    // The second stage: one downloads, one comes back, one fails twice, one is markup.
    const std::string comesBack = DeviceIn(5, 25, 0);
    write(180, "QX40", comesBack, "1.20", "firmware:1.21", "allok");
    write(200, "QX40", DeviceIn(5, 25, 1), "1.20", "firmware:1.21", "allok");
    write(240, "QX40", DeviceIn(5, 25, 2), "1.20", "firmware:1.21", "closed@chunk:3");
    write(270, "QX40", comesBack, "1.20", "firmware:1.21", "allok");
    write(300, "QX40", DeviceIn(5, 25, 2), "1.20", "firmware:1.21", "timeout@chunk:2");
    write(330, "QX40", kMarkupId, "1.19", "firmware:1.21", "too-slow@chunk:5");
    // The other type, without a rollout.
    write(120, "QX41", "E100", "2.0", "firmware:2.1", "allok");
    write(150, "QX41", "E101", "2.1", "status:-7", "status");
    write(340, "QX41", "E102", kMarkupVersion, "-", "unexpected@announce:3");
    write(350, "QX41", "E103", std::nullopt, "-", "closed@announce:2");
    return store;
}

TServerSetup DashboardSetup(const std::string& registerArgument) {
    return {.firmware = TestImage(1000),
            .manifest = {"rollout QX40 1.21 5,25,100 advance=2"},
            .args = {"--register", registerArgument, "--admin-port", std::to_string(kAdminPort)}};
}

template <typename Rows, typename ToJson> std::string JsonArray(const Rows& rows, ToJson json) {
    TJson array = TJson::Array();
    for (const auto& row : rows)
        array.Push(json(row));
    return array.Text();
}

TEST(UpgradeServerDashboard, JsonPagesDevicesSessionsSinceATimeAndValuesEscaped) {
    TempDir state;
    const int64_t now = NowMs();
    auto store = FilledRegister(state / "register.sqlite", now);
    TUpgradeServer server(DashboardSetup("sqlite:" + state / "register.sqlite"));
    auto api = [&](const std::string& target) { return Get(server, target, kAdminPort); };

    // The register keeps the scenario: a point for each minute in which a session changed the
    // release (its figures after it, the last being those of now), and the one advance.
    auto history = store->History("QX40", "1.21");
    ASSERT_EQ(history.size(), 9u);
    const int64_t firstChange = now - 6 * kHourMs + 10 * kMinuteMs;
    EXPECT_EQ(history.front().atMs, firstChange - firstChange % kMinuteMs);
    EXPECT_EQ(history.front().counts.downloaded, 1u);
    auto figures = [](const ReleaseCounts& c) {
        return std::array{c.offered, c.downloaded, c.installed, c.cameBack};
    };
    EXPECT_EQ(figures(history.back().counts),
              figures(store->Releases({{"QX40", "1.21"}}).at(0).counts));
    auto events = store->Events("QX40", "1.21");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].action, RolloutAction::Advance);
    EXPECT_EQ(events[0].toPercent, 25u);
    EXPECT_NE(api("/api/releases")
                  .find("\"history\":" + JsonArray(history, PointJson) +
                        ",\"events\":" + JsonArray(events, EventJson)),
              std::string::npos);
    SessionTotals totals = store->Totals(now - 24 * kHourMs);
    EXPECT_EQ(totals.sessions, 14u);
    EXPECT_EQ(totals.devices, 10u);

    // Pages of devices: what the register answers for the same filter, with the count of all.
    struct Case {
        std::string query;
        DeviceFilter filter;
        uint64_t matching; // the fleet's own count
    };
    for (const auto& c : std::vector<Case>{
             {"type=QX40&offset=1&limit=2", {.type = "QX40", .offset = 1, .limit = 2}, 6},
             {"type=QX40&state=installed", {.type = "QX40", .state = DeviceState::Installed}, 2},
             {"state=came-back", {.state = DeviceState::CameBack}, 1},
             {"state=none&type=QX41", {.type = "QX41", .state = DeviceState::None}, 3},
             {"version=%3Cscript%3Ewindow.kestrelInjected%3D2%3C%2Fscript%3E",
              {.version = kMarkupVersion},
              1}}) {
        DeviceFilter page = c.filter;
        page.limit = page.limit == 0 ? 100 : page.limit;
        EXPECT_EQ(store->CountDevices(c.filter), c.matching) << c.query;
        EXPECT_NE(api("/api/devices?" + c.query)
                      .find("\"total\":" + std::to_string(c.matching) +
                            ",\"offset\":" + std::to_string(page.offset) +
                            ",\"limit\":" + std::to_string(page.limit) +
                            ",\"devices\":" + JsonArray(store->Devices(page), DeviceJson) + "}"),
                  std::string::npos)
            << c.query;
    }
    // The sessions of the last 45 minutes, newest first, and those that failed among them.
    const int64_t since = now - 45 * kMinuteMs;
    auto recent = store->Sessions({since, false, 100});
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent.front().values[SessionRecord::OriginalID], "E103");
    std::string sessions = api("/api/sessions?since=" + std::to_string(since));
    EXPECT_NE(sessions.find("\"sessions\":" + JsonArray(recent, SessionJson) + ",\"failed\":" +
                            JsonArray(store->Sessions({since, true, 50}), SessionJson)),
              std::string::npos)
        << sessions;
    // A value from the network stays a string in the JSON.
    EXPECT_NE(
        sessions.find(R"("OriginalID":"<img src=x onerror=\"window.kestrelInjected=1\">\"&<>")"),
        std::string::npos)
        << sessions;
    EXPECT_NE(api("/api/sessions?limit=x").find("<not 200: HTTP/1.1 400 Bad Request"),
              std::string::npos);
    EXPECT_NE(api("/api/nothing").find("<not 200: HTTP/1.1 404 Not Found"), std::string::npos);

    // The page loads only from this port; nothing sniffs its types.
    std::string page = Page(server, "GET / HTTP/1.1\r\n\r\n", kAdminPort);
    for (const char* header :
         {"\r\nContent-Security-Policy: default-src 'self'; ",
          "\r\nX-Content-Type-Options: nosniff\r\n", "<script src=\"/dashboard.js\""})
        EXPECT_NE(page.find(header), std::string::npos) << header << " in:\n" << page;

    // Without a register the dashboard says so.
    TUpgradeServer none(DashboardSetup("none"));
    std::string releases = Get(none, "/api/releases", kAdminPort);
    EXPECT_NE(releases.find("\"note\":\"this server runs without a register"), std::string::npos)
        << releases;
    EXPECT_NE(releases.find("\"releases\":[]"), std::string::npos) << releases;
}

#ifdef KESTREL_DASHBOARD_SHOT
// What the page shows of a release: its state, its figures, the points plotted for each of them,
// the labels of its rollout's changes, then the start of its stage ("stage 25% ...").
std::string ShownRelease(const ReleaseRow& r, Register& store) {
    const auto points = static_cast<int64_t>(store.History(r.type, r.version).size());
    TJson counts = TJson::Array();
    for (int i = 0; i < 4; ++i)
        counts.Push(TJson::Number(points));
    std::string events;
    for (const auto& e : store.Events(r.type, r.version))
        events += (events.empty() ? "" : ",") +
                  TJson::Quote(e.action == RolloutAction::Advance
                                   ? std::to_string(e.fromPercent) + "→" +
                                         std::to_string(e.toPercent) + "%"
                                   : std::string(RolloutActionName(e.action)) + " " +
                                         std::to_string(e.toPercent) + "%");
    std::string shown = TJson::Object()
                            .Add("release", r.type + " " + r.version)
                            .Add("state", ReleaseStateText(r))
                            .Add("offered", static_cast<int64_t>(r.counts.offered))
                            .Add("downloaded", static_cast<int64_t>(r.counts.downloaded))
                            .Add("installed", static_cast<int64_t>(r.counts.installed))
                            .Add("came_back", static_cast<int64_t>(r.counts.cameBack))
                            .Add("points", counts)
                            .Text();
    shown.pop_back();
    return shown + ",\"events\":[" + events + "],\"stage\":\"" +
           (r.staged ? "stage " + std::to_string(r.percent) + "% " : "no rollout");
}

TEST(UpgradeServerDashboard, ABrowserShowsTheRegistersFigures) {
    TempDir state;
    const int64_t now = NowMs();
    auto store = FilledRegister(state / "register.sqlite", now);
    TUpgradeServer server(DashboardSetup("sqlite:" + state / "register.sqlite"));
    const std::string shot = std::string(KESTREL_TEST_OUTPUT_DIR) + "/dashboard.png";
    ChildProcess browser({KESTREL_DASHBOARD_SHOT,
                          "http://" + server.Address() + ":" + std::to_string(kAdminPort) + "/",
                          shot},
                         {"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1"}, true);
    TRun run = Finish(browser, 180s);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string& shown = run.out;

    auto releases = store->Releases({});
    ASSERT_EQ(releases.size(), 2u);
    for (const auto& r : releases)
        EXPECT_NE(shown.find(ShownRelease(r, *store)), std::string::npos)
            << ShownRelease(r, *store) << "\nnot in:\n"
            << shown;
    for (const auto& v : store->Versions())
        EXPECT_NE(shown.find(TJson::Object()
                                 .Add("type", v.type)
                                 .Add("version", v.version)
                                 .Add("devices", static_cast<int64_t>(v.devices))
                                 .Text()),
                  std::string::npos)
            << v.type << " " << v.version << " not in:\n"
            << shown;
    SessionTotals t = store->Totals(now - 24 * kHourMs);
    EXPECT_NE(shown.find(TJson::Object()
                             .Add("sessions", static_cast<int64_t>(t.sessions))
                             .Add("all_ok", static_cast<int64_t>(t.allOk))
                             .Add("firmware", static_cast<int64_t>(t.firmware))
                             .Add("devices", static_cast<int64_t>(t.devices))
                             .Add("bytes_sent", static_cast<int64_t>(t.bytesSent))
                             .Text()),
              std::string::npos)
        << shown;
    auto failed = store->Sessions({0, true, 50});
    auto cell = [](const std::optional<std::string>& value) { return value.value_or("—"); };
    EXPECT_NE(shown.find("\"failed\":" +
                         JsonArray(failed,
                                   [&](const SessionRecord& s) {
                                       return TJson::Object()
                                           .Add("type", cell(s.values[SessionRecord::UserName]))
                                           .Add("device", cell(s.values[SessionRecord::OriginalID]))
                                           .Add("sver", cell(s.values[SessionRecord::SVer]))
                                           .Add("answer", s.answer)
                                           .Add("end", s.end);
                                   })),
              std::string::npos)
        << shown;
    // The markup in the values stayed text, and the page fits a phone's width.
    EXPECT_NE(shown.find("\"injected\":0"), std::string::npos) << shown;
    auto number = [&](const std::string& key) {
        auto at = shown.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::stoll(shown.substr(at + key.size() + 3));
    };
    EXPECT_EQ(number("width"), 390) << shown;
    EXPECT_LE(number("scroll_width"), number("client_width")) << shown;
    EXPECT_GT(std::filesystem::file_size(shot), 10000u);
}
#endif

} // namespace
