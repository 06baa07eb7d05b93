#include "PageSession.h"

PageSession::PageSession(asio::ip::tcp::socket socket, std::shared_ptr<const ServerContext> context,
                         ConnectionRegistry& registry)
    : HttpConnection(std::move(socket), context->stepLimit, registry, context->generation,
                     context->grouped, context->grouped->http, " http"),
      context_(std::move(context)) {}

void PageSession::Launch(std::shared_ptr<PageSession> session) {
    auto executor = session->Executor();
    asio::co_spawn(executor, Start(std::move(session)), asio::detached);
}

asio::awaitable<void> PageSession::Serve() {
    auto request = co_await ReadRequest();
    if (!request)
        co_return;
    const bool withBody = request->method == "GET";
    std::string service;
    std::string type;
    if (ServiceEndpoint(request->path, service, type)) {
        // Polled every few seconds by monitors.
        Unlogged();
        co_await Respond(200, "OK", &service, withBody, "", type.c_str());
        co_return;
    }
    const auto& pages = context_->catalogue.pages;
    auto page = pages.find(request->path);
    if (page == pages.end())
        co_await Respond(404, "Not Found", nullptr, withBody);
    else
        co_await Respond(200, "OK", page->second.get(), withBody);
}

bool PageSession::ServiceEndpoint(const std::string& path, std::string& body,
                                  std::string& type) const {
    if (path == "/healthz") {
        body = "ok generation " + std::to_string(context_->generation) + "\n";
        type = "text/plain; charset=utf-8";
        return true;
    }
    if (path == "/metrics") {
        body = context_->metrics->Text(*context_);
        type = "text/plain; version=0.0.4; charset=utf-8";
        return true;
    }
    return false;
}
