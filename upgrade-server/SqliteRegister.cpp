// The register in an SQLite file (WAL mode: readers, such as the operator's commands, never wait
// for the writer), and all of the register's SQL.
#include "Catalogue.h"
#include "Register.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {
constexpr int kSchemaVersion = 2;

// Version 1 of the schema, which the migrations below bring to the current version: a new
// register is made by the same steps as an old one is brought up to date (README.md, "The
// register", describes the whole schema).
constexpr const char* kSchema = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (1);
CREATE TABLE sessions (
    id INTEGER PRIMARY KEY,
    ended_at INTEGER NOT NULL,
    peer TEXT NOT NULL,
    original_id TEXT, sw_ver TEXT, user_name TEXT, up_type TEXT, hver TEXT, sver TEXT,
    use_count TEXT, reg_info TEXT, pc_info TEXT, cid1 TEXT, cid2 TEXT, cid3 TEXT, cid4 TEXT,
    answer TEXT NOT NULL,
    held_from TEXT,
    outcome TEXT NOT NULL,
    bytes_sent INTEGER NOT NULL,
    duration_ms INTEGER NOT NULL
);
CREATE INDEX sessions_ended_at ON sessions (ended_at);
CREATE INDEX sessions_device ON sessions (original_id, user_name);
CREATE TABLE devices (
    original_id TEXT NOT NULL,
    type TEXT NOT NULL,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    sessions INTEGER NOT NULL,
    peer TEXT,
    sw_ver TEXT, up_type TEXT, hver TEXT, sver TEXT, use_count TEXT, reg_info TEXT,
    pc_info TEXT, cid1 TEXT, cid2 TEXT, cid3 TEXT, cid4 TEXT,
    answer TEXT NOT NULL,
    outcome TEXT NOT NULL,
    PRIMARY KEY (original_id, type)
) WITHOUT ROWID;
CREATE TABLE releases (
    type TEXT NOT NULL,
    version TEXT NOT NULL,
    staged INTEGER NOT NULL,
    stages TEXT NOT NULL,
    advance INTEGER NOT NULL,
    halt_bp INTEGER NOT NULL,
    percent INTEGER NOT NULL,
    paused INTEGER NOT NULL DEFAULT 0,
    halted INTEGER NOT NULL DEFAULT 0,
    base_installed INTEGER NOT NULL DEFAULT 0,
    base_came_back INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    PRIMARY KEY (type, version)
) WITHOUT ROWID;
CREATE TABLE device_releases (
    type TEXT NOT NULL,
    version TEXT NOT NULL,
    original_id TEXT NOT NULL,
    bucket INTEGER NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('offered', 'downloaded', 'installed', 'came-back')),
    updated_at INTEGER NOT NULL,
    PRIMARY KEY (type, version, original_id)
) WITHOUT ROWID;
CREATE INDEX device_releases_device ON device_releases (original_id, type);
CREATE TABLE rollout_events (
    id INTEGER PRIMARY KEY,
    at INTEGER NOT NULL,
    type TEXT NOT NULL,
    version TEXT NOT NULL,
    event TEXT NOT NULL CHECK (event IN ('advance', 'halt', 'pause', 'resume')),
    actor TEXT NOT NULL CHECK (actor IN ('server', 'operator')),
    from_percent INTEGER NOT NULL,
    to_percent INTEGER NOT NULL,
    offered INTEGER NOT NULL,
    downloaded INTEGER NOT NULL,
    installed INTEGER NOT NULL,
    came_back INTEGER NOT NULL,
    stage_installed INTEGER NOT NULL,
    stage_came_back INTEGER NOT NULL
);
)sql";

// The steps from each older schema to the next: kMigrations[v - 1] turns version v into v + 1
// (and sets schema_version).
constexpr std::array<const char*, kSchemaVersion - 1> kMigrations{
    // 2: each release's figures over time, one row per minute in which they changed.
    R"sql(
CREATE TABLE release_history (
    type TEXT NOT NULL,
    version TEXT NOT NULL,
    at INTEGER NOT NULL,
    offered INTEGER NOT NULL, downloaded INTEGER NOT NULL,
    installed INTEGER NOT NULL, came_back INTEGER NOT NULL,
    PRIMARY KEY (type, version, at)
) WITHOUT ROWID;
UPDATE schema_version SET version = 2;
)sql",
};

constexpr const char* kInsertSession =
    "INSERT INTO sessions (ended_at, peer, user_name, hver, sver, use_count, reg_info, pc_info, "
    "original_id, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, held_from, outcome, "
    "bytes_sent, duration_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
    "?14, ?15, ?16, ?17, ?18, ?19, ?20)";
