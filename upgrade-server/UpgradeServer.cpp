#include "UpgradeServer.h"

#include "Log.h"
#include "RequestKind.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <thread>
#include <vector>

namespace {
ConnectionLimits LimitsOf(const ServerOptions& options) {
    return {.maxSessions = options.maxSessions,
            .maxPerPeer = options.maxPerPeer,
            .maxPerNetwork = options.maxPerNetwork,
            .firstLine = options.firstLineLimit,
            .sessionBase = options.sessionLimit,
            .minRate = options.minRate,
            .progressWindow = options.progressWindow,
            .minProgress = options.minProgress,
            .connectRate = options.connectRate,
            .connectBurst = options.connectBurst};
}

constexpr size_t kUpgradePort = 0;
constexpr size_t kPagePort = 1;
constexpr size_t kAdminPort = 2;
constexpr std::array<const char*, 3> kPortNames{"", " http", " admin"};
constexpr std::array<const char*, 3> kCapNames{"max-sessions", "max-per-peer", "max-per-network"};
// The refusal counter of connections over their peer's rate, counted in a line of their own.
constexpr size_t kConnectRate = 3;
} // namespace

bool CatalogueFitsOptions(const Catalogue& catalogue, const ServerOptions& options,
                          std::string& error) {
    if (options.faults.kind == RequestKind::Tool && !catalogue.tool) {
        error = "the fault kind:7 needs a tool line in the manifest";
        return false;
    }
    return true;
}

UpgradeServer::UpgradeServer(const ServerOptions& options, Catalogue catalogue,
                             std::shared_ptr<Fleet> fleet)
    : options_(options), control_(asio::make_strand(io_)), signals_(io_, SIGINT, SIGTERM),
      hangups_(io_, SIGHUP), upgradeAcceptor_(control_), upgradeSessions_(LimitsOf(options)),
      pageSessions_(LimitsOf(options)), adminSessions_(LimitsOf(options)), tick_(control_) {
    metrics_ = std::make_shared<ServerMetrics>();
    auto context = std::make_shared<ServerContext>();
    context->catalogue = std::move(catalogue);
    context->faults = options.faults;
    context->stepLimit = options.stepLimit;
    context->metrics = metrics_;
    context->fleet = std::move(fleet);
    context_ = std::move(context);
    metrics_->Publish(context_);
    if (options.adminPort != 0)
        dashboard_ = std::make_shared<Dashboard>(options.registerUri);
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
    if (options_.adminPort != 0) {
        auto adminAddress = asio::ip::make_address(options_.adminAddress, ec);
        if (ec) {
            error = "\"" + options_.adminAddress + "\" is not an IP address";
            return false;
        }
        adminAcceptor_.emplace(control_);
        if (!Listen(*adminAcceptor_, adminAddress, options_.adminPort, error)) {
            error += " (the dashboard: give another --admin-port, or 0 to turn it off)";
            return false;
        }
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
    line += " admin " + (adminAcceptor_ ? EndpointText(adminAcceptor_->local_endpoint(ec)) : "off");
    return line + " catalogue " + CatalogueSummary(context_->catalogue);
}

void UpgradeServer::Run(unsigned threads) {
    for (unsigned i = 1; i < threads; ++i) {
        more_.push_back(std::make_unique<asio::io_context>(1));
        keepRunning_.push_back(asio::make_work_guard(*more_.back()));
    }
    asio::co_spawn(control_, WaitForSignal(), asio::detached);
    asio::co_spawn(control_, ReloadOnHangup(), asio::detached);
    asio::co_spawn(control_, Housekeeping(), asio::detached);
    asio::co_spawn(control_,
                   Accept(upgradeAcceptor_, upgradeSessions_, kUpgradePort, "upgrade",
                          [this](asio::ip::tcp::socket socket) {
                              return std::make_shared<UpgradeSession>(std::move(socket), context_,
                                                                      upgradeSessions_);
                          }),
                   asio::detached);
    if (pageAcceptor_)
        asio::co_spawn(control_,
                       Accept(*pageAcceptor_, pageSessions_, kPagePort, "page",
                              [this](asio::ip::tcp::socket socket) {
                                  return std::make_shared<PageSession>(std::move(socket), context_,
                                                                       pageSessions_);
                              }),
                       asio::detached);
    if (adminAcceptor_)
        asio::co_spawn(control_,
                       Accept(*adminAcceptor_, adminSessions_, kAdminPort, "dashboard",
                              [this](asio::ip::tcp::socket socket) {
                                  return std::make_shared<AdminSession>(
                                      std::move(socket), options_.stepLimit, context_->grouped,
                                      dashboard_, adminSessions_);
                              }),
                       asio::detached);
    std::vector<std::thread> pool;
    pool.reserve(more_.size());
    for (auto& context : more_)
        pool.emplace_back([&context] { context->run(); });
    io_.run();
    for (auto& t : pool)
        t.join();
    if (dashboard_)
        dashboard_->Stop();
    // Sessions closed by the shutdown itself end after the last refusal lines.
    char period[32];
    std::snprintf(
        period, sizeof period, " in %.1fs",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - refusalsSince_).count());
    context_->grouped->Write(period);
}

