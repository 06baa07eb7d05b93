#pragma once
// The listening side: the upgrade port and the page port on one address, a pool of threads
// running the sessions (each on its own strand), the session caps, and shutdown on SIGTERM/SIGINT.
#include "Catalogue.h"
#include "Connection.h"
#include "Options.h"
#include "PageSession.h"
#include "UpgradeSession.h"

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class UpgradeServer {
public:
    UpgradeServer(const ServerOptions& options, Catalogue catalogue);
    // Binds and listens on both ports; false with the reason in `error`.
    bool Bind(std::string& error);
    // "listening ADDR:PORT http PORT" (or "http off").
    std::string ListeningLine() const;
    // Serves until SIGTERM or SIGINT and every session has ended.
    void Run(unsigned threads);

private:
    asio::awaitable<void> AcceptUpgrades();
    asio::awaitable<void> AcceptPages();
    asio::awaitable<void> WaitForSignal();
    // Returns false when accepting should stop; pauses a little on resource errors.
    asio::awaitable<bool> AcceptFailed(const std::error_code& ec, const char* which);
    void LogRefused(const std::string& peer, const char* which);

    ServerOptions options_;
    asio::io_context io_;
    asio::strand<asio::io_context::executor_type> control_;
    asio::signal_set signals_;
    std::shared_ptr<const UpgradeContext> context_;
    std::shared_ptr<const PageMap> pages_;
    asio::ip::tcp::acceptor upgradeAcceptor_;
    std::optional<asio::ip::tcp::acceptor> pageAcceptor_;
    ConnectionRegistry upgradeSessions_;
    ConnectionRegistry pageSessions_;
    bool stopping_ = false;
};
