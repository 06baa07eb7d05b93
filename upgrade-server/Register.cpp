#include "Register.h"

#include "Catalogue.h"

#include <algorithm>

namespace {
constexpr std::string_view kSqliteScheme = "sqlite:";
constexpr std::string_view kFirmwareAnswer = "firmware:";

// Where a PostgreSQL URI names passwords (offset, length), in order: USER:PASSWORD@ (user
// information ends, as libpq reads it, at the first '@' before any '/') and password=
// parameters.
std::vector<std::pair<size_t, size_t>> PasswordSpans(const std::string& uri) {
    std::vector<std::pair<size_t, size_t>> spans;
    size_t scheme = uri.find("://");
    if (scheme == std::string::npos)
        return spans;
    size_t start = scheme + 3;
    size_t at = uri.find_first_of("@/", start);
    if (at != std::string::npos && uri[at] == '@') {
        size_t colon = uri.find(':', start);
        if (colon < at && colon + 1 < at)
            spans.emplace_back(colon + 1, at - colon - 1);
    }
    for (size_t param = uri.find('?'); param != std::string::npos;
         param = uri.find('&', param + 1)) {
        if (uri.compare(param + 1, 9, "password=") != 0)
            continue;
        size_t value = param + 10;
        spans.emplace_back(value, std::min(uri.find('&', value), uri.size()) - value);
    }
    return spans;
}

std::string CountsText(const ReleaseCounts& c) {
    return "offered=" + std::to_string(c.offered) + " downloaded=" + std::to_string(c.downloaded) +
           " installed=" + std::to_string(c.installed) + " came-back=" + std::to_string(c.cameBack);
}
} // namespace

std::string RolloutEventText(const RolloutEvent& e) {
    std::string text = "rollout " + e.type + " " + e.version + " " + RolloutActionName(e.action);
    const std::string by = e.byOperator ? " by an operator" : "";
    switch (e.action) {
    case RolloutAction::Advance:
        text += by + " " + std::to_string(e.fromPercent) + "% -> " + std::to_string(e.toPercent) +
                "%: stage installed=" + std::to_string(e.stage.installed) +
                " came-back=" + std::to_string(e.stage.cameBack) +
                " share=" + CameBackShare(e.stage) + " (advance=" + std::to_string(e.plan.advance) +
                " halt=" + PercentText(e.plan.haltBasisPoints) + "); release " +
                CountsText(e.counts);
        break;
    case RolloutAction::Halt:
        text += by + " at " + std::to_string(e.fromPercent) + "%: " + CountsText(e.counts) +
                " share=" + CameBackShare(e.counts) +
                " (halt=" + PercentText(e.plan.haltBasisPoints) +
                "); offered only to devices that downloaded it";
        break;
    case RolloutAction::Pause:
    case RolloutAction::Resume:
        text += by + " at " + std::to_string(e.fromPercent) + "%: release " + CountsText(e.counts);
        break;
    }
    return text;
}

bool ValidRegisterUri(const std::string& uri, std::string& error) {
    if (uri == "none" || (uri.starts_with(kSqliteScheme) && uri.size() > kSqliteScheme.size()))
        return true;
    if (uri.starts_with("postgresql://") || uri.starts_with("postgres://")) {
        if (ValidPostgresUri(uri, error))
            return true;
        // libpq quotes the part it could not read, which may be a password (the longest
        // first: one may hold another).
        std::vector<std::string> passwords;
        for (const auto& [offset, length] : PasswordSpans(uri))
            passwords.push_back(uri.substr(offset, length));
        std::sort(passwords.begin(), passwords.end(),
                  [](const auto& a, const auto& b) { return a.size() > b.size(); });
        for (const auto& password : passwords)
            for (size_t at = error.find(password); at != std::string::npos;
                 at = error.find(password, at + 3))
                error.replace(at, password.size(), "***");
        return false;
    }
    error = "expected sqlite:PATH (an SQLite file, made when missing), "
            "postgresql://[USER[:PASSWORD]@][HOST][:PORT][/DATABASE][?PARAM=VALUE...] (a "
            "PostgreSQL database) or none";
    return false;
}

