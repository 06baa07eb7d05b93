#include "AdminSession.h"

namespace {
// The page, its style sheet and its script come from this port only: no inline script or style
// runs, nothing is fetched from elsewhere, and no other site may frame the page.
constexpr const char* kHeaders =
    "Content-Security-Policy: default-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-store\r\n";
} // namespace

AdminSession::AdminSession(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                           const std::shared_ptr<GroupedLines>& grouped,
                           std::shared_ptr<Dashboard> dashboard, ConnectionRegistry& registry)
    : HttpConnection(std::move(socket), stepLimit, registry, 1, grouped, grouped->admin, " admin",
                     kHeaders),
      dashboard_(std::move(dashboard)) {
    Unlogged();
}

void AdminSession::Launch(std::shared_ptr<AdminSession> session) {
    auto executor = session->Executor();
    asio::co_spawn(executor, Start(std::move(session)), asio::detached);
}

asio::awaitable<void> AdminSession::Serve() {
    auto request = co_await ReadRequest();
    if (!request)
        co_return;
    const bool withBody = request->method == "GET";
    if (const DashboardFile* file = FindDashboardFile(request->path)) {
        const std::string body(file->body);
        const std::string type(file->type);
        co_await Respond(200, "OK", &body, withBody, "", type.c_str());
        co_return;
    }
    if (!request->path.starts_with("/api/")) {
        co_await Respond(404, "Not Found", nullptr, withBody);
        co_return;
    }
    Dashboard::Answer answer = co_await dashboard_->Api(request->path, request->query);
    const char* reason = answer.status == 200   ? "OK"
                         : answer.status == 400 ? "Bad Request"
                         : answer.status == 404 ? "Not Found"
                                                : "Service Unavailable";
    co_await Respond(answer.status, reason, &answer.body, withBody, "",
                     "application/json; charset=utf-8");
}
