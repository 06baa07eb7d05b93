#include "PageSession.h"

#include "Log.h"

#include <array>

PageSession::PageSession(asio::ip::tcp::socket socket, std::shared_ptr<const ServerContext> context,
                         ConnectionRegistry& registry)
    : Connection(std::move(socket), context->stepLimit, registry, context->generation),
      context_(std::move(context)) {}

void PageSession::Launch(std::shared_ptr<PageSession> session) {
    auto executor = session->Executor();
    asio::co_spawn(executor, Start(std::move(session)), asio::detached);
}

asio::awaitable<void> PageSession::Serve() {
    RestartClock();
    // The head line by line, so that a line ending in a bare LF is answered at once instead of
    // waiting for a CR LF CR LF that never comes.
    std::string head;
    for (;;) {
        std::string line;
        bool ok = co_await ReadUntil("\n", kMaxHead - head.size(), line);
        if (!ok) {
            if (LastFailure() == Failure::TooLong)
                co_await Respond(400, "Bad Request", nullptr, true);
            co_return;
        }
        head += line;
        if (line.size() < 2 || line[line.size() - 2] != '\r') {
            co_await Respond(400, "Bad Request", nullptr, true);
            co_return;
        }
        if (line.size() == 2)
            break;
    }
    // Request line: METHOD SP TARGET SP HTTP/1.x
    std::string line = head.substr(0, head.find("\r\n"));
    auto sp1 = line.find(' ');
    auto sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    std::string version = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
    if ((version != "HTTP/1.1" && version != "HTTP/1.0") || sp1 == 0 || sp2 == sp1 + 1) {
        co_await Respond(400, "Bad Request", nullptr, true);
        co_return;
    }
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request_ = LogValue(method) + " " + LogValue(target);
    std::string path = target.substr(0, target.find('?'));
    if (method != "GET" && method != "HEAD") {
        co_await Respond(405, "Method Not Allowed", nullptr, true, "Allow: GET, HEAD\r\n");
        co_return;
    }
    std::string service;
    std::string type;
    if (ServiceEndpoint(path, service, type)) {
        logged_ = false;
        co_await Respond(200, "OK", &service, method == "GET", "", type.c_str());
        co_return;
    }
    const auto& pages = context_->catalogue.pages;
    auto page = pages.find(path);
    if (page == pages.end())
        co_await Respond(404, "Not Found", nullptr, method == "GET");
    else
        co_await Respond(200, "OK", page->second.get(), method == "GET");
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

asio::awaitable<void> PageSession::Respond(int status, const char* reason, const std::string* body,
                                           bool withBody, const std::string& extraHeaders,
                                           const char* type) {
    static const std::string kNotFound =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>404</title></head>"
        "<body><p>Not found.</p></body></html>\n";
    static const std::string kEmpty;
    if (!body)
        body = status == 404 ? &kNotFound : &kEmpty;
    std::string headers = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                          "\r\n"
                          "Content-Type: " +
                          type +
                          "\r\n"
                          "Content-Length: " +
                          std::to_string(body->size()) +
                          "\r\n"
                          "Connection: close\r\n" +
                          extraHeaders + "\r\n";
    std::array<asio::const_buffer, 2> buffers{asio::buffer(headers),
                                              asio::buffer(withBody ? *body : kEmpty)};
    bool sent = co_await Write(buffers);
    // Errors are what a flood of requests gets: counted by status, a line a second for each.
    GroupedLines& grouped = *context_->grouped;
    GroupedEnds* error = status == 400   ? &grouped.http400
                         : status == 404 ? &grouped.http404
                         : status == 405 ? &grouped.http405
                                         : nullptr;
    if (error)
        error->Add(PeerKey(), Peer());
    else if (logged_)
        WriteLogLine(LogTime(std::chrono::system_clock::now()) + " " + Peer() + " http " +
                     request_ + " " + std::to_string(status) + (sent ? "" : " unsent"));
    if (sent)
        co_await CloseGracefully();
}
