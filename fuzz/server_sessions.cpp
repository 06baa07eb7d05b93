// The upgrade and page sessions of the reference server over a real loopback connection, all on
// one io_context in the fuzzing thread: the server end is accepted and its session launched with
// a short step limit, the client end writes the input (after its first byte, which chooses: even
// an upgrade session, odd a page session), shuts down its sending side and reads and discards
// the answer until the server closes; the context runs until everything has ended. The session
// must then be gone (nothing holds it), which also keeps leaks from building up between inputs.
// The catalogue is the sample one (SampleCatalogue.h), so recorded dialogues reach the data.
#include "PageSession.h"
#include "SampleCatalogue.h"
#include "UpgradeSession.h"

#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr std::chrono::milliseconds kStepLimit{1000};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

struct TServerEnd {
    asio::io_context io{1};
    asio::ip::tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
    std::shared_ptr<const ServerContext> context;
    ConnectionRegistry registry{1}; // sessions launched here are never added: no cap applies

    TServerEnd() {
        TMemoryFiles files;
        std::string error;
        auto catalogue = ParseManifest(kSampleManifest, "manifest", files, error);
        if (!catalogue)
            Fail("the sample catalogue does not load: " + error);
        auto upgrade = std::make_shared<ServerContext>();
        upgrade->catalogue = std::move(*catalogue);
        upgrade->stepLimit = kStepLimit;
        context = std::move(upgrade);
    }
};

asio::awaitable<void> WriteInput(asio::ip::tcp::socket& socket, std::string_view input) {
    std::error_code ec;
    co_await asio::async_write(socket, asio::buffer(input),
                               asio::redirect_error(asio::use_awaitable, ec));
    socket.shutdown(asio::socket_base::shutdown_send, ec);
}

asio::awaitable<void> ReadAnswer(asio::ip::tcp::socket& socket) {
    char scratch[8192];
    for (;;) {
        std::error_code ec;
        co_await socket.async_read_some(asio::buffer(scratch),
                                        asio::redirect_error(asio::use_awaitable, ec));
        if (ec)
            break;
    }
    std::error_code ec;
    socket.close(ec);
}

// The client's end: connects (asynchronously: libFuzzer's timer signal would break a blocking
// connect off), then writes the input while it reads the answer.
asio::awaitable<void> Client(asio::ip::tcp::socket& socket, asio::ip::tcp::endpoint server,
                             std::string_view input) {
    std::error_code ec;
    co_await socket.async_connect(server, asio::redirect_error(asio::use_awaitable, ec));
    // The client's end closes first and so stays in TIME_WAIT for a minute; Linux gives such
    // loopback ports to new connections again (net.ipv4.tcp_tw_reuse 2, its default).
    if (ec)
        Fail("cannot connect to the loopback listener: " + ec.message() +
             (ec == std::errc::address_not_available
                  ? " (the loopback ports are used up: set net.ipv4.tcp_tw_reuse to 1 or 2)"
                  : ""));
    asio::co_spawn(socket.get_executor(), WriteInput(socket, input), asio::detached);
    co_await ReadAnswer(socket);
}

// The server's end: accepts and launches the session, which it leaves in `session`.
asio::awaitable<void> Accept(TServerEnd& server, bool page, std::weak_ptr<Connection>& session) {
    std::error_code ec;
    asio::ip::tcp::socket accepted =
        co_await server.acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec)
        Fail("accept: " + ec.message());
    if (page) {
        auto s =
            std::make_shared<PageSession>(std::move(accepted), server.context, server.registry);
        session = s;
        PageSession::Launch(std::move(s));
    } else {
        auto s =
            std::make_shared<UpgradeSession>(std::move(accepted), server.context, server.registry);
        session = s;
        UpgradeSession::Launch(std::move(s));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Each session writes its log line to standard output; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        Fail("cannot send standard output to /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1)
        return 0;
    static TServerEnd server;
    const bool page = (bytes[0] & 1) != 0;
    const std::string_view input(reinterpret_cast<const char*>(bytes + 1), size - 1);

    asio::ip::tcp::socket client(server.io);
    std::weak_ptr<Connection> session;
    asio::co_spawn(server.io, Accept(server, page, session), asio::detached);
    asio::co_spawn(server.io, Client(client, server.acceptor.local_endpoint(), input),
                   asio::detached);
    server.io.run();
    server.io.restart();
    if (!session.expired())
        Fail("the session is still held after its connection ended");
    return 0;
}
