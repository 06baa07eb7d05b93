// The register in a PostgreSQL database, which servers on several hosts share, and all of its
// SQL there. libpq itself (no C++ layer on it): one connection per register object, used by one
// thread at a time (the server's writer; the operator's command), made again on the next call
// after it was lost. A batch of sessions costs a handful of round trips whatever its size: the
// states it changes are read at once, worked out here, and written with one statement per table
// whose rows travel as arrays.
#include "Register.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

namespace {
constexpr int kSchemaVersion = 2;

// Version 1 of the schema, which the migrations below bring to the current version: a new
// register is made by the same steps as an old one is brought up to date. The same tables as
// the SQLite register's (README.md, "The register"), with PostgreSQL's types; text orders byte
// by byte (COLLATE "C"), as in SQLite.
constexpr const char* kSchema = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (1);
CREATE TABLE sessions (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    ended_at BIGINT NOT NULL,
    peer TEXT NOT NULL,
    original_id TEXT COLLATE "C", sw_ver TEXT, user_name TEXT COLLATE "C", up_type TEXT,
    hver TEXT, sver TEXT, use_count TEXT, reg_info TEXT, pc_info TEXT,
    cid1 TEXT, cid2 TEXT, cid3 TEXT, cid4 TEXT,
    answer TEXT NOT NULL,
    held_from TEXT,
    outcome TEXT NOT NULL,
    bytes_sent BIGINT NOT NULL,
    duration_ms BIGINT NOT NULL
);
CREATE INDEX sessions_ended_at ON sessions (ended_at);
CREATE INDEX sessions_device ON sessions (original_id, user_name);
CREATE TABLE devices (
    original_id TEXT COLLATE "C" NOT NULL,
    type TEXT COLLATE "C" NOT NULL,
    first_seen BIGINT NOT NULL,
    last_seen BIGINT NOT NULL,
    sessions BIGINT NOT NULL,
    peer TEXT,
    sw_ver TEXT, up_type TEXT, hver TEXT, sver TEXT COLLATE "C", use_count TEXT, reg_info TEXT,
    pc_info TEXT, cid1 TEXT, cid2 TEXT, cid3 TEXT, cid4 TEXT,
    answer TEXT NOT NULL,
    outcome TEXT NOT NULL,
    PRIMARY KEY (original_id, type)
);
CREATE TABLE releases (
    type TEXT COLLATE "C" NOT NULL,
    version TEXT COLLATE "C" NOT NULL,
    staged INTEGER NOT NULL,
    stages TEXT NOT NULL,
    advance BIGINT NOT NULL,
    halt_bp INTEGER NOT NULL,
    percent INTEGER NOT NULL,
    paused INTEGER NOT NULL DEFAULT 0,
    halted INTEGER NOT NULL DEFAULT 0,
    base_installed BIGINT NOT NULL DEFAULT 0,
    base_came_back BIGINT NOT NULL DEFAULT 0,
    created_at BIGINT NOT NULL,
    updated_at BIGINT NOT NULL,
    PRIMARY KEY (type, version)
);
CREATE TABLE device_releases (
    type TEXT COLLATE "C" NOT NULL,
    version TEXT COLLATE "C" NOT NULL,
    original_id TEXT COLLATE "C" NOT NULL,
    bucket INTEGER NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('offered', 'downloaded', 'installed', 'came-back')),
    updated_at BIGINT NOT NULL,
    PRIMARY KEY (type, version, original_id)
);
CREATE INDEX device_releases_device ON device_releases (original_id, type);
CREATE TABLE rollout_events (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    at BIGINT NOT NULL,
    type TEXT COLLATE "C" NOT NULL,
    version TEXT COLLATE "C" NOT NULL,
    event TEXT NOT NULL CHECK (event IN ('advance', 'halt', 'pause', 'resume')),
    actor TEXT NOT NULL CHECK (actor IN ('server', 'operator')),
    from_percent INTEGER NOT NULL,
    to_percent INTEGER NOT NULL,
    offered BIGINT NOT NULL,
    downloaded BIGINT NOT NULL,
    installed BIGINT NOT NULL,
    came_back BIGINT NOT NULL,
    stage_installed BIGINT NOT NULL,
    stage_came_back BIGINT NOT NULL
);
)sql";

// The steps from each older schema to the next: kMigrations[v - 1] turns version v into v + 1
// (and sets schema_version).
constexpr std::array<const char*, kSchemaVersion - 1> kMigrations{
    // 2: each release's figures over time, one row per minute in which they changed.
    R"sql(
CREATE TABLE release_history (
    type TEXT COLLATE "C" NOT NULL,
    version TEXT COLLATE "C" NOT NULL,
    at BIGINT NOT NULL,
    offered BIGINT NOT NULL, downloaded BIGINT NOT NULL,
    installed BIGINT NOT NULL, came_back BIGINT NOT NULL,
    PRIMARY KEY (type, version, at)
);
UPDATE schema_version SET version = 2;
)sql",
};

// The register's tables, which a database of something else must not hold already.
constexpr const char* kTables[] = {"sessions",        "devices",        "releases",
                                   "device_releases", "rollout_events", "release_history"};

// Transaction-wide advisory locks (any two numbers that no other program on the database uses):
// the schema is made or migrated once when servers start together, and the servers' batches of
// sessions are written one after the other, as SQLite's write lock has it, so that the device
// states a batch reads are still true when it writes them.
constexpr int64_t kSchemaLock = 0x4b65737472656c01;
constexpr int64_t kWriteLock = 0x4b65737472656c02;
// How long a statement waits for a lock another server or command holds: then Busy.
constexpr const char* kLockTimeout = "SET lock_timeout = 5000";
// How long a connection may take to be made, unless the URI says (connect_timeout=).
constexpr const char* kConnectTimeoutSeconds = "10";
constexpr int64_t kMinuteMs = 60000;

