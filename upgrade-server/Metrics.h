#pragma once
// The server's counters, served on the page port as GET /metrics in the Prometheus text format.
// Plain atomics, updated from every thread where things happen and read when the page is asked
// for; the catalogue generations still held by sessions are tracked through weak pointers.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ServerContext;

class ServerMetrics {
public:
    // How an upgrade session ends: its end= value up to the "@".
    static constexpr std::array<std::string_view, 15> kOutcomes{
        "allok",    "rep",         "status",      "closed",     "timeout",
        "too-slow", "no-progress", "displaced",   "superseded", "unexpected",
        "too-long", "fault-close", "fault-stall", "shutdown",   "error"};
    // The refusal counters: port 0 upgrade, 1 http, 2 admin (the dashboard); reason
    // 0 max-sessions, 1 max-per-peer, 2 max-per-network, 3 connect-rate.
    static constexpr std::array<std::string_view, 3> kPorts{"upgrade", "http", "admin"};
    static constexpr std::array<std::string_view, 4> kCaps{"max-sessions", "max-per-peer",
                                                           "max-per-network", "connect-rate"};

    void SessionStarted() { started_.fetch_add(1, std::memory_order_relaxed); }
    // `end` as the log line has it ("allok", "closed@chunk:3", ...); an unknown one counts as
    // "error".
    void SessionEnded(std::string_view end);
    void DataSent(uint64_t bytes) { dataSent_.fetch_add(bytes, std::memory_order_relaxed); }
    void Refused(size_t port, size_t cap) {
        refused_[port][cap].fetch_add(1, std::memory_order_relaxed);
    }
    void ReloadFailed() { reloadFailures_.fetch_add(1, std::memory_order_relaxed); }
    // Connections closed because their catalogue generation was too old.
    void Superseded(uint64_t connections) {
        superseded_.fetch_add(connections, std::memory_order_relaxed);
    }
    // A generation is served from now on (a reload counts when it is not the first one).
    void Publish(const std::shared_ptr<const ServerContext>& generation);

    // The whole exposition, `current` being the generation served now.
    std::string Text(const ServerContext& current);

private:
    // The generations still held, and the bytes of their files.
    std::pair<uint64_t, uint64_t> Held();

    std::atomic<uint64_t> started_{0};
    std::array<std::atomic<uint64_t>, kOutcomes.size()> ended_{};
    std::atomic<uint64_t> dataSent_{0};
    std::array<std::array<std::atomic<uint64_t>, kCaps.size()>, kPorts.size()> refused_{};
    std::atomic<uint64_t> reloads_{0};
    std::atomic<uint64_t> reloadFailures_{0};
    std::atomic<uint64_t> superseded_{0};
    std::mutex mutex_;
    // Every generation published that a session may still hold.
    std::vector<std::weak_ptr<const ServerContext>> generations_;
};
