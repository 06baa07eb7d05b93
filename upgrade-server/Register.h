#pragma once
// The device register: every upgrade session as it ended, each device's latest state, what each
// device's sessions say about the releases offered to it, and the releases with their rollouts.
// One interface over two storages, an SQLite file (SqliteRegister.cpp) and a PostgreSQL database
// that servers on several hosts share (PostgresRegister.cpp); each storage holds all of its SQL.
// The server's side (Fleet) and the operator's commands (RegisterCommands) use only this
// interface.
#include "Rollout.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// One upgrade session as it ended.
struct SessionRecord {
    // The 13 values a client announces, in record order (the order the server echoes them in).
    enum Value : size_t {
        UserName,
        HVer,
        SVer,
        UseCount,
        RegInfo,
        PCInfo,
        OriginalID,
        CID1,
        CID2,
        CID3,
        CID4,
        UPType,
        SWVer,
        kValues
    };
    int64_t endedMs = 0;                                    // Unix time in milliseconds
    std::string peer;                                       // address:port
    std::array<std::optional<std::string>, kValues> values; // nothing: not announced
    std::string answer;   // as the log line's answer= ("firmware:1.21", "status:0", "-")
    std::string heldFrom; // the staged release's version the device was held from, if it was
    std::string end;      // as the log line's end= ("allok", "closed@chunk:3")
    uint64_t bytesSent = 0;
    uint64_t durationMs = 0;
};

// A value longer than this (never one of a real device) is kept cut to this many bytes, as the
// log cuts it: a client cannot make the register grow by 64 KiB a session.
constexpr size_t kRecordValueBytes = 64;

// What the register says about one release, and the rollout it follows.
struct ReleaseRow {
    std::string type;
    std::string version;
    RolloutPlan plan;    // {100} when the release has no rollout line
    bool staged = false; // it has a rollout line (in the catalogue it was last served from)
    uint32_t percent = 100;
    bool paused = false;
    bool halted = false;
    ReleaseCounts counts;   // all its devices
    ReleaseCounts stage;    // the devices of its current stage
    ReleaseCounts haltBase; // all its devices when it was last resumed after a halt
    int64_t updatedMs = 0;
};

// A change of a rollout, by the server or an operator, with the figures it was made on.
struct RolloutEvent {
    std::string type;
    std::string version;
    RolloutAction action = RolloutAction::Advance;
    bool byOperator = false;
    uint32_t fromPercent = 0;
    uint32_t toPercent = 0;
    // The figures it was made on: for a halt those since the release was last resumed.
    ReleaseCounts counts;
    ReleaseCounts stage;
    int64_t atMs = 0;
    RolloutPlan plan;
};

// One line for the log and the operator: "rollout QX40 1.21 advance 5% -> 25%: ...".
std::string RolloutEventText(const RolloutEvent& event);

// One device's latest state.
struct DeviceRow {
    std::string originalId;
    std::string type;
    int64_t firstSeenMs = 0;
    int64_t lastSeenMs = 0;
    uint64_t sessions = 0;
    std::optional<std::string> peer; // cleared with PCInfo after --keep-sessions-days
    std::array<std::optional<std::string>, SessionRecord::kValues> values;
    std::string answer;
    std::string end;
    // Its state in the release of its type whose state for it changed last (empty when none).
    std::string release;
    std::optional<DeviceState> releaseState;
};

// Every member has an initialiser: a designated initialiser names only those it needs.
struct DeviceFilter {
    std::string type{};    // empty: every type
    std::string version{}; // the firmware version the device announced last; empty: any
    // The state of the device in its latest release (DeviceRow::releaseState); nothing: any.
    std::optional<DeviceState> state{};
    // A page of the matching devices, in the order of Devices(): skip `offset`, at most `limit`
    // (0: all of them).
    uint64_t offset = 0;
    uint64_t limit = 0;
};

// A release's figures as they stood at one moment: the points its plot is drawn from. The
// register keeps one point per release and minute in which its figures changed (the last
// figures of that minute), timed by the sessions that changed them.
struct ReleasePoint {
    int64_t atMs = 0; // the minute's start, Unix time in milliseconds
    ReleaseCounts counts;
};

// Which ended sessions to list, newest first.
struct SessionFilter {
    int64_t sinceMs = 0; // ended at or after this
    // Only those that did not end as the server meant them to: not with the data confirmed
    // ("allok"), an answer that there is nothing to send ("status") or a refusal ("rep").
    bool failedOnly = false;
    uint64_t limit = 50; // at most this many (0: all)
};

// How many of the fleet's devices announced a firmware version last, per device type.
struct VersionCount {
    std::string type;
    std::string version; // the SVer the device announced last; "" when it announced none
    uint64_t devices = 0;
};

// The sessions that ended in a span of time.
struct SessionTotals {
    uint64_t sessions = 0;
    uint64_t allOk = 0;    // ended with "allok"
    uint64_t firmware = 0; // were offered a firmware image (answer "firmware:...")
    uint64_t devices = 0;  // distinct devices (original id and type) among them
    uint64_t bytesSent = 0;
};