// A batch's rows, each column an array parameter. The sessions in SessionRecord's value order.
constexpr const char* kInsertSessions =
    "INSERT INTO sessions (ended_at, peer, user_name, hver, sver, use_count, reg_info, pc_info, "
    "original_id, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, held_from, outcome, "
    "bytes_sent, duration_ms) SELECT * FROM unnest($1::bigint[], $2::text[], $3::text[], "
    "$4::text[], $5::text[], $6::text[], $7::text[], $8::text[], $9::text[], $10::text[], "
    "$11::text[], $12::text[], $13::text[], $14::text[], $15::text[], $16::text[], $17::text[], "
    "$18::text[], $19::bigint[], $20::bigint[])";
// Each device once, with what the batch's sessions of it made of it: a value its last session
// did not announce keeps the one before.
constexpr const char* kUpsertDevices =
    "INSERT INTO devices AS d (original_id, type, first_seen, last_seen, sessions, peer, hver, "
    "sver, use_count, reg_info, pc_info, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, "
    "outcome) SELECT * FROM unnest($1::text[], $2::text[], $3::bigint[], $4::bigint[], "
    "$5::bigint[], $6::text[], $7::text[], $8::text[], $9::text[], $10::text[], $11::text[], "
    "$12::text[], $13::text[], $14::text[], $15::text[], $16::text[], $17::text[], $18::text[], "
    "$19::text[]) ON CONFLICT (original_id, type) DO UPDATE SET last_seen = excluded.last_seen, "
    "sessions = d.sessions + excluded.sessions, peer = excluded.peer, "
    "hver = coalesce(excluded.hver, d.hver), sver = coalesce(excluded.sver, d.sver), "
    "use_count = coalesce(excluded.use_count, d.use_count), "
    "reg_info = coalesce(excluded.reg_info, d.reg_info), "
    "pc_info = coalesce(excluded.pc_info, d.pc_info), cid1 = coalesce(excluded.cid1, d.cid1), "
    "cid2 = coalesce(excluded.cid2, d.cid2), cid3 = coalesce(excluded.cid3, d.cid3), "
    "cid4 = coalesce(excluded.cid4, d.cid4), up_type = coalesce(excluded.up_type, d.up_type), "
    "sw_ver = coalesce(excluded.sw_ver, d.sw_ver), answer = excluded.answer, "
    "outcome = excluded.outcome";
constexpr const char* kDeviceReleases =
    "SELECT r.original_id, r.type, r.version, r.state FROM device_releases r "
    "JOIN unnest($1::text[], $2::text[]) AS b (original_id, type) "
    "ON r.original_id = b.original_id AND r.type = b.type";
constexpr const char* kUpdateDeviceReleases =
    "UPDATE device_releases r SET state = u.state, updated_at = u.updated_at "
    "FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::bigint[]) "
    "AS u (type, version, original_id, state, updated_at) "
    "WHERE r.type = u.type AND r.version = u.version AND r.original_id = u.original_id";
constexpr const char* kInsertDeviceReleases =
    "INSERT INTO device_releases (type, version, original_id, bucket, state, updated_at) "
    "SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::integer[], $5::text[], "
    "$6::bigint[])";
// A release offered without a rollout line (or before its line was made known) goes to every
// device.
constexpr const char* kKnowReleases =
    "INSERT INTO releases (type, version, staged, stages, advance, halt_bp, percent, created_at, "
    "updated_at) SELECT type, version, 0, '100', $4, $5, 100, at, at "
    "FROM unnest($1::text[], $2::text[], $3::bigint[]) AS k (type, version, at) "
    "ON CONFLICT (type, version) DO NOTHING";
// The figures of each release the batch changed, after it, at the minute given.
constexpr const char* kUpsertHistory =
    "INSERT INTO release_history AS h (type, version, at, offered, downloaded, installed, "
    "came_back) SELECT c.type, c.version, c.at, count(*) FILTER (WHERE r.state = 'offered'), "
    "count(*) FILTER (WHERE r.state = 'downloaded'), count(*) FILTER (WHERE r.state = "
    "'installed'), count(*) FILTER (WHERE r.state = 'came-back') "
    "FROM unnest($1::text[], $2::text[], $3::bigint[]) AS c (type, version, at) "
    "JOIN device_releases r ON r.type = c.type AND r.version = c.version "
    "GROUP BY c.type, c.version, c.at ON CONFLICT (type, version, at) DO UPDATE SET "
    "offered = excluded.offered, downloaded = excluded.downloaded, "
    "installed = excluded.installed, came_back = excluded.came_back";

constexpr const char* kPruneSessions =
    "DELETE FROM sessions WHERE id IN (SELECT id FROM sessions WHERE ended_at < $1 LIMIT 10000)";
// The announced values a row of `devices` keeps, in the order the device statements list them
// (from their 7th column, hver).
constexpr std::array<SessionRecord::Value, 11> kDeviceValues{
    SessionRecord::HVer,   SessionRecord::SVer,   SessionRecord::UseCount, SessionRecord::RegInfo,
    SessionRecord::PCInfo, SessionRecord::CID1,   SessionRecord::CID2,     SessionRecord::CID3,
    SessionRecord::CID4,   SessionRecord::UPType, SessionRecord::SWVer};
constexpr const char* kPruneHistory = "DELETE FROM release_history WHERE at < $1";
constexpr const char* kPruneDevices =
    "UPDATE devices SET peer = NULL, pc_info = NULL "
    "WHERE last_seen < $1 AND (peer IS NOT NULL OR pc_info IS NOT NULL)";
const std::string kReleaseColumns =
    "SELECT type, version, staged, stages, advance, halt_bp, percent, paused, halted, "
    "base_installed, base_came_back, updated_at FROM releases ";
