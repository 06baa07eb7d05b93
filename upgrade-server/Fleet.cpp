#include "Fleet.h"

#include "Log.h"
#include "RequestKind.h"

#include <algorithm>

namespace {
using Clock = std::chrono::steady_clock;
// How often the writer advances and halts rollouts and reads their state back: an operator's
// command reaches every server within this (and a batch is written at least this often).
constexpr auto kSteerPeriod = std::chrono::seconds(1);
// Records in one transaction; a full batch wakes the writer before its period ends.
constexpr size_t kBatch = 512;
// How often old session rows are deleted.
constexpr auto kPrunePeriod = std::chrono::hours(1);

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Now() {
    return LogTime(std::chrono::system_clock::now());
}
} // namespace

Fleet::Fleet(std::unique_ptr<Register> store, Settings settings)
    : store_(std::move(store)), settings_(settings) {}

Fleet::~Fleet() {
    Stop();
}

std::vector<RolloutPlan> Fleet::Plans(const Catalogue& catalogue) {
    std::vector<RolloutPlan> plans;
    for (const auto& [type, item] : catalogue.firmware) {
        auto staged = catalogue.rollouts.find(type);
        if (staged != catalogue.rollouts.end())
            plans.push_back(staged->second);
        else
            plans.push_back({.type = type, .version = item.version});
    }
    return plans;
}

bool Fleet::Open(const Catalogue& catalogue, std::string& error) {
    served_ = Plans(catalogue);
    plans_ = served_;
    if (!store_)
        return true;
    try {
        store_->Open(true);
        store_->Serve(served_, NowMs());
        known_ = true;
        Refresh();
    } catch (const RegisterError& e) {
        using Kind = RegisterError::Kind;
        if (e.kind == Kind::NotARegister || e.kind == Kind::NewerSchema ||
            e.kind == Kind::Missing) {
            error = e.what();
            return false;
        }
        store_->Close();
    }
    return true;
}

void Fleet::Serve(const Catalogue& catalogue) {
    std::lock_guard<std::mutex> lock(mutex_);
    plans_ = Plans(catalogue);
    plansChanged_ = true;
}

void Fleet::Start() {
    if (store_ && !writer_.joinable())
        writer_ = std::thread([this] { Writer(); });
}

void Fleet::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (writer_.joinable())
        writer_.join();
}

std::string Fleet::Stage(const Catalogue& catalogue, const std::string& originalId,
                         const std::string& type, Decision& decision) const {
    if (decision.kind != Decision::Kind::Data || decision.upType != RequestKind::Firmware)
        return {};
    auto plan = catalogue.rollouts.find(type);
    if (plan == catalogue.rollouts.end() || plan->second.version != decision.item->version)
        return {};
    const std::string& version = plan->second.version;
    std::shared_ptr<const Statuses> statuses;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses = statuses_;
    }
    // Until the register has said otherwise, a release is at its first stage.
    uint32_t percent = plan->second.stages.front();
    bool halted = false;
    bool downloaded = false;
    if (auto it = statuses->find({type, version}); it != statuses->end()) {
        percent = it->second.row.percent;
        halted = it->second.row.halted;
        downloaded = halted && it->second.downloaded.count(originalId) != 0;
    }
    if (Offered(Bucket(originalId, type, version), percent, halted, downloaded))
        return {};
    decision = Decision{};
    decision.status = "0";
    return version;
}

void Fleet::Record(SessionRecord record) {
    if (!store_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() + taken_ >= settings_.queueLimit) {
            ++lost_;
            // Said once until the register is written again.
            if (overflowSaid_)
                return;
            overflowSaid_ = true;
        } else {
            queue_.push_back(std::move(record));
            if (queue_.size() >= kBatch)
                wake_.notify_one();
            return;
        }
    }
    WriteLogLine(Now() + " register " + store_->Name() + ": the queue of " +
                 std::to_string(settings_.queueLimit) +
                 " records is full; records are lost from now on and counted "
                 "(upgrade_server_register_records_lost_total) until it can be written");
}