// The latest session's values; a value it did not announce (it was cut short) keeps the one
// before. The device's type is its key: user_name is not repeated.
constexpr const char* kUpsertDevice =
    "INSERT INTO devices (original_id, type, first_seen, last_seen, sessions, peer, hver, sver, "
    "use_count, reg_info, pc_info, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, outcome) "
    "VALUES (?9, ?3, ?1, ?1, 1, ?2, ?4, ?5, ?6, ?7, ?8, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?18) "
    "ON CONFLICT (original_id, type) DO UPDATE SET last_seen = excluded.last_seen, "
    "sessions = sessions + 1, peer = excluded.peer, hver = coalesce(excluded.hver, hver), "
    "sver = coalesce(excluded.sver, sver), use_count = coalesce(excluded.use_count, use_count), "
    "reg_info = coalesce(excluded.reg_info, reg_info), "
    "pc_info = coalesce(excluded.pc_info, pc_info), cid1 = coalesce(excluded.cid1, cid1), "
    "cid2 = coalesce(excluded.cid2, cid2), cid3 = coalesce(excluded.cid3, cid3), "
    "cid4 = coalesce(excluded.cid4, cid4), up_type = coalesce(excluded.up_type, up_type), "
    "sw_ver = coalesce(excluded.sw_ver, sw_ver), answer = excluded.answer, "
    "outcome = excluded.outcome";
constexpr const char* kDeviceReleases =
    "SELECT version, state FROM device_releases WHERE original_id = ?1 AND type = ?2";
constexpr const char* kUpdateDeviceRelease =
    "UPDATE device_releases SET state = ?4, updated_at = ?5 "
    "WHERE type = ?1 AND version = ?2 AND original_id = ?3";
constexpr const char* kInsertDeviceRelease =
    "INSERT INTO device_releases (type, version, original_id, bucket, state, updated_at) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
// A release offered without a rollout line (or before its line was made known) goes to every
// device.
constexpr const char* kKnowRelease =
    "INSERT OR IGNORE INTO releases (type, version, staged, stages, advance, halt_bp, percent, "
    "created_at, updated_at) VALUES (?1, ?2, 0, '100', ?3, ?4, 100, ?5, ?5)";
constexpr const char* kPruneSessions =
    "DELETE FROM sessions WHERE id IN (SELECT id FROM sessions WHERE ended_at < ?1 LIMIT 10000)";
constexpr const char* kPruneHistory = "DELETE FROM release_history WHERE at < ?1";
constexpr const char* kPruneDevices =
    "UPDATE devices SET peer = NULL, pc_info = NULL "
    "WHERE last_seen < ?1 AND (peer IS NOT NULL OR pc_info IS NOT NULL)";
constexpr const char* kRelease =
    "SELECT type, version, staged, stages, advance, halt_bp, percent, paused, halted, "
    "base_installed, base_came_back, updated_at FROM releases WHERE type = ?1 AND version = ?2";
constexpr const char* kAllReleases =
    "SELECT type, version, staged, stages, advance, halt_bp, percent, paused, halted, "
    "base_installed, base_came_back, updated_at FROM releases ORDER BY type, version";
constexpr const char* kInsertRelease =
    "INSERT INTO releases (type, version, staged, stages, advance, halt_bp, percent, created_at, "
    "updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8)";
constexpr const char* kUpdateRelease =
    "UPDATE releases SET staged = ?3, stages = ?4, advance = ?5, halt_bp = ?6, percent = ?7, "
    "paused = ?8, halted = ?9, base_installed = ?10, base_came_back = ?11, updated_at = ?12 "
    "WHERE type = ?1 AND version = ?2";
constexpr const char* kCounts =
    "SELECT state, count(*) FROM device_releases WHERE type = ?1 AND version = ?2 "
    "AND bucket >= ?3 AND bucket < ?4 GROUP BY state";
constexpr const char* kInsertEvent =
    "INSERT INTO rollout_events (at, type, version, event, actor, from_percent, to_percent, "
    "offered, downloaded, installed, came_back, stage_installed, stage_came_back) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
constexpr const char* kDownloaded =
    "SELECT original_id FROM device_releases WHERE type = ?1 AND version = ?2 "
    "AND state IN ('downloaded', 'installed', 'came-back')";
// The devices a DeviceFilter matches (?1 type, ?2 version, ?3 state name), with "VERSION STATE"
// of the release whose state for the device changed last (NULL when none) as `latest`.
const std::string kMatchingDevices =
    "FROM (SELECT d.*, (SELECT version || ' ' || state FROM device_releases r "
    "WHERE r.original_id = d.original_id AND r.type = d.type ORDER BY updated_at DESC LIMIT 1) "
    "AS latest FROM devices d WHERE (?1 = '' OR d.type = ?1) AND (?2 = '' OR d.sver = ?2)) "
    "WHERE ?3 = '' OR (?3 = 'none' AND latest IS NULL) OR latest GLOB '* ' || ?3";
// A page of them: at most ?4 (-1: all) after skipping ?5.
const std::string kDevices =
    "SELECT original_id, type, first_seen, last_seen, sessions, peer, hver, sver, use_count, "
    "reg_info, pc_info, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, outcome, latest " +
    kMatchingDevices + " ORDER BY type, original_id LIMIT ?4 OFFSET ?5";