asio::io_context& UpgradeServer::NextContext() {
    size_t index = next_++ % (more_.size() + 1);
    return index == 0 ? io_ : *more_[index - 1];
}

asio::awaitable<void> UpgradeServer::WaitForSignal() {
    std::error_code ec;
    co_await signals_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    stopping_ = true;
    hangups_.cancel(ec);
    upgradeAcceptor_.close(ec);
    for (auto* acceptor : {&pageAcceptor_, &adminAcceptor_})
        if (*acceptor)
            (*acceptor)->close(ec);
    upgradeSessions_.ShutdownAll();
    pageSessions_.ShutdownAll();
    adminSessions_.ShutdownAll();
    tick_.cancel();
    // The other contexts end once their sessions have closed.
    keepRunning_.clear();
}

namespace {
struct LoadedCatalogue {
    std::optional<Catalogue> catalogue;
    std::string error;
};

// The same loader and checks as at start-up, run on the loader's thread.
asio::awaitable<LoadedCatalogue> LoadOffThread(ServerOptions options) {
    LoadedCatalogue loaded;
    try {
        loaded.catalogue = LoadCatalogue(options.catalogueDir, loaded.error, options.pubkeys);
        if (loaded.catalogue && !CatalogueFitsOptions(*loaded.catalogue, options, loaded.error))
            loaded.catalogue.reset();
    } catch (const std::exception& e) {
        loaded.catalogue.reset();
        loaded.error = "cannot read the catalogue " + options.catalogueDir + ": " + e.what();
    }
    co_return loaded;
}
} // namespace

asio::awaitable<void> UpgradeServer::ReloadOnHangup() {
    for (;;) {
        std::error_code ec;
        co_await hangups_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec || stopping_)
            co_return;
        LoadedCatalogue loaded =
            co_await asio::co_spawn(loader_, LoadOffThread(options_), asio::use_awaitable);
        if (stopping_)
            co_return;
        const std::string now = LogTime(std::chrono::system_clock::now());
        if (!loaded.catalogue) {
            metrics_->ReloadFailed();
            WriteLogLine(now + " reload failed, generation " +
                         std::to_string(context_->generation) + " stays: " + loaded.error);
            continue;
        }
        for (const auto& warning : loaded.catalogue->warnings)
            std::cerr << options_.program << ": warning: " << warning << '\n';
        auto next = std::make_shared<ServerContext>();
        next->catalogue = std::move(*loaded.catalogue);
        next->generation = context_->generation + 1;
        next->faults = context_->faults;
        next->stepLimit = context_->stepLimit;
        next->metrics = metrics_;
        next->grouped = context_->grouped;
        next->fleet = context_->fleet;
        next->fleet->Serve(next->catalogue);
        // Sessions already running keep the generation they hold; the old one goes with the
        // last of them. Older ones than the previous generation are closed: slow readers across
        // many reloads would otherwise keep a copy of the catalogue each.
        context_ = std::move(next);
        metrics_->Publish(context_);
        WriteLogLine(now + " reload generation=" + std::to_string(context_->generation) + " " +
                     CatalogueSummary(context_->catalogue));
        const uint64_t oldest = context_->generation - 1;
        metrics_->Superseded(upgradeSessions_.CloseGenerationsBefore(oldest) +
                             pageSessions_.CloseGenerationsBefore(oldest));
    }
}

