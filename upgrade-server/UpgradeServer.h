#pragma once
// The listening side: the upgrade port and the page port on one address, the dashboard's port
// on another (loopback by default), a pool of threads
// running the sessions, the caps (in all and per peer) with their refusals counted and logged
// once a second, the memory given back when the server falls idle, the catalogue reloaded on
// SIGHUP, and shutdown on SIGTERM/SIGINT.
//
// Every thread runs an io_context of its own, and each connection stays on the context it was
// given at accept time (in turn): with one thread per context its handlers never run at the same
// time, without a strand. A single io_context shared by several threads would wake a second
// thread to take over the socket polling at every event a session waits for: a thread hand-off
// for each line of the dialogue and each chunk of the data.
#include "AdminSession.h"
#include "Catalogue.h"
#include "Connection.h"
#include "Options.h"
#include "PageSession.h"
#include "UpgradeSession.h"

#include <asio.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The catalogue is usable with these options: a kind:7 fault needs a tool to send. False with the
// reason in `error`.
bool CatalogueFitsOptions(const Catalogue& catalogue, const ServerOptions& options,
                          std::string& error);

class UpgradeServer {
public:
    // `fleet`: the register and the rollouts (opened by the caller).
    UpgradeServer(const ServerOptions& options, Catalogue catalogue,
                  std::shared_ptr<Fleet> fleet = std::make_shared<Fleet>());
    // Binds and listens on the ports; false with the reason in `error`.
    bool Bind(std::string& error);
    // "listening ADDR:PORT http PORT admin ADDR:PORT catalogue entries=N bytes=B" ("http off",
    // "admin off" for a port turned off).
    std::string ListeningLine() const;
    // Serves until SIGTERM or SIGINT and every session has ended.
    void Run(unsigned threads);

private:
    // Accepts connections on `acceptor` until shutdown, each made a session by `make` and
    // admitted to `sessions` (`port` counts its refusals, `which` names it in errors).
    template <typename Make>
    asio::awaitable<void> Accept(asio::ip::tcp::acceptor& acceptor, ConnectionRegistry& sessions,
                                 size_t port, const char* which, Make make);
    asio::awaitable<void> WaitForSignal();
    // At each SIGHUP: reads and checks the catalogue again, off the session threads, and
    // publishes it as the next generation when it is valid; else logs why and keeps the old one.
    asio::awaitable<void> ReloadOnHangup();
    // Once a second until shutdown: writes the refusal counts and the grouped lines
    // (GroupedLines), and gives memory back when idle.
    asio::awaitable<void> Housekeeping();
    // Returns false when accepting should stop; pauses a little on resource errors.
    asio::awaitable<bool> AcceptFailed(const std::error_code& ec, const char* which);
    // Admits a new connection to `sessions`, or counts its refusal (on the control strand).
    bool Admit(ConnectionRegistry& sessions, const std::shared_ptr<Connection>& connection,
               size_t port);
    void LogRefusals();
    void TrimWhenIdle();
    // The context for the next connection, in turn (on the control strand only).
    asio::io_context& NextContext();

    ServerOptions options_;
    // The first thread's context, which also holds the listening sockets and the signals.
    asio::io_context io_{1};
    // One context for each further thread, kept running until shutdown.
    std::vector<std::unique_ptr<asio::io_context>> more_;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning_;
    size_t next_ = 0;
    asio::strand<asio::io_context::executor_type> control_;
    asio::signal_set signals_;
    asio::signal_set hangups_;
    // Reads a new catalogue at SIGHUP, so that no session thread waits for the disk meanwhile.
    asio::thread_pool loader_{1};
    // The generation new connections get (read and replaced on the control strand only).
    std::shared_ptr<const ServerContext> context_;
    std::shared_ptr<ServerMetrics> metrics_;
    asio::ip::tcp::acceptor upgradeAcceptor_;
    std::optional<asio::ip::tcp::acceptor> pageAcceptor_;
    std::optional<asio::ip::tcp::acceptor> adminAcceptor_;
    ConnectionRegistry upgradeSessions_;
    ConnectionRegistry pageSessions_;
    ConnectionRegistry adminSessions_;
    // The dashboard's data, with a register connection of its own (with --admin-port).
    std::shared_ptr<Dashboard> dashboard_;
    bool stopping_ = false;
    // Refusals since the last refusal lines, by port (upgrade, page, admin) and cap
    // (max-sessions, max-per-peer, max-per-network), with the last refused peer of each.
    struct Refusals {
        uint64_t count = 0;
        std::string lastPeer;
    };
    std::array<std::array<Refusals, 3>, 3> refusals_{};
    std::chrono::steady_clock::time_point refusalsSince_;
    asio::steady_timer tick_;
    uint64_t endedAtTrim_ = 0;
};