const std::string kRelease = kReleaseColumns + "WHERE type = $1 AND version = $2";
// In a transaction that decides on the release: another server's decision on it waits.
const std::string kLockRelease = kRelease + " FOR UPDATE";
const std::string kAllReleases = kReleaseColumns + "ORDER BY type, version";
constexpr const char* kInsertRelease =
    "INSERT INTO releases (type, version, staged, stages, advance, halt_bp, percent, created_at, "
    "updated_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $8) ON CONFLICT (type, version) DO "
    "NOTHING";
constexpr const char* kUpdateRelease =
    "UPDATE releases SET staged = $3, stages = $4, advance = $5, halt_bp = $6, percent = $7, "
    "paused = $8, halted = $9, base_installed = $10, base_came_back = $11, updated_at = $12 "
    "WHERE type = $1 AND version = $2";
// A release's devices by state: all of them, and those of the buckets [$3, $4).
constexpr const char* kCounts =
    "SELECT state, count(*), count(*) FILTER (WHERE bucket >= $3 AND bucket < $4) "
    "FROM device_releases WHERE type = $1 AND version = $2 GROUP BY state";
constexpr const char* kInsertEvent =
    "INSERT INTO rollout_events (at, type, version, event, actor, from_percent, to_percent, "
    "offered, downloaded, installed, came_back, stage_installed, stage_came_back) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)";
constexpr const char* kDownloaded =
    "SELECT original_id FROM device_releases WHERE type = $1 AND version = $2 "
    "AND state IN ('downloaded', 'installed', 'came-back')";
// The devices a DeviceFilter matches ($1 type, $2 version, $3 state name), with the release
// whose state for the device changed last.
const std::string kMatchingDevices =
    "FROM devices d LEFT JOIN LATERAL (SELECT version, state FROM device_releases r "
    "WHERE r.original_id = d.original_id AND r.type = d.type "
    "ORDER BY updated_at DESC, version DESC LIMIT 1) l ON true "
    "WHERE ($1 = '' OR d.type = $1) AND ($2 = '' OR d.sver = $2) "
    "AND ($3 = '' OR ($3 = 'none' AND l.state IS NULL) OR l.state = $3) ";
// A page of them: $4 skipped, at most $5 (NULL: all).
const std::string kDevices =
    "SELECT d.original_id, d.type, first_seen, last_seen, sessions, peer, hver, sver, "
    "use_count, reg_info, pc_info, cid1, cid2, cid3, cid4, up_type, sw_ver, answer, outcome, "
    "l.version, l.state " +
    kMatchingDevices + "ORDER BY d.type, d.original_id OFFSET $4 LIMIT $5";
const std::string kCountDevices = "SELECT count(*) " + kMatchingDevices;
constexpr const char* kHistory =
    "SELECT at, offered, downloaded, installed, came_back FROM release_history "
    "WHERE type = $1 AND version = $2 ORDER BY at";
constexpr const char* kEvents =
    "SELECT at, event, actor, from_percent, to_percent, offered, downloaded, installed, "
    "came_back, stage_installed, stage_came_back FROM rollout_events "
    "WHERE type = $1 AND version = $2 ORDER BY at, id";
// The values in SessionRecord's order; at most $3 (NULL: all).
constexpr const char* kSessions =
    "SELECT ended_at, peer, user_name, hver, sver, use_count, reg_info, pc_info, original_id, "
    "cid1, cid2, cid3, cid4, up_type, sw_ver, answer, held_from, outcome, bytes_sent, "
    "duration_ms FROM sessions WHERE ended_at >= $1 AND (NOT $2 OR outcome NOT IN ('allok', "
    "'status', 'rep')) "
    "ORDER BY ended_at DESC, id DESC LIMIT $3";
constexpr const char* kVersions =
    "SELECT type, coalesce(sver, ''), count(*) FROM devices GROUP BY 1, 2 ORDER BY 1, 2";
constexpr const char* kTotals =
    "SELECT count(*), count(*) FILTER (WHERE outcome = 'allok'), "
    "count(*) FILTER (WHERE answer LIKE 'firmware:%'), coalesce(sum(bytes_sent), 0), "
    "(SELECT count(*) FROM (SELECT DISTINCT original_id, user_name FROM sessions "
    "WHERE ended_at >= $1 AND original_id IS NOT NULL) s) FROM sessions WHERE ended_at >= $1";

using Kind = RegisterError::Kind;

struct FinishConnection {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ClearResult {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

// A parameter in PostgreSQL's text form; nothing is NULL.
using Param = std::optional<std::string>;

// Text as PostgreSQL takes it: valid UTF-8 without NUL. A byte that breaks that (a value cut at
// 64 bytes inside a character, another encoding, a NUL) becomes U+FFFD; SQLite keeps such
// bytes, PostgreSQL refuses them (and with them the whole batch).
std::string Utf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        bool valid = c != 0 && (c < 0x80 || (c >= 0xC2 && c <= 0xF4)) && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 2) {
            // No overlong form, no surrogate, nothing above U+10FFFF.
            auto next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0) &&
                    !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

Param Text(const std::optional<std::string>& text) {
    return text ? Param(Utf8(*text)) : std::nullopt;
}
Param Int(int64_t n) {
    return std::to_string(n);
}

// An array parameter ('{"a",NULL,"b"}', '{1,2}'), one element at a time.
class Array {
public:
    void Add(const std::optional<std::string>& text) {
        Separate();
        if (!text) {
            items_ += "NULL";
            return;
        }
        items_ += '"';
        for (char c : Utf8(*text)) {
            if (c == '"' || c == '\\')
                items_ += '\\';
            items_ += c;
        }
        items_ += '"';
    }
    void Add(int64_t n) {
        Separate();
        items_ += std::to_string(n);
    }
    bool Empty() const { return items_.empty(); }
    Param Take() { return "{" + std::move(items_) + "}"; }

private:
    void Separate() {
        if (!items_.empty())
            items_ += ',';
    }
    std::string items_;
};

size_t Rows(const Result& r) {
    return static_cast<size_t>(PQntuples(r.get()));
}
std::optional<std::string> Column(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column))
        return std::nullopt;
    return std::string(PQgetvalue(r, row, column),
                       static_cast<size_t>(PQgetlength(r, row, column)));
}
int64_t IntColumn(const PGresult* r, int row, int column) {
    return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}