const std::string kCountDevices = "SELECT count(*) " + kMatchingDevices;
constexpr const char* kUpsertHistory =
    "INSERT INTO release_history (type, version, at, offered, downloaded, installed, came_back) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (type, version, at) DO UPDATE SET "
    "offered = excluded.offered, downloaded = excluded.downloaded, "
    "installed = excluded.installed, came_back = excluded.came_back";
constexpr const char* kHistory =
    "SELECT at, offered, downloaded, installed, came_back FROM release_history "
    "WHERE type = ?1 AND version = ?2 ORDER BY at";
constexpr const char* kEvents =
    "SELECT at, event, actor, from_percent, to_percent, offered, downloaded, installed, "
    "came_back, stage_installed, stage_came_back FROM rollout_events "
    "WHERE type = ?1 AND version = ?2 ORDER BY at, id";
// The values in SessionRecord's order, as kInsertSession binds them.
constexpr const char* kSessions =
    "SELECT ended_at, peer, user_name, hver, sver, use_count, reg_info, pc_info, original_id, "
    "cid1, cid2, cid3, cid4, up_type, sw_ver, answer, held_from, outcome, bytes_sent, "
    "duration_ms FROM sessions WHERE ended_at >= ?1 AND (?2 = 0 OR outcome NOT IN ('allok', "
    "'status', 'rep')) "
    "ORDER BY ended_at DESC, id DESC LIMIT ?3";
constexpr const char* kVersions =
    "SELECT type, coalesce(sver, ''), count(*) FROM devices GROUP BY type, coalesce(sver, '') "
    "ORDER BY type, coalesce(sver, '')";
constexpr const char* kTotals =
    "SELECT count(*), coalesce(sum(outcome = 'allok'), 0), "
    "coalesce(sum(substr(answer, 1, 9) = 'firmware:'), 0), coalesce(sum(bytes_sent), 0), "
    "(SELECT count(*) FROM (SELECT DISTINCT original_id, user_name FROM sessions "
    "WHERE ended_at >= ?1 AND original_id IS NOT NULL)) FROM sessions WHERE ended_at >= ?1";

using Kind = RegisterError::Kind;

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// What a failed call means, in a message that names the register and the way out.
RegisterError Failure(sqlite3* db, int rc, const std::string& uri) {
    std::string what = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (int error = db != nullptr ? sqlite3_system_errno(db) : 0; error != 0)
        what += std::string(" (") + std::strerror(error) + ")";
    const std::string name = "register " + uri;
    switch (rc & 0xFF) {
    case SQLITE_NOTADB:
        return {Kind::NotARegister, name + " is not a register (" + what +
                                        "): name another file with --register sqlite:PATH"};
    case SQLITE_CORRUPT:
        return {Kind::NotARegister,
                name + " is damaged (" + what + "): restore it from a backup or move it away"};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return {Kind::Busy,
                name + " is busy: another program holds its write lock (" + what + "); try again"};
    case SQLITE_READONLY:
        return {Kind::Unavailable,
                name + " cannot be written (" + what +
                    "): the server writes the file and, beside it, FILE-wal and FILE-shm"};
    case SQLITE_CANTOPEN:
        return {Kind::Unavailable,
                name + " cannot be opened (" + what +
                    "): the server reads and writes the file and makes FILE-wal and FILE-shm "
                    "beside it, so both the file and its folder must be writable"};
    case SQLITE_FULL:
        return {Kind::Unavailable, name + " cannot be written (" + what + "): free disk space"};
    default:
        return {Kind::Unavailable, name + " cannot be used (" + what + ")"};
    }
}

