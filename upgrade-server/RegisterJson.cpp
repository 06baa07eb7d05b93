#include "RegisterJson.h"

#include "Log.h"

#include <array>
#include <chrono>

namespace {
TJson Values(const std::array<std::optional<std::string>, SessionRecord::kValues>& values) {
    constexpr std::array<const char*, SessionRecord::kValues> kKeys{
        "UserName", "HVer", "SVer", "UseCount", "RegInfo", "PCInfo", "OriginalID",
        "CID1",     "CID2", "CID3", "CID4",     "UPType",  "SWVer"};
    TJson json = TJson::Object();
    for (size_t i = 0; i < kKeys.size(); ++i) {
        const auto& value = values[i];
        if (value)
            json.Add(kKeys[i], *value);
        else
            json.AddNull(kKeys[i]);
    }
    return json;
}

TJson& AddCounts(TJson& json, const ReleaseCounts& c) {
    return json.Add("offered", static_cast<int64_t>(c.offered))
        .Add("downloaded", static_cast<int64_t>(c.downloaded))
        .Add("installed", static_cast<int64_t>(c.installed))
        .Add("came_back", static_cast<int64_t>(c.cameBack));
}
} // namespace

std::string TimeText(int64_t ms) {
    return LogTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

const char* ReleaseStateText(const ReleaseRow& r) {
    return r.staged ? RolloutStateName(r.halted, r.paused, r.percent) : "done";
}

TJson ReleaseJson(const ReleaseRow& r) {
    TJson stages = TJson::Array();
    for (uint32_t stage : r.plan.stages)
        stages.Push(TJson::Number(stage));
    TJson json = TJson::Object()
                     .Add("type", r.type)
                     .Add("version", r.version)
                     .Add("staged", r.staged)
                     .Add("stages", stages)
                     .Add("percent", int64_t{r.percent})
                     .Add("state", ReleaseStateText(r))
                     .Add("advance", static_cast<int64_t>(r.plan.advance))
                     .Add("halt", PercentText(r.plan.haltBasisPoints));
    return AddCounts(json, r.counts).Add("updated", TimeText(r.updatedMs));
}

TJson PointJson(const ReleasePoint& p) {
    TJson json = TJson::Object().Add("at", TimeText(p.atMs));
    return AddCounts(json, p.counts);
}

TJson EventJson(const RolloutEvent& e) {
    TJson json = TJson::Object()
                     .Add("at", TimeText(e.atMs))
                     .Add("action", RolloutActionName(e.action))
                     .Add("actor", e.byOperator ? "operator" : "server")
                     .Add("from_percent", int64_t{e.fromPercent})
                     .Add("to_percent", int64_t{e.toPercent});
    return AddCounts(json, e.counts)
        .Add("stage_installed", static_cast<int64_t>(e.stage.installed))
        .Add("stage_came_back", static_cast<int64_t>(e.stage.cameBack));
}

TJson DeviceJson(const DeviceRow& d) {
    TJson json = TJson::Object()
                     .Add("original_id", d.originalId)
                     .Add("type", d.type)
                     .Add("first_seen", TimeText(d.firstSeenMs))
                     .Add("last_seen", TimeText(d.lastSeenMs))
                     .Add("sessions", static_cast<int64_t>(d.sessions));
    if (d.peer)
        json.Add("peer", *d.peer);
    else
        json.AddNull("peer");
    json.Add("values", Values(d.values)).Add("answer", d.answer).Add("end", d.end);
    if (d.releaseState)
        json.Add("release", TJson::Object()
                                .Add("version", d.release)
                                .Add("state", DeviceStateName(*d.releaseState)));
    else
        json.AddNull("release");
    return json;
}

TJson SessionJson(const SessionRecord& s) {
    TJson json = TJson::Object()
                     .Add("ended", TimeText(s.endedMs))
                     .Add("peer", s.peer)
                     .Add("values", Values(s.values))
                     .Add("answer", s.answer);
    if (s.heldFrom.empty())
        json.AddNull("held_from");
    else
        json.Add("held_from", s.heldFrom);
    return json.Add("end", s.end)
        .Add("bytes_sent", static_cast<int64_t>(s.bytesSent))
        .Add("duration_ms", static_cast<int64_t>(s.durationMs));
}