// Why the register could not do what it was asked.
class RegisterError : public std::runtime_error {
public:
    enum class Kind {
        NotARegister, // the file is no register (not SQLite, or other tables): fatal
        NewerSchema,  // written by a newer server: fatal
        Missing,      // the file (for commands) or its folder does not exist
        Busy,         // another program holds its write lock
        Unavailable,  // it cannot be read or written now (read-only, disk full, I/O)
        Unknown,      // the release named does not exist
        Refused,      // the change does not apply to the release's state
    };
    RegisterError(Kind why, const std::string& message) : std::runtime_error(message), kind(why) {}
    Kind kind;
};

class Register {
public:
    virtual ~Register() = default;
    // The register as --register names it ("sqlite:/var/lib/.../register.sqlite").
    virtual const std::string& Name() const = 0;
    // Opens it, creating the file and the schema when `create` (else a missing file is an
    // error), or migrating an older schema. Throws RegisterError.
    virtual void Open(bool create) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // Writes finished sessions in one transaction: their rows, each device's latest state, and
    // the state of every release offered to their devices.
    virtual void Write(const std::vector<SessionRecord>& sessions) = 0;
    // Deletes the session rows that ended before `beforeMs` and the releases' figures of the
    // minutes before it, and clears the peer address and PCInfo of devices last seen before it;
    // returns the session rows deleted.
    virtual uint64_t Prune(int64_t beforeMs) = 0;

    // Makes the releases served from a catalogue known, with their rollout plans (a changed plan
    // keeps the percentage reached, or the largest stage below it).
    virtual void Serve(const std::vector<RolloutPlan>& plans, int64_t nowMs) = 0;
    // For each staged release: advances its stage or halts it when its figures say so (in one
    // transaction each, so that servers sharing the register decide once). The changes made.
    virtual std::vector<RolloutEvent> Steer(const std::vector<RolloutPlan>& plans,
                                            int64_t nowMs) = 0;
    // An operator's change; throws RegisterError (Unknown, Refused, Busy, ...).
    virtual RolloutEvent Change(const std::string& type, const std::string& version,
                                RolloutAction action, int64_t nowMs) = 0;

    // Releases with their figures: those named (type, version), or every one when empty.
    virtual std::vector<ReleaseRow>
    Releases(const std::vector<std::pair<std::string, std::string>>& which) = 0;
    // The devices that downloaded a release (downloaded, came back or installed).
    virtual std::vector<std::string> Downloaded(const std::string& type,
                                                const std::string& version) = 0;
    // The devices that match, ordered by type and original id (a page of them, when asked).
    virtual std::vector<DeviceRow> Devices(const DeviceFilter& filter) = 0;
    // How many devices match the filter, its page aside.
    virtual uint64_t CountDevices(const DeviceFilter& filter) = 0;

    // For the dashboard: a release's figures over time (oldest first), ...
    virtual std::vector<ReleasePoint> History(const std::string& type,
                                              const std::string& version) = 0;
    // ... its rollout's changes (oldest first), ...
    virtual std::vector<RolloutEvent> Events(const std::string& type,
                                             const std::string& version) = 0;
    // ... the sessions that ended (newest first), ...
    virtual std::vector<SessionRecord> Sessions(const SessionFilter& filter) = 0;
    // ... the fleet's firmware versions (by type, then version), ...
    virtual std::vector<VersionCount> Versions() = 0;
    // ... and the totals of the sessions that ended at or after `sinceMs`.
    virtual SessionTotals Totals(int64_t sinceMs) = 0;
};

// The register a --register URI names ("sqlite:PATH", "postgresql://..."); null for "none". An
// unknown URI gives null with the reason in `error`.
std::unique_ptr<Register> MakeRegister(const std::string& uri, std::string& error);
// Whether `uri` names a register or "none"; else false with the reason.
bool ValidRegisterUri(const std::string& uri, std::string& error);

// The storages, as MakeRegister picks them by the URI's scheme.
std::unique_ptr<Register> MakeSqliteRegister(const std::string& uri, const std::string& path);
std::unique_ptr<Register> MakePostgresRegister(const std::string& uri);
// Whether a postgresql:// or postgres:// URI is one libpq reads; else false with the reason.
bool ValidPostgresUri(const std::string& uri, std::string& error);

// The register's URI as messages show it: a PostgreSQL URI's password (USER:PASSWORD@, or a
// password= parameter) replaced by "***".
std::string RegisterUriText(const std::string& uri);

// The rollout decisions on a release's row, the same for every storage; each storage reads the
// row and writes the answer in one transaction around them. Serve: the row with a catalogue's
// plan applied, or nothing when that changes nothing...
std::optional<ReleaseRow> ServedRelease(const ReleaseRow& row, const RolloutPlan& plan);
// ...Steer: the advance or halt the row's figures call for (the changed row in `next`), or
// nothing...
std::optional<RolloutAction> SteeredRelease(const ReleaseRow& row, ReleaseRow& next);
// ...an operator's change: the changed row; throws RegisterError (Refused) when it does not
// apply to the release's state...
ReleaseRow ChangedRelease(const ReleaseRow& row, RolloutAction action);
// ...and the change from `before` to `after` as an event, with the figures it was made on.
RolloutEvent ReleaseEvent(const ReleaseRow& before, const ReleaseRow& after, RolloutAction action,
                          bool byOperator, int64_t nowMs);

// What a session says about the releases offered to its device, the same for every storage:
// the firmware version it was offered ("" when none)...
std::string OfferedVersion(const SessionRecord& record);
// ...and its facts for one release of its type (NextState takes them).
SessionFacts FactsFor(const SessionRecord& record, const std::string& version);