uint64_t CountColumn(const PGresult* r, int row, int column) {
    return static_cast<uint64_t>(std::max<int64_t>(0, IntColumn(r, row, column)));
}
// Offered, downloaded, installed and came back in four columns from `first`.
ReleaseCounts CountColumns(const PGresult* r, int row, int first) {
    return {CountColumn(r, row, first), CountColumn(r, row, first + 1),
            CountColumn(r, row, first + 2), CountColumn(r, row, first + 3)};
}

// libpq's message on one line: it spreads a failed connection's reasons over several, and
// breaks a sentence that goes on (a tab and a small letter).
std::string OneLine(const char* message) {
    std::string text;
    for (const char* c = message; c != nullptr && *c != '\0'; ++c) {
        bool goesOn =
            c[0] == '\n' && c[1] == '\t' && std::islower(static_cast<unsigned char>(c[2]));
        if (*c == '\n' && !goesOn && c[1] != '\0' && !text.empty())
            text += ';';
        char ch = *c == '\n' || *c == '\t' ? ' ' : *c;
        if (ch != ' ' || (!text.empty() && text.back() != ' '))
            text += ch;
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

class PostgresRegister final : public Register {
public:
    explicit PostgresRegister(std::string uri)
        : uri_(std::move(uri)), name_(RegisterUriText(uri_)) {}

    const std::string& Name() const override { return name_; }

    void Open(bool create) override {
        Close();
        Connect();
        try {
            Schema(create);
        } catch (...) {
            Close();
            throw;
        }
    }

    void Close() override { conn_.reset(); }

    bool IsOpen() const override { return conn_ != nullptr; }

    void Write(const std::vector<SessionRecord>& sessions) override {
        if (sessions.empty())
            return;
        Ready();
        Transaction transaction(*this);
        Exec("SELECT pg_advisory_xact_lock($1)", {Int(kWriteLock)});
        Batch batch;
        batch.Read(*this, sessions);
        for (const auto& record : sessions)
            batch.Add(record);
        batch.Write(*this);
        transaction.Commit();
    }

    uint64_t Prune(int64_t beforeMs) override {
        Ready();
        uint64_t deleted = 0;
        // In slices, each its own transaction: a first prune of a year's rows holds no lock for
        // long.
        for (;;) {
            Result r = Exec(kPruneSessions, {Int(beforeMs)});
            auto n = static_cast<uint64_t>(std::strtoull(PQcmdTuples(r.get()), nullptr, 10));
            deleted += n;
            if (n == 0)
                break;
        }
        Exec(kPruneDevices, {Int(beforeMs)});
        Exec(kPruneHistory, {Int(beforeMs)});
        return deleted;
    }

    void Serve(const std::vector<RolloutPlan>& plans, int64_t nowMs) override {
        Ready();
        Transaction transaction(*this);
        for (const auto& plan : plans) {
            std::optional<ReleaseRow> row = Release(plan.type, plan.version, kLockRelease, false);
            if (!row) {
                // Another server that makes it known meanwhile has the same catalogue.
                Exec(kInsertRelease,
                     {Text(plan.type), Text(plan.version), Int(plan.staged ? 1 : 0),
                      Text(StagesText(plan.stages)), Int(static_cast<int64_t>(plan.advance)),
                      Int(plan.haltBasisPoints), Int(plan.stages.front()), Int(nowMs)});
            } else if (auto next = ServedRelease(*row, plan)) {
                Update(*next, nowMs);
            }
        }
        transaction.Commit();
    }

    std::vector<RolloutEvent> Steer(const std::vector<RolloutPlan>& plans, int64_t nowMs) override {
        Ready();
        std::vector<RolloutEvent> events;
        for (const auto& plan : plans) {
            if (!plan.staged)
                continue;
            // One release at a time, its row locked while its figures are read and its change
            // written: of several servers that see the same figures, the first decides, and the
            // others then find the release changed.
            Transaction transaction(*this);
            std::optional<ReleaseRow> row = Release(plan.type, plan.version, kLockRelease, true);
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
        Ready();
        Transaction transaction(*this);
        std::optional<ReleaseRow> row = Release(type, version, kLockRelease, true);
        if (!row)
            throw RegisterError(Kind::Unknown, "the register " + name_ + " knows no release " +
                                                   type + " " + version +
                                                   " (`rollout` lists those it knows)");
        ReleaseRow next = ChangedRelease(*row, action);
        Update(next, nowMs);
        RolloutEvent event = Event(*row, next, action, true, nowMs);
        transaction.Commit();
        return event;
    }

    std::vector<ReleaseRow>
    Releases(const std::vector<std::pair<std::string, std::string>>& which) override {
        Ready();
        std::vector<ReleaseRow> rows;
        if (which.empty()) {
            Result r = Exec(kAllReleases);
            for (int i = 0; i < PQntuples(r.get()); ++i)
                rows.push_back(ReleaseColumns(r.get(), i));
            for (auto& row : rows)
                Count(row);
            return rows;
        }
        for (const auto& [type, version] : which)
            if (auto row = Release(type, version, kRelease, true))
                rows.push_back(std::move(*row));
        return rows;
    }

    std::vector<std::string> Downloaded(const std::string& type,
                                        const std::string& version) override {
        Ready();
        Result r = Exec(kDownloaded, {Text(type), Text(version)});
        std::vector<std::string> ids;
        ids.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i)
            ids.push_back(Column(r.get(), i, 0).value_or(""));
        return ids;
    }

    std::vector<DeviceRow> Devices(const DeviceFilter& filter) override {
        Ready();
        std::vector<Param> params = FilterParams(filter);
        params.push_back(Int(static_cast<int64_t>(filter.offset)));
        params.push_back(filter.limit == 0 ? std::nullopt
                                           : Int(static_cast<int64_t>(filter.limit)));
        Result r = Exec(kDevices, params);
        std::vector<DeviceRow> rows;
        rows.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            const PGresult* s = r.get();
            DeviceRow d;
            d.originalId = Column(s, i, 0).value_or("");
            d.type = Column(s, i, 1).value_or("");
            d.firstSeenMs = IntColumn(s, i, 2);
            d.lastSeenMs = IntColumn(s, i, 3);
            d.sessions = CountColumn(s, i, 4);
            d.peer = Column(s, i, 5);
            for (size_t k = 0; k < kDeviceValues.size(); ++k)
                d.values[kDeviceValues[k]] = Column(s, i, static_cast<int>(6 + k));
            d.values[SessionRecord::OriginalID] = d.originalId;
            d.values[SessionRecord::UserName] = d.type;
            d.answer = Column(s, i, 17).value_or("");
            d.end = Column(s, i, 18).value_or("");
            if (auto state = Column(s, i, 20)) {
                d.release = Column(s, i, 19).value_or("");
                d.releaseState = ParseDeviceState(*state);
            }
            rows.push_back(std::move(d));
        }
        return rows;
    }

    uint64_t CountDevices(const DeviceFilter& filter) override {
        Ready();
        Result r = Exec(kCountDevices, FilterParams(filter));
        return CountColumn(r.get(), 0, 0);
    }

    std::vector<ReleasePoint> History(const std::string& type,
                                      const std::string& version) override {
        Ready();
        Result r = Exec(kHistory, {Text(type), Text(version)});
        std::vector<ReleasePoint> points;
        points.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i)
            points.push_back({IntColumn(r.get(), i, 0), CountColumns(r.get(), i, 1)});
        return points;
    }

    std::vector<RolloutEvent> Events(const std::string& type, const std::string& version) override {
        Ready();
        Result r = Exec(kEvents, {Text(type), Text(version)});
        std::vector<RolloutEvent> events;
        events.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            const PGresult* s = r.get();
            RolloutEvent e;
            e.type = type;
            e.version = version;
            e.atMs = IntColumn(s, i, 0);
            e.action =
                ParseRolloutAction(Column(s, i, 1).value_or("")).value_or(RolloutAction::Advance);
            e.byOperator = Column(s, i, 2) == "operator";
            e.fromPercent = static_cast<uint32_t>(IntColumn(s, i, 3));
            e.toPercent = static_cast<uint32_t>(IntColumn(s, i, 4));
            e.counts = CountColumns(s, i, 5);
            e.stage.installed = CountColumn(s, i, 9);
            e.stage.cameBack = CountColumn(s, i, 10);
            events.push_back(std::move(e));
        }
        return events;
    }

    std::vector<SessionRecord> Sessions(const SessionFilter& filter) override {
        Ready();
        Result r = Exec(kSessions, {Int(filter.sinceMs), filter.failedOnly ? "true" : "false",
                                    filter.limit == 0 ? std::nullopt
                                                      : Int(static_cast<int64_t>(filter.limit))});
        std::vector<SessionRecord> sessions;
        sessions.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            const PGresult* s = r.get();
            SessionRecord record;
            record.endedMs = IntColumn(s, i, 0);
            record.peer = Column(s, i, 1).value_or("");
            for (size_t k = 0; k < SessionRecord::kValues; ++k)
                record.values[k] = Column(s, i, static_cast<int>(2 + k));
            record.answer = Column(s, i, 15).value_or("");
            record.heldFrom = Column(s, i, 16).value_or("");
            record.end = Column(s, i, 17).value_or("");
            record.bytesSent = CountColumn(s, i, 18);
            record.durationMs = CountColumn(s, i, 19);
            sessions.push_back(std::move(record));
        }
        return sessions;
    }

    std::vector<VersionCount> Versions() override {
        Ready();
        Result r = Exec(kVersions);
        std::vector<VersionCount> versions;
        versions.reserve(Rows(r));
        for (int i = 0; i < PQntuples(r.get()); ++i)
            versions.push_back({Column(r.get(), i, 0).value_or(""),
                                Column(r.get(), i, 1).value_or(""), CountColumn(r.get(), i, 2)});
        return versions;
    }

    SessionTotals Totals(int64_t sinceMs) override {
        Ready();
        Result r = Exec(kTotals, {Int(sinceMs)});
        auto column = [&](int i) { return CountColumn(r.get(), 0, i); };
        return {.sessions = column(0),
                .allOk = column(1),
                .firmware = column(2),
                .devices = column(4),
                .bytesSent = column(3)};
    }