asio::awaitable<void> UpgradeServer::Housekeeping() {
    refusalsSince_ = std::chrono::steady_clock::now();
    while (!stopping_) {
        tick_.expires_after(std::chrono::seconds(1));
        std::error_code ec;
        co_await tick_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        LogRefusals(); // also the last ones, at shutdown
        TrimWhenIdle();
    }
}

bool UpgradeServer::Admit(ConnectionRegistry& sessions,
                          const std::shared_ptr<Connection>& connection, size_t port) {
    using Admission = ConnectionRegistry::Admission;
    auto admission = sessions.Add(connection);
    if (admission == Admission::Accepted)
        return true;
    // One line a second for all of them: a flood of refusals must not become a flood of lines.
    if (admission == Admission::ConnectRate) {
        metrics_->Refused(port, kConnectRate);
        GroupedLines& grouped = *context_->grouped;
        (port == kUpgradePort ? grouped.connectRate
         : port == kPagePort  ? grouped.http.connectRate
                              : grouped.admin.connectRate)
            .Add(connection->PeerKey(), connection->Peer());
    } else if (admission != Admission::Stopping) {
        size_t cap = admission == Admission::MaxPerPeer      ? 1
                     : admission == Admission::MaxPerNetwork ? 2
                                                             : 0;
        Refusals& r = refusals_[port][cap];
        metrics_->Refused(port, cap);
        ++r.count;
        r.lastPeer = connection->Peer();
    }
    return false;
}

void UpgradeServer::LogRefusals() {
    auto now = std::chrono::steady_clock::now();
    char period[32];
    std::snprintf(period, sizeof period, " in %.1fs",
                  std::chrono::duration<double>(now - refusalsSince_).count());
    refusalsSince_ = now;
    for (size_t port : {kUpgradePort, kPagePort, kAdminPort}) {
        for (size_t cap = 0; cap < kCapNames.size(); ++cap) {
            Refusals& r = refusals_[port][cap];
            if (r.count == 0)
                continue;
            WriteLogLine(LogTime(std::chrono::system_clock::now()) + " " + r.lastPeer +
                         kPortNames[port] + " refused " + kCapNames[cap] + " " +
                         std::to_string(r.count) + period);
            r = Refusals{};
        }
    }
    context_->grouped->Write(period);
}

void UpgradeServer::TrimWhenIdle() {
    uint64_t upgradesEnded = 0;
    uint64_t pagesEnded = 0;
    uint64_t adminEnded = 0;
    bool idle = upgradeSessions_.Idle(upgradesEnded) && pageSessions_.Idle(pagesEnded) &&
                adminSessions_.Idle(adminEnded);
    if (!idle || upgradesEnded + pagesEnded + adminEnded == endedAtTrim_)
        return;
    endedAtTrim_ = upgradesEnded + pagesEnded + adminEnded;
#if defined(__GLIBC__)
    // The sessions' buffers were freed into the arenas of the threads that served them, and
    // glibc keeps most of that memory: give it back to the system now that nothing runs.
    malloc_trim(0);
#endif
}

asio::awaitable<bool> UpgradeServer::AcceptFailed(const std::error_code& ec, const char* which) {
    if (stopping_ || ec == asio::error::operation_aborted)
        co_return false;
    // Out of descriptors or memory: say so and try again shortly instead of spinning.
    std::cerr << options_.program << ": accepting on the " << which << " port: " << ec.message()
              << '\n';
    asio::steady_timer pause(control_, std::chrono::milliseconds(100));
    std::error_code ignored;
    co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return !stopping_;
}

template <typename Make>
asio::awaitable<void> UpgradeServer::Accept(asio::ip::tcp::acceptor& acceptor,
                                            ConnectionRegistry& sessions, size_t port,
                                            const char* which, Make make) {
    for (;;) {
        std::error_code ec;
        asio::ip::tcp::socket socket =
            co_await acceptor.async_accept(asio::any_io_executor(NextContext().get_executor()),
                                           asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            bool retry = co_await AcceptFailed(ec, which);
            if (!retry)
                co_return;
            continue;
        }
        auto session = make(std::move(socket));
        if (!Admit(sessions, session, port))
            continue; // the session object closes its socket as it goes
        std::remove_reference_t<decltype(*session)>::Launch(std::move(session));
    }
}
