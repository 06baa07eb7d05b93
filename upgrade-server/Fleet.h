#pragma once
// The server's side of the register. Sessions hand their records over as they end and go on:
// one writer thread takes them in batches (one transaction each). When the register cannot be
// written (read-only, disk full, locked), the records wait in a bounded queue, the log says why
// once, records beyond the queue are counted as lost, and the writer catches up once it can.
// The same thread advances and halts the staged releases the catalogue serves and, every
// second, reads their state back (an operator's command takes effect within that), which the
// sessions decide from without waiting for the register. The log says once that the queue is
// full.
#include "Catalogue.h"
#include "Register.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

class Fleet {
public:
    struct Settings {
        uint64_t keepSessionsDays = 400;
        // Records that wait in memory while the register cannot be written.
        size_t queueLimit = 16384;
    };

    // Without a register (--register none): nothing is recorded, and a staged release stays at
    // its first stage.
    Fleet() = default;
    Fleet(std::unique_ptr<Register> store, Settings settings);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    bool HasRegister() const { return store_ != nullptr; }

    // At start-up: opens the register and makes the catalogue's releases known. False with the
    // reason for a register that can never serve (not a register, a newer schema, no such
    // folder): the server does not start. One that cannot be written just now is tried again by
    // the writer, which says why.
    bool Open(const Catalogue& catalogue, std::string& error);
    // The releases of the catalogue served from now on (at start-up and at every reload).
    void Serve(const Catalogue& catalogue);
    // The writer thread runs from here...
    void Start();
    // ...until here: it writes what waits (once more when it fails) and ends.
    void Stop();

    // Applies a staged release's rollout to the decision for a device: a device outside the
    // current stage (or any device but those that downloaded a halted release) gets status 0.
    // Returns the release's version when the device was held, else "".
    std::string Stage(const Catalogue& catalogue, const std::string& originalId,
                      const std::string& type, Decision& decision) const;

    // A session that ended; never waits for the register.
    void Record(SessionRecord record);

    // For /metrics.
    struct Figures {
        bool hasRegister = false;
        bool writable = true;
        uint64_t written = 0;
        uint64_t lost = 0;
        uint64_t waiting = 0;
        uint64_t failures = 0;
        std::vector<ReleaseRow> releases; // the staged and other releases served
    };
    Figures Current() const;

private:
    using Key = std::pair<std::string, std::string>; // type, version
    struct Status {
        ReleaseRow row;
        std::unordered_set<std::string> downloaded; // of a halted release
    };
    using Statuses = std::map<Key, Status>;

    void Writer();
    // One round: open, make the releases known, write `batch` (cleared once written), and when
    // `steer`, advance and halt, read the state back and prune. False when the register failed.
    bool Round(std::vector<SessionRecord>& batch, bool steer);
    // Reads the state of the served releases for the sessions.
    void Refresh();
    void Failed(const RegisterError& error);
    void Recovered();
    static std::vector<RolloutPlan> Plans(const Catalogue& catalogue);

    std::unique_ptr<Register> store_;
    Settings settings_;
    std::thread writer_;

    // Shared with the sessions and the server (mutex_).
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<SessionRecord> queue_;
    size_t taken_ = 0; // records the writer holds, not yet written
    bool stopping_ = false;
    std::vector<RolloutPlan> plans_;
    bool plansChanged_ = false;
    std::shared_ptr<const Statuses> statuses_ = std::make_shared<Statuses>();
    uint64_t written_ = 0;
    uint64_t lost_ = 0;
    uint64_t failures_ = 0;
    bool failing_ = false;
    bool overflowSaid_ = false; // the log said the queue is full (until the next write)

    // The writer's own.
    std::vector<RolloutPlan> served_;
    bool known_ = false; // served_ written to the register
    std::chrono::steady_clock::time_point nextPrune_{};
    // The last round that succeeded, and the records lost until then.
    std::chrono::steady_clock::time_point lastWritten_ = std::chrono::steady_clock::now();
    uint64_t lostAtWritten_ = 0;
};
