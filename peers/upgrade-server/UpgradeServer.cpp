#include "UpgradeServer.h"

#include "Log.h"

#include <csignal>
#include <iostream>
#include <thread>
#include <vector>

UpgradeServer::UpgradeServer(const ServerOptions& options, Catalogue catalogue)
    : options_(options), control_(asio::make_strand(io_)), signals_(io_, SIGINT, SIGTERM),
      upgradeAcceptor_(control_), upgradeSessions_(options.maxSessions),
      pageSessions_(options.maxSessions) {
    auto pages = std::make_shared<PageMap>(catalogue.pages);
    pages_ = std::move(pages);
    auto context = std::make_shared<UpgradeContext>();
    context->catalogue = std::move(catalogue);
    context->faults = options.faults;
    context->stepLimit = options.stepLimit;
    context_ = std::move(context);
}

namespace {
bool Listen(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address, uint16_t port,
            std::string& error) {
    asio::ip::tcp::endpoint endpoint(address, port);
    std::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        error = "cannot listen on " + EndpointText(endpoint) + ": " + ec.message();
    return !ec;
}
} // namespace

bool UpgradeServer::Bind(std::string& error) {
    std::error_code ec;
    auto address = asio::ip::make_address(options_.address, ec);
    if (ec) {
        error = "\"" + options_.address + "\" is not an IP address";
        return false;
    }
    if (!Listen(upgradeAcceptor_, address, options_.port, error))
        return false;
    if (options_.httpPort != 0) {
        pageAcceptor_.emplace(control_);
        if (!Listen(*pageAcceptor_, address, options_.httpPort, error))
            return false;
    }
    return true;
}

std::string UpgradeServer::ListeningLine() const {
    std::error_code ec;
    std::string line = "listening " + EndpointText(upgradeAcceptor_.local_endpoint(ec)) + " http ";
    if (pageAcceptor_)
        line += std::to_string(pageAcceptor_->local_endpoint(ec).port());
    else
        line += "off";
    return line;
}

void UpgradeServer::Run(unsigned threads) {
    for (unsigned i = 1; i < threads; ++i) {
        more_.push_back(std::make_unique<asio::io_context>(1));
        keepRunning_.push_back(asio::make_work_guard(*more_.back()));
    }
    asio::co_spawn(control_, WaitForSignal(), asio::detached);
    asio::co_spawn(control_, AcceptUpgrades(), asio::detached);
    if (pageAcceptor_)
        asio::co_spawn(control_, AcceptPages(), asio::detached);
    std::vector<std::thread> pool;
    for (auto& context : more_)
        pool.emplace_back([&context] { context->run(); });
    io_.run();
    for (auto& t : pool)
        t.join();
}

asio::io_context& UpgradeServer::NextContext() {
    size_t index = next_++ % (more_.size() + 1);
    return index == 0 ? io_ : *more_[index - 1];
}

asio::awaitable<void> UpgradeServer::WaitForSignal() {
    std::error_code ec;
    co_await signals_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    stopping_ = true;
    upgradeAcceptor_.close(ec);
    if (pageAcceptor_)
        pageAcceptor_->close(ec);
    upgradeSessions_.ShutdownAll();
    pageSessions_.ShutdownAll();
    // The other contexts end once their sessions have closed.
    keepRunning_.clear();
}

void UpgradeServer::LogRefused(const std::string& peer, const char* which) {
    WriteLogLine(LogTime(std::chrono::system_clock::now()) + " " + peer + which +
                 " refused max-sessions");
}

asio::awaitable<bool> UpgradeServer::AcceptFailed(const std::error_code& ec, const char* which) {
    if (stopping_ || ec == asio::error::operation_aborted)
        co_return false;
    // Out of descriptors or memory: say so and try again shortly instead of spinning.
    std::cerr << "upgrade-server: accepting on the " << which << " port: " << ec.message()
              << std::endl;
    asio::steady_timer pause(control_, std::chrono::milliseconds(100));
    std::error_code ignored;
    co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return !stopping_;
}

asio::awaitable<void> UpgradeServer::AcceptUpgrades() {
    for (;;) {
        std::error_code ec;
        asio::ip::tcp::socket socket = co_await upgradeAcceptor_.async_accept(
            asio::any_io_executor(NextContext().get_executor()),
            asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            bool retry = co_await AcceptFailed(ec, "upgrade");
            if (!retry)
                co_return;
            continue;
        }
        auto session =
            std::make_shared<UpgradeSession>(std::move(socket), context_, upgradeSessions_);
        if (!upgradeSessions_.Add(session)) {
            LogRefused(session->Peer(), "");
            continue; // the session object closes its socket as it goes
        }
        UpgradeSession::Launch(std::move(session));
    }
}

asio::awaitable<void> UpgradeServer::AcceptPages() {
    for (;;) {
        std::error_code ec;
        asio::ip::tcp::socket socket = co_await pageAcceptor_->async_accept(
            asio::any_io_executor(NextContext().get_executor()),
            asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            bool retry = co_await AcceptFailed(ec, "page");
            if (!retry)
                co_return;
            continue;
        }
        auto session = std::make_shared<PageSession>(std::move(socket), pages_, options_.stepLimit,
                                                     pageSessions_);
        if (!pageSessions_.Add(session)) {
            LogRefused(session->Peer(), " http");
            continue;
        }
        PageSession::Launch(std::move(session));
    }
}