std::unique_ptr<Register> MakeRegister(const std::string& uri, std::string& error) {
    if (!ValidRegisterUri(uri, error) || uri == "none")
        return nullptr;
    if (uri.starts_with(kSqliteScheme))
        return MakeSqliteRegister(uri, uri.substr(kSqliteScheme.size()));
    return MakePostgresRegister(uri);
}

std::string OfferedVersion(const SessionRecord& record) {
    return record.answer.starts_with(kFirmwareAnswer) ? record.answer.substr(kFirmwareAnswer.size())
                                                      : std::string();
}

SessionFacts FactsFor(const SessionRecord& record, const std::string& version) {
    SessionFacts facts;
    // An announced text that is no version counts as older, as the decision takes it.
    if (const auto& sver = record.values[SessionRecord::SVer]) {
        auto announced = ParseVersion(*sver);
        auto release = ParseVersion(version);
        facts.announced = !release    ? 0
                          : announced ? CompareVersionNumbers(*announced, *release)
                                      : -1;
    }
    facts.offered = version == OfferedVersion(record);
    facts.downloaded = facts.offered && record.end == "allok";
    return facts;
}

std::string RegisterUriText(const std::string& uri) {
    std::string text = uri;
    auto spans = PasswordSpans(uri);
    for (auto span = spans.rbegin(); span != spans.rend(); ++span)
        text.replace(span->first, span->second, "***");
    return text;
}

std::optional<ReleaseRow> ServedRelease(const ReleaseRow& row, const RolloutPlan& plan) {
    ReleaseRow next = row;
    next.plan = plan;
    next.staged = plan.staged;
    next.percent = FitStage(plan.stages, row.percent);
    if (!plan.staged) // without its line a release goes to every device
        next.paused = next.halted = false;
    bool same = next.staged == row.staged && next.percent == row.percent &&
                next.paused == row.paused && next.halted == row.halted &&
                plan.stages == row.plan.stages && plan.advance == row.plan.advance &&
                plan.haltBasisPoints == row.plan.haltBasisPoints;
    if (same)
        return std::nullopt;
    return next;
}

std::optional<RolloutAction> SteeredRelease(const ReleaseRow& row, ReleaseRow& next) {
    if (!row.staged || row.halted)
        return std::nullopt;
    next = row;
    if (MustHalt(row.counts - row.haltBase, row.plan)) {
        next.halted = true;
        return RolloutAction::Halt;
    }
    auto stage = NextStage(row.plan.stages, row.percent);
    if (!stage || row.paused || !StageComplete(row.stage, row.plan))
        return std::nullopt;
    next.percent = *stage;
    return RolloutAction::Advance;
}

ReleaseRow ChangedRelease(const ReleaseRow& row, RolloutAction action) {
    const std::string name = row.type + " " + row.version;
    auto refuse = [&](const std::string& why) {
        throw RegisterError(RegisterError::Kind::Refused, name + " " + why);
    };
    if (!row.staged)
        refuse("has no rollout line in the manifest: it goes to every device");
    ReleaseRow next = row;
    switch (action) {
    case RolloutAction::Advance:
        if (row.halted)
            refuse("is halted: resume it first");
        if (auto stage = NextStage(row.plan.stages, row.percent))
            next.percent = *stage;
        else
            refuse("is already at its last stage (100%)");
        break;
    case RolloutAction::Halt:
        if (row.halted)
            refuse("is already halted");
        next.halted = true;
        break;
    case RolloutAction::Pause:
        if (row.paused)
            refuse("is already paused");
        next.paused = true;
        break;
    case RolloutAction::Resume:
        if (!row.paused && !row.halted)
            refuse("is neither paused nor halted");
        // The figures that halted it are known now: only what comes back from here on counts
        // towards halting it again.
        if (row.halted)
            next.haltBase = row.counts;
        next.paused = next.halted = false;
        break;
    }
    return next;
}

RolloutEvent ReleaseEvent(const ReleaseRow& before, const ReleaseRow& after, RolloutAction action,
                          bool byOperator, int64_t nowMs) {
    RolloutEvent e{before.type,   before.version, action,       byOperator, before.percent,
                   after.percent, before.counts,  before.stage, nowMs,      before.plan};
    if (action == RolloutAction::Halt && !byOperator)
        e.counts = before.counts - before.haltBase;
    return e;
}
