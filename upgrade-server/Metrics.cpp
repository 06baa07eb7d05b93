#include "Metrics.h"

#include "ServerContext.h"

#include <algorithm>

size_t CatalogueEntries(const Catalogue& catalogue) {
    return catalogue.firmware.size() + (catalogue.tool ? 1 : 0) + catalogue.refused.size() +
           catalogue.pages.size();
}

std::string CatalogueSummary(const Catalogue& catalogue) {
    return "entries=" + std::to_string(CatalogueEntries(catalogue)) +
           " bytes=" + std::to_string(catalogue.totalBytes);
}

void ServerMetrics::SessionEnded(std::string_view end) {
    std::string_view outcome = end.substr(0, end.find('@'));
    auto it = std::find(kOutcomes.begin(), kOutcomes.end(), outcome);
    if (it == kOutcomes.end())
        it = kOutcomes.end() - 1; // "error"
    ended_[static_cast<size_t>(it - kOutcomes.begin())].fetch_add(1, std::memory_order_relaxed);
}

void ServerMetrics::Publish(const std::shared_ptr<const ServerContext>& generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!generations_.empty())
        reloads_.fetch_add(1, std::memory_order_relaxed);
    std::erase_if(generations_, [](const auto& held) { return held.expired(); });
    generations_.push_back(generation);
}

namespace {
class Exposition {
public:
    // One metric family: its help text and type, then its samples.
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(uint64_t value, const std::string& labels = "") {
        text_ +=
            name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
    // A family of one sample without labels.
    void Single(const char* name, const char* type, const char* help, uint64_t value) {
        Family(name, type, help);
        Sample(value);
    }
    std::string Take() { return std::move(text_); }

private:
    std::string name_;
    std::string text_;
};

std::string Label(std::string_view name, std::string_view value) {
    std::string text = std::string(name) + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            text += '\\';
        text += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return text + "\"";
}

using Ended = std::array<uint64_t, ServerMetrics::kOutcomes.size()>;

// Sessions admitted, ended by outcome, and in progress.
void SessionFamilies(Exposition& out, uint64_t started, const Ended& ended) {
    uint64_t endedAll = 0;
    for (uint64_t count : ended)
        endedAll += count;
    out.Single("upgrade_server_sessions_started_total", "counter",
               "Upgrade sessions admitted (not refused by a cap).", started);
    out.Family("upgrade_server_sessions_ended_total", "counter",
               "Upgrade sessions ended, by outcome (the end= of the session's log line).");
    for (size_t i = 0; i < ended.size(); ++i)
        out.Sample(ended[i], Label("outcome", ServerMetrics::kOutcomes[i]));
    out.Single("upgrade_server_sessions_current", "gauge", "Upgrade sessions in progress.",
               started >= endedAll ? started - endedAll : 0);
}

// The catalogue served, and all generations still in memory.
void CatalogueFamilies(Exposition& out, const ServerContext& current, uint64_t held,
                       uint64_t heldBytes) {
    out.Single("upgrade_server_catalogue_generation", "gauge",
               "Generation of the catalogue served: 1 at start-up, one more at each reload.",
               current.generation);
    out.Single("upgrade_server_catalogue_entries", "gauge",
               "Entries of the catalogue served (firmware, tool, refuse and page lines).",
               CatalogueEntries(current.catalogue));
    out.Single("upgrade_server_catalogue_bytes", "gauge",
               "Bytes of the files of the catalogue served.", current.catalogue.totalBytes);
    out.Single("upgrade_server_catalogue_generations_held", "gauge",
               "Catalogue generations in memory: the one served and older ones that sessions "
               "still use.",
               held);
    out.Single("upgrade_server_catalogue_bytes_held", "gauge",
               "Bytes of the files of every catalogue generation in memory.", heldBytes);
}
// The register's writes and the releases served, with their rollouts (none without a register).
void RegisterFamilies(Exposition& out, const Fleet::Figures& f) {
    if (!f.hasRegister)
        return;
    out.Single("upgrade_server_register_records_written_total", "counter",
               "Session records written to the register.", f.written);
    out.Single("upgrade_server_register_records_lost_total", "counter",
               "Session records lost: the register could not be written and the queue was full "
               "(or the server stopped).",
               f.lost);
    out.Single("upgrade_server_register_records_waiting", "gauge",
               "Session records waiting in memory to be written.", f.waiting);
    out.Single("upgrade_server_register_write_failures_total", "counter",
               "Attempts to write the register that failed (one a second while it cannot be).",
               f.failures);
    out.Single("upgrade_server_register_writable", "gauge",
               "1 when the register's last write succeeded, 0 while it cannot be written.",
               f.writable ? 1 : 0);
    auto release = [](const ReleaseRow& r) {
        return Label("type", r.type) + "," + Label("version", r.version);
    };
    out.Family("upgrade_server_release_stage_percent", "gauge",
               "Share of the devices of its type a release is offered to (100 without a rollout).");
    for (const auto& r : f.releases)
        out.Sample(r.percent, release(r));
    out.Family("upgrade_server_release_devices", "gauge",
               "A release's devices by their latest state (each counted once).");
    for (const auto& r : f.releases) {
        for (auto state : {DeviceState::Offered, DeviceState::Downloaded, DeviceState::Installed,
                           DeviceState::CameBack}) {
            ReleaseCounts counts = r.counts;
            out.Sample(counts.Of(state), release(r) + "," + Label("state", DeviceStateName(state)));
        }
    }
    out.Family("upgrade_server_release_halted", "gauge",
               "1 when a release is halted: offered only to devices that downloaded it.");
    for (const auto& r : f.releases)
        out.Sample(r.halted ? 1 : 0, release(r));
    out.Family("upgrade_server_release_paused", "gauge",
               "1 when a release's rollout is paused: its stage does not advance by itself.");
    for (const auto& r : f.releases)
        out.Sample(r.paused ? 1 : 0, release(r));
}
} // namespace

std::pair<uint64_t, uint64_t> ServerMetrics::Held() {
    uint64_t held = 0;
    uint64_t heldBytes = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& weak : generations_) {
        if (auto generation = weak.lock()) {
            ++held;
            heldBytes += generation->catalogue.totalBytes;
        }
    }
    return {held, heldBytes};
}