Fleet::Figures Fleet::Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Figures f{store_ != nullptr, !failing_, written_, lost_, queue_.size() + taken_, failures_, {}};
    for (const auto& plan : plans_) {
        auto it = statuses_->find({plan.type, plan.version});
        if (it != statuses_->end()) {
            f.releases.push_back(it->second.row);
        } else {
            ReleaseRow row;
            row.type = plan.type;
            row.version = plan.version;
            row.plan = plan;
            row.staged = plan.staged;
            row.percent = plan.stages.front();
            f.releases.push_back(row);
        }
    }
    return f;
}

void Fleet::Writer() {
    std::vector<SessionRecord> batch;
    auto nextSteer = Clock::now();
    bool ok = true;
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // After a failure the next try waits for the period, however full the queue.
            wake_.wait_until(lock, nextSteer,
                             [&] { return stopping_ || (ok && queue_.size() >= kBatch); });
            stopping = stopping_;
            while (batch.size() < kBatch && !queue_.empty()) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            taken_ = batch.size();
            if (plansChanged_) {
                served_ = plans_;
                plansChanged_ = false;
                known_ = false;
            }
        }
        bool steer = Clock::now() >= nextSteer;
        if (steer)
            nextSteer = Clock::now() + kSteerPeriod;
        ok = Round(batch, steer);
        if (!ok)
            nextSteer = std::max(nextSteer, Clock::now() + kSteerPeriod);
        if (!stopping)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (ok && queue_.empty())
            break;
        if (!ok) {
            // Stopping, with a register that cannot be written: what still waits is lost.
            uint64_t left = queue_.size() + batch.size();
            lost_ += left;
            WriteLogLine(Now() + " register " + store_->Name() + ": " + std::to_string(left) +
                         " records not written at shutdown");
            break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    taken_ = 0;
}

bool Fleet::Round(std::vector<SessionRecord>& batch, bool steer) {
    try {
        if (!store_->IsOpen())
            store_->Open(true);
        if (!known_) {
            store_->Serve(served_, NowMs());
            known_ = true;
        }
        if (!batch.empty()) {
            store_->Write(batch);
            std::lock_guard<std::mutex> lock(mutex_);
            written_ += batch.size();
            taken_ = 0;
            batch.clear();
        }
        if (steer) {
            auto events = store_->Steer(served_, NowMs());
            // The sessions decide by a change before the log tells of it.
            Refresh();
            for (const auto& event : events)
                WriteLogLine(Now() + " " + RolloutEventText(event));
            if (Clock::now() >= nextPrune_) {
                auto keep = std::chrono::hours(24) * settings_.keepSessionsDays;
                store_->Prune(NowMs() -
                              std::chrono::duration_cast<std::chrono::milliseconds>(keep).count());
                nextPrune_ = Clock::now() + kPrunePeriod;
            }
        }
    } catch (const RegisterError& e) {
        Failed(e);
        return false;
    }
    Recovered();
    return true;
}

void Fleet::Refresh() {
    std::vector<std::pair<std::string, std::string>> which;
    which.reserve(served_.size());
    for (const auto& plan : served_)
        which.emplace_back(plan.type, plan.version);
    auto statuses = std::make_shared<Statuses>();
    for (auto& row : store_->Releases(which)) {
        Key key{row.type, row.version};
        Status& status = (*statuses)[key];
        if (row.halted)
            for (auto& id : store_->Downloaded(row.type, row.version))
                status.downloaded.insert(std::move(id));
        status.row = std::move(row);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_ = std::move(statuses);
}

void Fleet::Failed(const RegisterError& error) {
    // Opened again next round: a file that was read-only may be writable by then.
    store_->Close();
    std::lock_guard<std::mutex> lock(mutex_);
    ++failures_;
    if (failing_)
        return;
    failing_ = true;
    WriteLogLine(Now() + " " + error.what() + "; sessions go on, their records wait in memory " +
                 "(at most " + std::to_string(settings_.queueLimit) +
                 ") and are written once it can be");
}

void Fleet::Recovered() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_) {
        failing_ = false;
        auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - lastWritten_).count();
        WriteLogLine(Now() + " register " + store_->Name() + " written again after " +
                     std::to_string(seconds) + " s; " + std::to_string(lost_ - lostAtWritten_) +
                     " records lost meanwhile");
    }
    // Records are lost only while the writer cannot write: those lost since now are of the
    // next failure.
    lastWritten_ = Clock::now();
    lostAtWritten_ = lost_;
    overflowSaid_ = false;
}