private:
    // A transaction that is rolled back unless committed (and ends with its connection, if that
    // is lost).
    class Transaction {
    public:
        explicit Transaction(PostgresRegister& r) : r_(r) { r_.Exec("BEGIN"); }
        ~Transaction() {
            if (!done_ && r_.conn_ && PQstatus(r_.conn_.get()) == CONNECTION_OK)
                PQclear(PQexec(r_.conn_.get(), "ROLLBACK"));
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit() {
            r_.Exec("COMMIT");
            done_ = true;
        }

    private:
        PostgresRegister& r_;
        bool done_ = false;
    };

    // What a batch of sessions changes, worked out from the device states it read.
    class Batch {
    public:
        // The batch's devices' states in every release offered to them.
        void Read(PostgresRegister& r, const std::vector<SessionRecord>& sessions) {
            std::set<Device> devices;
            for (const auto& record : sessions)
                if (auto device = DeviceOf(record))
                    devices.insert(*device);
            if (devices.empty())
                return;
            Array ids;
            Array types;
            for (const auto& [id, type] : devices) {
                ids.Add(id);
                types.Add(type);
            }
            Result result = r.Exec(kDeviceReleases, {ids.Take(), types.Take()});
            for (int i = 0; i < PQntuples(result.get()); ++i) {
                Device device{Column(result.get(), i, 0).value_or(""),
                              Column(result.get(), i, 1).value_or("")};
                Stored& stored = states_[device][Column(result.get(), i, 2).value_or("")];
                stored.state = ParseDeviceState(Column(result.get(), i, 3).value_or(""))
                                   .value_or(DeviceState::Offered);
                stored.stored = true;
            }
        }

        // One session, in the order they ended.
        void Add(const SessionRecord& record) {
            sessions_[0].Add(record.endedMs);
            sessions_[1].Add(record.peer);
            for (size_t i = 0; i < SessionRecord::kValues; ++i)
                sessions_[2 + i].Add(record.values[i]);
            sessions_[15].Add(record.answer);
            sessions_[16].Add(record.heldFrom.empty() ? std::nullopt
                                                      : std::optional(record.heldFrom));
            sessions_[17].Add(record.end);
            sessions_[18].Add(static_cast<int64_t>(record.bytesSent));
            sessions_[19].Add(static_cast<int64_t>(record.durationMs));
            auto device = DeviceOf(record);
            if (!device)
                return;
            auto [latest, first] = devices_.try_emplace(*device, record);
            if (!first)
                latest->second.Follow(record);
            auto& states = states_[*device];
            auto change = [&](const std::string& version) {
                int64_t& at =
                    changed_.try_emplace({device->second, version}, record.endedMs).first->second;
                at = std::max(at, record.endedMs);
            };
            for (auto& [version, stored] : states) {
                DeviceState next = NextState(stored.state, FactsFor(record, version));
                if (next == stored.state)
                    continue;
                stored.state = next;
                stored.updatedMs = record.endedMs;
                stored.changed = true;
                change(version);
            }
            const std::string offered = Utf8(OfferedVersion(record));
            if (offered.empty() || states.count(offered) != 0)
                return;
            // Its bucket as the server's decision took it, from the values as they came.
            const auto& values = record.values;
            Stored& stored = states[offered];
            stored.state = NextState(DeviceState::None, FactsFor(record, offered));
            stored.bucket =
                Bucket(values[SessionRecord::OriginalID].value_or(""),
                       values[SessionRecord::UserName].value_or(""), OfferedVersion(record));
            stored.updatedMs = record.endedMs;
            stored.changed = true;
            known_.try_emplace({device->second, offered}, record.endedMs);
            change(offered);
        }

        // Every row, a statement per table.
        void Write(PostgresRegister& r) {
            std::vector<Param> params;
            params.reserve(sessions_.size());
            for (auto& column : sessions_)
                params.push_back(column.Take());
            r.Exec(kInsertSessions, params);
            if (devices_.empty())
                return;
            std::array<Array, 19> devices;
            for (const auto& [device, latest] : devices_) {
                devices[0].Add(device.first);
                devices[1].Add(device.second);
                devices[2].Add(latest.firstMs);
                devices[3].Add(latest.record.endedMs);
                devices[4].Add(latest.sessions);
                devices[5].Add(latest.record.peer);
                for (size_t i = 0; i < kDeviceValues.size(); ++i)
                    devices[6 + i].Add(latest.record.values[kDeviceValues[i]]);
                devices[17].Add(latest.record.answer);
                devices[18].Add(latest.record.end);
            }
            params.clear();
            for (auto& column : devices)
                params.push_back(column.Take());
            r.Exec(kUpsertDevices, params);

            std::array<Array, 5> updated;
            std::array<Array, 6> inserted;
            for (const auto& [device, states] : states_) {
                for (const auto& [version, stored] : states) {
                    if (!stored.changed)
                        continue;
                    // Both statements' rows begin with the row's key. (Named again: a lambda
                    // cannot capture a structured binding before clang 16, the fuzz build's.)
                    auto key = [&id = device.first, &type = device.second,
                                &release = version](auto& columns) {
                        columns[0].Add(type);
                        columns[1].Add(release);
                        columns[2].Add(id);
                    };
                    if (stored.stored) {
                        key(updated);
                        updated[3].Add(DeviceStateName(stored.state));
                        updated[4].Add(stored.updatedMs);
                    } else {
                        key(inserted);
                        inserted[3].Add(int64_t{stored.bucket});
                        inserted[4].Add(DeviceStateName(stored.state));
                        inserted[5].Add(stored.updatedMs);
                    }
                }
            }
            // A statement whose rows are `columns`, unless there are none.
            auto run = [&](const char* sql, auto& columns, std::vector<Param> more = {}) {
                if (columns[0].Empty())
                    return;
                params.clear();
                for (auto& column : columns)
                    params.push_back(column.Take());
                params.insert(params.end(), more.begin(), more.end());
                r.Exec(sql, params);
            };
            run(kUpdateDeviceReleases, updated);
            run(kInsertDeviceReleases, inserted);
            std::array<Array, 3> known;
            for (const auto& [release, atMs] : known_) {
                known[0].Add(release.first);
                known[1].Add(release.second);
                known[2].Add(atMs);
            }
            run(kKnowReleases, known,
                {Int(static_cast<int64_t>(kDefaultAdvance)), Int(kDefaultHaltBasisPoints)});
            // The figures of each release it changed, at the minute of the last session that
            // changed it.
            std::array<Array, 3> history;
            for (const auto& [release, endedMs] : changed_) {
                history[0].Add(release.first);
                history[1].Add(release.second);
                history[2].Add(endedMs - endedMs % kMinuteMs);
            }
            run(kUpsertHistory, history);
        }

    private:
        using Device = std::pair<std::string, std::string>;  // original id, type (valid UTF-8)
        using Release = std::pair<std::string, std::string>; // type, version

        // A device's state in one release.
        struct Stored {
            DeviceState state = DeviceState::None;
            uint32_t bucket = 0;   // of a new row
            int64_t updatedMs = 0; // of the last change
            bool stored = false;   // the row exists
            bool changed = false;
        };
        // What a device's sessions in the batch made of its row.
        struct Latest {
            explicit Latest(const SessionRecord& r) : record(r), firstMs(r.endedMs) {}
            // A later session: its values, where it announced them.
            void Follow(const SessionRecord& r) {
                auto values = record.values;
                record = r;
                for (size_t i = 0; i < values.size(); ++i)
                    if (!record.values[i])
                        record.values[i] = std::move(values[i]);
                ++sessions;
            }
            SessionRecord record;
            int64_t firstMs;
            int64_t sessions = 1;
        };

        static std::optional<Device> DeviceOf(const SessionRecord& record) {
            const auto& id = record.values[SessionRecord::OriginalID];
            const auto& type = record.values[SessionRecord::UserName];
            if (!id || !type)
                return std::nullopt;
            return Device{Utf8(*id), Utf8(*type)};
        }

        std::array<Array, 20> sessions_;
        std::map<Device, Latest> devices_;
        std::map<Device, std::map<std::string, Stored>> states_;
        std::map<Release, int64_t> known_;   // releases first offered, when
        std::map<Release, int64_t> changed_; // releases whose states changed, when last
    };

    // Connects, with the URI's settings over a time limit of our own, and UTF-8 whatever the
    // URI says (the values are sent as UTF-8).
    void Connect() {
        const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname",
                              "client_encoding", nullptr};
        const char* values[] = {kConnectTimeoutSeconds, "upgrade-server", uri_.c_str(), "UTF8",
                                nullptr};
        conn_.reset(PQconnectdbParams(keys, values, 1));
        if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
            std::string why = conn_ ? OneLine(PQerrorMessage(conn_.get())) : "out of memory";
            conn_.reset();
            throw RegisterError(Kind::Unavailable,
                                "register " + name_ + " cannot be reached (" + why +
                                    "): check that PostgreSQL runs there and that the URI names "
                                    "its host, port, database, user and password (or a passfile)");
        }
        try {
            Exec(kLockTimeout);
        } catch (...) {
            conn_.reset();
            throw;
        }
    }

    // Before each call: the connection, made again when it was lost.
    void Ready() {
        if (!conn_)
            throw RegisterError(Kind::Unavailable, "register " + name_ + " is not open");
        if (PQstatus(conn_.get()) == CONNECTION_BAD)
            Connect();
    }

    Result Exec(const std::string& sql, const std::vector<Param>& params = {}) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params)
            values.push_back(p ? p->c_str() : nullptr);
        Result r(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0));
        ExecStatusType status = PQresultStatus(r.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw Failure(r.get());
        return r;
    }

    // Several statements without parameters (the schema's).
    void Script(const char* sql) {
        Result r(PQexec(conn_.get(), sql));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
            throw Failure(r.get());
    }

    // What a failed statement means, in a message that names the register and the way out.
    RegisterError Failure(const PGresult* r) const {
        const char* primary =
            r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        std::string what = OneLine(primary != nullptr ? primary : PQerrorMessage(conn_.get()));
        const char* code = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const std::string state = code != nullptr ? code : "";
        const std::string name = "register " + name_;
        if (PQstatus(conn_.get()) == CONNECTION_BAD || state.starts_with("08") ||
            state.starts_with("57P"))
            return {Kind::Unavailable, name + " lost its connection to PostgreSQL (" + what +
                                           "): it is made again at the next try; check that "
                                           "PostgreSQL runs and can be reached"};
        if (state == "55P03" || state == "40001" || state == "40P01")
            return {Kind::Busy, name + " is busy: another server or program holds a lock on it (" +
                                    what + "); try again"};
        if (state == "42501")
            return {Kind::Unavailable,
                    name + " may not be used by its role (" + what +
                        "): make the role the database's owner (CREATE DATABASE ... OWNER ROLE), "
                        "or grant it the register's tables"};
        if (state == "25006")
            return {Kind::Unavailable, name + " cannot be written (" + what +
                                           "): the URI names a standby; name the primary "
                                           "(target_session_attrs=read-write)"};
        if (state.starts_with("53"))
            return {Kind::Unavailable, name + " cannot be written (" + what +
                                           "): free disk space or memory on the PostgreSQL "
                                           "server, or raise its max_connections"};
        return {Kind::Unavailable, name + " cannot be used (" + what + ")"};
    }

    // Creates the schema in a database that has none, migrates an older one, and refuses one
    // newer than this server's or a database whose tables are of something else. Under a lock:
    // servers that start together make it once.
    void Schema(bool create) {
        Transaction transaction(*this);
        Exec("SELECT pg_advisory_xact_lock($1)", {Int(kSchemaLock)});
        Result facts =
            Exec("SELECT to_regclass('schema_version') IS NOT NULL, pg_encoding_to_char(encoding), "
                 "current_database(), coalesce(current_schema(), '') FROM pg_database "
                 "WHERE datname = current_database()");
        const bool made = Column(facts.get(), 0, 0) == "t";
        const std::string encoding = Column(facts.get(), 0, 1).value_or("");
        const std::string where = "database " + Column(facts.get(), 0, 2).value_or("") +
                                  " (schema " + Column(facts.get(), 0, 3).value_or("") + ")";
        if (encoding != "UTF8")
            throw RegisterError(Kind::NotARegister,
                                "register " + name_ + ": the " + where + " stores text as " +
                                    encoding +
                                    ", the register needs UTF8: create the database "
                                    "with createdb -E UTF8 -T template0");
        if (!made) {
            Array names;
            for (const char* table : kTables)
                names.Add(std::string(table));
            Result taken = Exec("SELECT string_agg(tablename, ', ') FROM pg_tables WHERE "
                                "schemaname = current_schema() AND tablename = ANY ($1::text[])",
                                {names.Take()});
            if (auto tables = Column(taken.get(), 0, 0))
                throw RegisterError(Kind::NotARegister,
                                    "register " + name_ + ": the " + where +
                                        " holds tables of something else (" + *tables +
                                        ", and no schema_version): name another database");
            if (!create)
                throw RegisterError(Kind::Missing,
                                    "register " + name_ + " does not exist (the " + where +
                                        " has no register tables): start a server on it once, "
                                        "or name the servers' register with --register URI");
            Script(kSchema);
        }
        Result current = Exec("SELECT max(version) FROM schema_version");
        const int64_t version = IntColumn(current.get(), 0, 0);
        if (version < 1)
            throw RegisterError(Kind::NotARegister, "register " + name_ +
                                                        " has no schema version: restore the " +
                                                        where + " from a backup");
        if (version > kSchemaVersion)
            throw RegisterError(Kind::NewerSchema, "register " + name_ + " has schema version " +
                                                       std::to_string(version) +
                                                       ", newer than this server's (" +
                                                       std::to_string(kSchemaVersion) +
                                                       "): use the newer server that wrote it");
        for (int64_t v = version; v < kSchemaVersion; ++v)
            Script(kMigrations[static_cast<size_t>(v - 1)]);
        transaction.Commit();
    }

    static std::vector<Param> FilterParams(const DeviceFilter& filter) {
        return {Text(filter.type), Text(filter.version),
                filter.state ? DeviceStateName(*filter.state) : ""};
    }

    static ReleaseRow ReleaseColumns(const PGresult* r, int i) {
        ReleaseRow row;
        row.type = Column(r, i, 0).value_or("");
        row.version = Column(r, i, 1).value_or("");
        row.staged = IntColumn(r, i, 2) != 0;
        row.plan.type = row.type;
        row.plan.version = row.version;
        row.plan.staged = row.staged;
        std::string why;
        if (!ParseRolloutFields({Column(r, i, 3).value_or("100")}, row.plan, why))
            row.plan.stages = {100};
        row.plan.advance = CountColumn(r, i, 4);
        row.plan.haltBasisPoints = static_cast<uint32_t>(IntColumn(r, i, 5));
        row.percent = static_cast<uint32_t>(IntColumn(r, i, 6));
        row.paused = IntColumn(r, i, 7) != 0;
        row.halted = IntColumn(r, i, 8) != 0;
        row.haltBase.installed = CountColumn(r, i, 9);
        row.haltBase.cameBack = CountColumn(r, i, 10);
        row.updatedMs = IntColumn(r, i, 11);
        return row;
    }

    // The release's row (`sql`: kRelease, or kLockRelease inside a transaction), with its
    // figures when `counted`; nothing when the register does not know it.
    std::optional<ReleaseRow> Release(const std::string& type, const std::string& version,
                                      const std::string& sql, bool counted) {
        Result r = Exec(sql, {Text(type), Text(version)});
        if (PQntuples(r.get()) == 0)
            return std::nullopt;
        ReleaseRow row = ReleaseColumns(r.get(), 0);
        if (counted)
            Count(row);
        return row;
    }

    // Its devices by state, in all and in its current stage's buckets.
    void Count(ReleaseRow& row) {
        uint32_t from = row.staged ? StageStart(row.plan.stages, row.percent) : 0;
        uint32_t to = row.staged ? row.percent : 100;
        Result r = Exec(kCounts, {Text(row.type), Text(row.version), Int(from), Int(to)});
        row.counts = row.stage = {};
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            if (auto state = ParseDeviceState(Column(r.get(), i, 0).value_or(""))) {
                row.counts.Of(*state) = CountColumn(r.get(), i, 1);
                row.stage.Of(*state) = CountColumn(r.get(), i, 2);
            }
        }
    }

    void Update(const ReleaseRow& row, int64_t nowMs) {
        Exec(kUpdateRelease,
             {Text(row.type), Text(row.version), Int(row.staged ? 1 : 0),
              Text(StagesText(row.plan.stages)), Int(static_cast<int64_t>(row.plan.advance)),
              Int(row.plan.haltBasisPoints), Int(row.percent), Int(row.paused ? 1 : 0),
              Int(row.halted ? 1 : 0), Int(static_cast<int64_t>(row.haltBase.installed)),
              Int(static_cast<int64_t>(row.haltBase.cameBack)), Int(nowMs)});
    }

    // The change from `before` to `after`, written as a row of rollout_events.
    RolloutEvent Event(const ReleaseRow& before, const ReleaseRow& after, RolloutAction action,
                       bool byOperator, int64_t nowMs) {
        RolloutEvent e = ReleaseEvent(before, after, action, byOperator, nowMs);
        auto count = [](uint64_t n) { return Int(static_cast<int64_t>(n)); };
        Exec(kInsertEvent,
             {Int(nowMs), Text(e.type), Text(e.version), std::string(RolloutActionName(action)),
              std::string(byOperator ? "operator" : "server"), Int(e.fromPercent), Int(e.toPercent),
              count(e.counts.offered), count(e.counts.downloaded), count(e.counts.installed),
              count(e.counts.cameBack), count(e.stage.installed), count(e.stage.cameBack)});
        return e;
    }

    const std::string uri_;  // as given, password and all: for libpq only
    const std::string name_; // for messages
    std::unique_ptr<PGconn, FinishConnection> conn_;
};
} // namespace

bool ValidPostgresUri(const std::string& uri, std::string& error) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &message);
    if (options != nullptr) {
        PQconninfoFree(options);
        return true;
    }
    std::string why = message != nullptr ? OneLine(message) : "out of memory";
    PQfreemem(message);
    error = "not a PostgreSQL URI libpq reads (" + why +
            "): expected postgresql://[USER[:PASSWORD]@][HOST][:PORT][/DATABASE][?PARAM=VALUE...]";
    return false;
}

std::unique_ptr<Register> MakePostgresRegister(const std::string& uri) {
    return std::make_unique<PostgresRegister>(uri);
}