// A text column, or a value that may be missing, as SQLite binds it.
void BindText(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
    if (!text)
        sqlite3_bind_null(s, index);
    else
        sqlite3_bind_text(s, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
}

std::optional<std::string> ColumnText(sqlite3_stmt* s, int column) {
    if (sqlite3_column_type(s, column) == SQLITE_NULL)
        return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

std::vector<uint32_t> ParseStages(const std::string& text) {
    std::vector<uint32_t> stages;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = std::min(text.find(',', start), text.size());
        stages.push_back(static_cast<uint32_t>(std::stoul(text.substr(start, comma - start))));
        start = comma + 1;
    }
    if (stages.empty())
        stages.push_back(100);
    return stages;
}

class SqliteRegister final : public Register {
public:
    SqliteRegister(std::string uri, std::string path)
        : uri_(std::move(uri)), path_(std::move(path)) {}

    const std::string& Name() const override { return uri_; }

    void Open(bool create) override {
        Close();
        std::error_code ec;
        if (!fs::exists(path_, ec)) {
            fs::path folder = fs::path(path_).parent_path();
            if (!create)
                throw RegisterError(Kind::Missing,
                                    "register " + uri_ +
                                        " does not exist: name the server's register with "
                                        "--register sqlite:PATH");
            if (!folder.empty() && !fs::is_directory(folder, ec))
                throw RegisterError(Kind::Missing,
                                    "the folder " + folder.string() + " of the register " + uri_ +
                                        " does not exist: create it, or name another with "
                                        "--register sqlite:PATH");
        }
        sqlite3* raw = nullptr;
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK) {
            RegisterError error = Failure(db_.get(), rc, uri_);
            db_.reset();
            throw error;
        }
        sqlite3_extended_result_codes(db_.get(), 1);
        // Another server or a command writes for a few milliseconds at a time.
        sqlite3_busy_timeout(db_.get(), 2000);
        try {
            // The first statement reads the file: a file that is no database fails here.
            Exec("PRAGMA journal_mode = WAL");
            Exec("PRAGMA synchronous = NORMAL");
            Schema(create);
        } catch (...) {
            Close();
            throw;
        }
    }

    void Close() override {
        prepared_.clear();
        db_.reset();
    }

    bool IsOpen() const override { return db_ != nullptr; }

    void Write(const std::vector<SessionRecord>& sessions) override {
        Transaction transaction(*this);
        Changed changed;
        for (const auto& record : sessions)
            WriteSession(record, changed);
        // The figures of each release the batch changed, at the minute of the last session that
        // changed it.
        constexpr int64_t kMinuteMs = 60000;
        for (const auto& [release, endedMs] : changed) {
            const auto& [type, version] = release;
            ReleaseCounts c = Counts(type, version, 0, 100);
            Statement s = Prepared(kUpsertHistory);
            BindText(s, 1, type);
            BindText(s, 2, version);
            sqlite3_bind_int64(s, 3, endedMs - endedMs % kMinuteMs);
            sqlite3_bind_int64(s, 4, static_cast<int64_t>(c.offered));
            sqlite3_bind_int64(s, 5, static_cast<int64_t>(c.downloaded));
            sqlite3_bind_int64(s, 6, static_cast<int64_t>(c.installed));
            sqlite3_bind_int64(s, 7, static_cast<int64_t>(c.cameBack));
            Run(s);
        }
        transaction.Commit();
    }

    uint64_t Prune(int64_t beforeMs) override {
        uint64_t deleted = 0;
        // In slices, each its own transaction: a first prune of a year's rows holds no lock for
        // long.
        for (;;) {
            Transaction transaction(*this);
            Statement s = Prepared(kPruneSessions);
            sqlite3_bind_int64(s, 1, beforeMs);
            Run(s);
            auto n = static_cast<uint64_t>(sqlite3_changes(db_.get()));
            transaction.Commit();
            deleted += n;
            if (n == 0)
                break;
        }
        Transaction transaction(*this);
        for (const char* sql : {kPruneDevices, kPruneHistory}) {
            Statement s = Prepared(sql);
            sqlite3_bind_int64(s, 1, beforeMs);
            Run(s);
        }
        transaction.Commit();
        return deleted;
    }

    void Serve(const std::vector<RolloutPlan>& plans, int64_t nowMs) override {
        Transaction transaction(*this);
        for (const auto& plan : plans) {
            std::optional<ReleaseRow> row = Release(plan.type, plan.version);
            if (!row) {
                Statement s = Prepared(kInsertRelease);
                BindText(s, 1, plan.type);
                BindText(s, 2, plan.version);
                sqlite3_bind_int(s, 3, plan.staged ? 1 : 0);
                BindText(s, 4, StagesText(plan.stages));
                sqlite3_bind_int64(s, 5, static_cast<int64_t>(plan.advance));
                sqlite3_bind_int(s, 6, static_cast<int>(plan.haltBasisPoints));
                sqlite3_bind_int(s, 7, static_cast<int>(plan.stages.front()));
                sqlite3_bind_int64(s, 8, nowMs);
                Run(s);
                continue;
            }
            if (auto next = ServedRelease(*row, plan))
                Update(*next, nowMs);
        }
        transaction.Commit();
    }

    std::vector<RolloutEvent> Steer(const std::vector<RolloutPlan>& plans, int64_t nowMs) override {
        std::vector<RolloutEvent> events;
        for (const auto& plan : plans) {
            if (!plan.staged)
                continue;
            // One release at a time, read and changed in one transaction: of several servers on
            // one register, one makes each change.
            Transaction transaction(*this);
            std::optional<ReleaseRow> row = Release(plan.type, plan.version);
            ReleaseRow next;
            std::optional<RolloutAction> action = row ? SteeredRelease(*row, next) : std::nullopt;
            if (!action)
                continue;
            Update(next, nowMs);
            events.push_back(Event(*row, next, *action, false, nowMs));
            transaction.Commit();
        }
        return events;
    }

    RolloutEvent Change(const std::string& type, const std::string& version, RolloutAction action,
                        int64_t nowMs) override {
        Transaction transaction(*this);
        std::optional<ReleaseRow> row = Release(type, version);
        const std::string name = type + " " + version;
        if (!row)
            throw RegisterError(Kind::Unknown, "the register " + uri_ + " knows no release " +
                                                   name + " (`rollout` lists those it knows)");
        ReleaseRow next = ChangedRelease(*row, action);
        Update(next, nowMs);
        RolloutEvent event = Event(*row, next, action, true, nowMs);
        transaction.Commit();
        return event;
    }

    std::vector<ReleaseRow>
    Releases(const std::vector<std::pair<std::string, std::string>>& which) override {
        std::vector<ReleaseRow> rows;
        if (which.empty()) {
            Statement s = Prepared(kAllReleases);
            while (Step(s))
                rows.push_back(ReleaseColumns(s));
            for (auto& row : rows)
                Count(row);
            return rows;
        }
        for (const auto& [type, version] : which)
            if (auto row = Release(type, version))
                rows.push_back(std::move(*row));
        return rows;
    }

    std::vector<std::string> Downloaded(const std::string& type,
                                        const std::string& version) override {
        Statement s = Prepared(kDownloaded);
        BindText(s, 1, type);
        BindText(s, 2, version);
        std::vector<std::string> ids;
        while (Step(s))
            ids.push_back(ColumnText(s, 0).value_or(""));
        return ids;
    }

    std::vector<DeviceRow> Devices(const DeviceFilter& filter) override {
        Statement s = Prepared(kDevices.c_str());
        BindFilter(s, filter);
        // SQLite takes a negative LIMIT as none.
        sqlite3_bind_int64(s, 4, filter.limit == 0 ? -1 : static_cast<int64_t>(filter.limit));
        sqlite3_bind_int64(s, 5, static_cast<int64_t>(filter.offset));
        std::vector<DeviceRow> rows;
        while (Step(s)) {
            DeviceRow d;
            d.originalId = ColumnText(s, 0).value_or("");
            d.type = ColumnText(s, 1).value_or("");
            d.firstSeenMs = sqlite3_column_int64(s, 2);
            d.lastSeenMs = sqlite3_column_int64(s, 3);
            d.sessions = static_cast<uint64_t>(sqlite3_column_int64(s, 4));
            d.peer = ColumnText(s, 5);
            constexpr std::array<SessionRecord::Value, 11> kColumns{
                SessionRecord::HVer,    SessionRecord::SVer,   SessionRecord::UseCount,
                SessionRecord::RegInfo, SessionRecord::PCInfo, SessionRecord::CID1,
                SessionRecord::CID2,    SessionRecord::CID3,   SessionRecord::CID4,
                SessionRecord::UPType,  SessionRecord::SWVer};
            for (size_t i = 0; i < kColumns.size(); ++i)
                d.values[kColumns[i]] = ColumnText(s, static_cast<int>(6 + i));
            d.values[SessionRecord::OriginalID] = d.originalId;
            d.values[SessionRecord::UserName] = d.type;
            d.answer = ColumnText(s, 17).value_or("");
            d.end = ColumnText(s, 18).value_or("");
            if (auto release = ColumnText(s, 19)) {
                size_t space = release->rfind(' ');
                d.release = release->substr(0, space);
                d.releaseState = ParseDeviceState(release->substr(space + 1));
            }
            rows.push_back(std::move(d));
        }
        return rows;
    }

    uint64_t CountDevices(const DeviceFilter& filter) override {
        Statement s = Prepared(kCountDevices.c_str());
        BindFilter(s, filter);
        Step(s);
        return static_cast<uint64_t>(sqlite3_column_int64(s, 0));
    }

    std::vector<ReleasePoint> History(const std::string& type,
                                      const std::string& version) override {
        Statement s = Prepared(kHistory);
        BindText(s, 1, type);
        BindText(s, 2, version);
        std::vector<ReleasePoint> points;
        while (Step(s))
            points.push_back({sqlite3_column_int64(s, 0), CountColumns(s, 1)});
        return points;
    }

    std::vector<RolloutEvent> Events(const std::string& type, const std::string& version) override {
        Statement s = Prepared(kEvents);
        BindText(s, 1, type);
        BindText(s, 2, version);
        std::vector<RolloutEvent> events;
        while (Step(s)) {
            RolloutEvent e;
            e.type = type;
            e.version = version;
            e.atMs = sqlite3_column_int64(s, 0);
            e.action =
                ParseRolloutAction(ColumnText(s, 1).value_or("")).value_or(RolloutAction::Advance);
            e.byOperator = ColumnText(s, 2) == "operator";
            e.fromPercent = static_cast<uint32_t>(sqlite3_column_int(s, 3));
            e.toPercent = static_cast<uint32_t>(sqlite3_column_int(s, 4));
            e.counts = CountColumns(s, 5);
            e.stage.installed = static_cast<uint64_t>(sqlite3_column_int64(s, 9));
            e.stage.cameBack = static_cast<uint64_t>(sqlite3_column_int64(s, 10));
            events.push_back(std::move(e));
        }
        return events;
    }

    std::vector<SessionRecord> Sessions(const SessionFilter& filter) override {
        Statement s = Prepared(kSessions);
        sqlite3_bind_int64(s, 1, filter.sinceMs);
        sqlite3_bind_int(s, 2, filter.failedOnly ? 1 : 0);
        sqlite3_bind_int64(s, 3, filter.limit == 0 ? -1 : static_cast<int64_t>(filter.limit));
        std::vector<SessionRecord> sessions;
        while (Step(s)) {
            SessionRecord r;
            r.endedMs = sqlite3_column_int64(s, 0);
            r.peer = ColumnText(s, 1).value_or("");
            for (size_t i = 0; i < SessionRecord::kValues; ++i)
                r.values[i] = ColumnText(s, static_cast<int>(2 + i));
            r.answer = ColumnText(s, 15).value_or("");
            r.heldFrom = ColumnText(s, 16).value_or("");
            r.end = ColumnText(s, 17).value_or("");
            r.bytesSent = static_cast<uint64_t>(sqlite3_column_int64(s, 18));
            r.durationMs = static_cast<uint64_t>(sqlite3_column_int64(s, 19));
            sessions.push_back(std::move(r));
        }
        return sessions;
    }

    std::vector<VersionCount> Versions() override {
        Statement s = Prepared(kVersions);
        std::vector<VersionCount> versions;
        while (Step(s))
            versions.push_back({ColumnText(s, 0).value_or(""), ColumnText(s, 1).value_or(""),
                                static_cast<uint64_t>(sqlite3_column_int64(s, 2))});
        return versions;
    }

    SessionTotals Totals(int64_t sinceMs) override {
        Statement s = Prepared(kTotals);
        sqlite3_bind_int64(s, 1, sinceMs);
        Step(s);
        auto column = [&](int i) { return static_cast<uint64_t>(sqlite3_column_int64(s, i)); };
        return {.sessions = column(0),
                .allOk = column(1),
                .firmware = column(2),
                .devices = column(4),
                .bytesSent = column(3)};
    }

private:
    // The releases a batch changed the state of a device in, with the latest end among the
    // sessions that changed each.
    using Changed = std::map<std::pair<std::string, std::string>, int64_t>;

    static void BindFilter(sqlite3_stmt* s, const DeviceFilter& filter) {
        BindText(s, 1, filter.type);
        BindText(s, 2, filter.version);
        BindText(s, 3, filter.state ? DeviceStateName(*filter.state) : "");
    }

    // Offered, downloaded, installed and came back in four columns from `first`.
    static ReleaseCounts CountColumns(sqlite3_stmt* s, int first) {
        auto column = [&](int i) {
            return static_cast<uint64_t>(sqlite3_column_int64(s, first + i));
        };
        return {column(0), column(1), column(2), column(3)};
    }

    // BEGIN IMMEDIATE: the write lock is taken at the start, so that what is read inside is
    // still true when the changes are written.
    class Transaction {
    public:
        explicit Transaction(SqliteRegister& r) : r_(r) { r_.Exec("BEGIN IMMEDIATE"); }
        ~Transaction() {
            if (!done_)
                sqlite3_exec(r_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit() {
            r_.Exec("COMMIT");
            done_ = true;
        }

    private:
        SqliteRegister& r_;
        bool done_ = false;
    };

    void Exec(const char* sql) {
        if (!db_)
            throw RegisterError(Kind::Unavailable, "register " + uri_ + " is not open");
        int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            throw Failure(db_.get(), rc, uri_);
    }

    // A prepared statement in use: reset when it goes, so that no finished or abandoned query
    // keeps a read transaction open (which would keep the WAL from being checkpointed and make
    // the next write transaction fail at once instead of waiting for a lock).
    class Statement {
    public:
        explicit Statement(sqlite3_stmt* s) : s_(s) {}
        ~Statement() { sqlite3_reset(s_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        operator sqlite3_stmt*() const { return s_; } // NOLINT(google-explicit-constructor)

    private:
        sqlite3_stmt* s_;
    };

    // The statement of `sql` (one of the constants above), prepared once, unbound.
    Statement Prepared(const char* sql) {
        if (!db_)
            throw RegisterError(Kind::Unavailable, "register " + uri_ + " is not open");
        auto it = prepared_.find(sql);
        if (it == prepared_.end()) {
            sqlite3_stmt* raw = nullptr;
            int rc =
                sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
            if (rc != SQLITE_OK)
                throw Failure(db_.get(), rc, uri_);
            it = prepared_.emplace(sql, std::unique_ptr<sqlite3_stmt, Finalize>(raw)).first;
        }
        sqlite3_clear_bindings(it->second.get());
        return Statement(it->second.get());
    }

    // True with a row, false when done.
    bool Step(sqlite3_stmt* s) {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw Failure(db_.get(), rc, uri_);
        return false;
    }

    void Run(sqlite3_stmt* s) {
        while (Step(s)) {
        }
    }

    // Creates the schema in a new register, migrates an older one, and refuses what is no
    // register or one newer than this server.
    void Schema(bool create) {
        auto count = [&](const char* sql) {
            Statement s = Prepared(sql);
            Step(s);
            return sqlite3_column_int64(s, 0);
        };
        const char* hasVersion =
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'";
        if (count(hasVersion) == 0) {
            if (count("SELECT count(*) FROM sqlite_master") != 0)
                throw RegisterError(Kind::NotARegister,
                                    "register " + uri_ +
                                        " is an SQLite database of something else (it has no "
                                        "schema_version table): name another file with "
                                        "--register sqlite:PATH");
            if (!create)
                throw RegisterError(Kind::NotARegister,
                                    "register " + uri_ + " is an empty file, no register");
            Transaction transaction(*this);
            // Another server may have made it meanwhile.
            if (count(hasVersion) == 0)
                Exec(kSchema);
            transaction.Commit();
        }
        int64_t version = count("SELECT max(version) FROM schema_version");
        if (version < 1)
            throw RegisterError(Kind::NotARegister, "register " + uri_ +
                                                        " has no schema version: restore it from a "
                                                        "backup or move it away");
        if (version > kSchemaVersion)
            throw RegisterError(Kind::NewerSchema, "register " + uri_ + " has schema version " +
                                                       std::to_string(version) +
                                                       ", newer than this server's (" +
                                                       std::to_string(kSchemaVersion) +
                                                       "): use the newer server that wrote it");
        if (version < kSchemaVersion) {
            Transaction transaction(*this);
            for (int64_t v = count("SELECT max(version) FROM schema_version"); v < kSchemaVersion;
                 ++v)
                Exec(kMigrations[static_cast<size_t>(v - 1)]);
            transaction.Commit();
        }
    }

    void WriteSession(const SessionRecord& r, Changed& changed) {
        Statement s = Prepared(kInsertSession);
        sqlite3_bind_int64(s, 1, r.endedMs);
        BindText(s, 2, r.peer);
        for (size_t i = 0; i < SessionRecord::kValues; ++i)
            BindText(s, static_cast<int>(3 + i), r.values[i]);
        BindText(s, 16, r.answer);
        BindText(s, 17, r.heldFrom.empty() ? std::nullopt : std::optional(r.heldFrom));
        BindText(s, 18, r.end);
        sqlite3_bind_int64(s, 19, static_cast<int64_t>(r.bytesSent));
        sqlite3_bind_int64(s, 20, static_cast<int64_t>(r.durationMs));
        Run(s);
        const auto& id = r.values[SessionRecord::OriginalID];
        const auto& type = r.values[SessionRecord::UserName];
        if (!id || !type)
            return;
        // The same bindings, named by their numbers, make the device's row.
        Statement d = Prepared(kUpsertDevice);
        sqlite3_bind_int64(d, 1, r.endedMs);
        BindText(d, 2, r.peer);
        for (size_t i = 0; i < SessionRecord::kValues; ++i)
            BindText(d, static_cast<int>(3 + i), r.values[i]);
        BindText(d, 16, r.answer);
        BindText(d, 18, r.end);
        Run(d);
        WriteReleaseStates(r, *id, *type, changed);
    }

    // What this session says about each release offered to the device.
    void WriteReleaseStates(const SessionRecord& r, const std::string& id, const std::string& type,
                            Changed& changed) {
        auto change = [&](const std::string& version) {
            int64_t& at = changed.try_emplace({type, version}, r.endedMs).first->second;
            at = std::max(at, r.endedMs);
        };
        const std::string offered = OfferedVersion(r);
        std::map<std::string, DeviceState> states;
        Statement s = Prepared(kDeviceReleases);
        BindText(s, 1, id);
        BindText(s, 2, type);
        while (Step(s))
            states[ColumnText(s, 0).value_or("")] =
                ParseDeviceState(ColumnText(s, 1).value_or("")).value_or(DeviceState::Offered);
        for (const auto& [version, state] : states) {
            DeviceState next = NextState(state, FactsFor(r, version));
            if (next == state)
                continue;
            Statement u = Prepared(kUpdateDeviceRelease);
            BindText(u, 1, type);
            BindText(u, 2, version);
            BindText(u, 3, id);
            BindText(u, 4, std::string(DeviceStateName(next)));
            sqlite3_bind_int64(u, 5, r.endedMs);
            Run(u);
            change(version);
        }
        if (offered.empty() || states.count(offered))
            return;
        Statement k = Prepared(kKnowRelease);
        BindText(k, 1, type);
        BindText(k, 2, offered);
        sqlite3_bind_int64(k, 3, static_cast<int64_t>(kDefaultAdvance));
        sqlite3_bind_int(k, 4, static_cast<int>(kDefaultHaltBasisPoints));
        sqlite3_bind_int64(k, 5, r.endedMs);
        Run(k);
        Statement i = Prepared(kInsertDeviceRelease);
        BindText(i, 1, type);
        BindText(i, 2, offered);
        BindText(i, 3, id);
        sqlite3_bind_int(i, 4, static_cast<int>(Bucket(id, type, offered)));
        BindText(i, 5,
                 std::string(DeviceStateName(NextState(DeviceState::None, FactsFor(r, offered)))));
        sqlite3_bind_int64(i, 6, r.endedMs);
        Run(i);
        change(offered);
    }

    ReleaseRow ReleaseColumns(sqlite3_stmt* s) {
        ReleaseRow row;
        row.type = ColumnText(s, 0).value_or("");
        row.version = ColumnText(s, 1).value_or("");
        row.staged = sqlite3_column_int(s, 2) != 0;
        row.plan.type = row.type;
        row.plan.version = row.version;
        row.plan.staged = row.staged;
        row.plan.stages = ParseStages(ColumnText(s, 3).value_or(""));
        row.plan.advance = static_cast<uint64_t>(sqlite3_column_int64(s, 4));
        row.plan.haltBasisPoints = static_cast<uint32_t>(sqlite3_column_int(s, 5));
        row.percent = static_cast<uint32_t>(sqlite3_column_int(s, 6));
        row.paused = sqlite3_column_int(s, 7) != 0;
        row.halted = sqlite3_column_int(s, 8) != 0;
        row.haltBase.installed = static_cast<uint64_t>(sqlite3_column_int64(s, 9));
        row.haltBase.cameBack = static_cast<uint64_t>(sqlite3_column_int64(s, 10));
        row.updatedMs = sqlite3_column_int64(s, 11);
        return row;
    }

    // The release's row with its figures, or nothing.
    std::optional<ReleaseRow> Release(const std::string& type, const std::string& version) {
        Statement s = Prepared(kRelease);
        BindText(s, 1, type);
        BindText(s, 2, version);
        if (!Step(s))
            return std::nullopt;
        ReleaseRow row = ReleaseColumns(s);
        Count(row);
        return row;
    }

    // A release's devices by state, those of the buckets [from, to).
    ReleaseCounts Counts(const std::string& type, const std::string& version, uint32_t from,
                         uint32_t to) {
        ReleaseCounts c;
        Statement s = Prepared(kCounts);
        BindText(s, 1, type);
        BindText(s, 2, version);
        sqlite3_bind_int(s, 3, static_cast<int>(from));
        sqlite3_bind_int(s, 4, static_cast<int>(to));
        while (Step(s))
            if (auto state = ParseDeviceState(ColumnText(s, 0).value_or("")))
                c.Of(*state) = static_cast<uint64_t>(sqlite3_column_int64(s, 1));
        return c;
    }

    // Its devices by state, in all and in its current stage's buckets.
    void Count(ReleaseRow& row) {
        row.counts = Counts(row.type, row.version, 0, 100);
        row.stage = row.staged ? Counts(row.type, row.version,
                                        StageStart(row.plan.stages, row.percent), row.percent)
                               : row.counts;
    }

    void Update(const ReleaseRow& row, int64_t nowMs) {
        Statement s = Prepared(kUpdateRelease);
        BindText(s, 1, row.type);
        BindText(s, 2, row.version);
        sqlite3_bind_int(s, 3, row.staged ? 1 : 0);
        BindText(s, 4, StagesText(row.plan.stages));
        sqlite3_bind_int64(s, 5, static_cast<int64_t>(row.plan.advance));
        sqlite3_bind_int(s, 6, static_cast<int>(row.plan.haltBasisPoints));
        sqlite3_bind_int(s, 7, static_cast<int>(row.percent));
        sqlite3_bind_int(s, 8, row.paused ? 1 : 0);
        sqlite3_bind_int(s, 9, row.halted ? 1 : 0);
        sqlite3_bind_int64(s, 10, static_cast<int64_t>(row.haltBase.installed));
        sqlite3_bind_int64(s, 11, static_cast<int64_t>(row.haltBase.cameBack));
        sqlite3_bind_int64(s, 12, nowMs);
        Run(s);
    }

    // The change from `before` to `after`, written as a row of rollout_events.
    RolloutEvent Event(const ReleaseRow& before, const ReleaseRow& after, RolloutAction action,
                       bool byOperator, int64_t nowMs) {
        RolloutEvent e = ReleaseEvent(before, after, action, byOperator, nowMs);
        Statement s = Prepared(kInsertEvent);
        sqlite3_bind_int64(s, 1, nowMs);
        BindText(s, 2, e.type);
        BindText(s, 3, e.version);
        BindText(s, 4, std::string(RolloutActionName(action)));
        BindText(s, 5, std::string(byOperator ? "operator" : "server"));
        sqlite3_bind_int(s, 6, static_cast<int>(e.fromPercent));
        sqlite3_bind_int(s, 7, static_cast<int>(e.toPercent));
        sqlite3_bind_int64(s, 8, static_cast<int64_t>(e.counts.offered));
        sqlite3_bind_int64(s, 9, static_cast<int64_t>(e.counts.downloaded));
        sqlite3_bind_int64(s, 10, static_cast<int64_t>(e.counts.installed));
        sqlite3_bind_int64(s, 11, static_cast<int64_t>(e.counts.cameBack));
        sqlite3_bind_int64(s, 12, static_cast<int64_t>(e.stage.installed));
        sqlite3_bind_int64(s, 13, static_cast<int64_t>(e.stage.cameBack));
        Run(s);
        return e;
    }

    const std::string uri_;
    const std::string path_;
    std::unique_ptr<sqlite3, CloseDatabase> db_;
    std::unordered_map<const char*, std::unique_ptr<sqlite3_stmt, Finalize>> prepared_;
};

} // namespace

std::unique_ptr<Register> MakeSqliteRegister(const std::string& uri, const std::string& path) {
    return std::make_unique<SqliteRegister>(uri, path);
}