std::string ServerMetrics::Text(const ServerContext& current) {
    // Ended before started: a session that starts in between never makes the gauge negative.
    Ended ended{};
    for (size_t i = 0; i < ended.size(); ++i)
        ended[i] = ended_[i].load(std::memory_order_relaxed);
    const uint64_t started = started_.load(std::memory_order_relaxed);
    const auto [held, heldBytes] = Held();

    Exposition out;
    SessionFamilies(out, started, ended);
    out.Single("upgrade_server_data_bytes_sent_total", "counter",
               "Bytes of firmware and tool data sent.", dataSent_.load(std::memory_order_relaxed));
    out.Family("upgrade_server_connections_refused_total", "counter",
               "Connections closed at once because a cap or the peer's connection rate was "
               "reached, by port and reason.");
    for (size_t port = 0; port < kPorts.size(); ++port)
        for (size_t cap = 0; cap < kCaps.size(); ++cap)
            out.Sample(refused_[port][cap].load(std::memory_order_relaxed),
                       Label("port", kPorts[port]) + "," + Label("reason", kCaps[cap]));
    out.Single("upgrade_server_catalogue_reloads_total", "counter",
               "Catalogue reloads (SIGHUP) that replaced the catalogue.",
               reloads_.load(std::memory_order_relaxed));
    out.Single("upgrade_server_catalogue_reload_failures_total", "counter",
               "Catalogue reloads refused because the new catalogue was not valid.",
               reloadFailures_.load(std::memory_order_relaxed));
    out.Single("upgrade_server_catalogue_superseded_total", "counter",
               "Connections (both ports) closed at a reload because they still served from the "
               "generation before the previous one.",
               superseded_.load(std::memory_order_relaxed));
    CatalogueFamilies(out, current, held, heldBytes);
    RegisterFamilies(out, current.fleet->Current());
    return out.Take();
}
