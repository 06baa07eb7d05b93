#include "HttpConnection.h"

#include <array>

HttpConnection::HttpConnection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                               ConnectionRegistry& registry, uint64_t generation,
                               std::shared_ptr<GroupedLines> grouped, HttpPortEnds& errors,
                               std::string port, std::string headers)
    : Connection(std::move(socket), stepLimit, registry, generation), grouped_(std::move(grouped)),
      errors_(errors), port_(std::move(port)), headers_(std::move(headers)) {}

asio::awaitable<std::optional<HttpConnection::Request>> HttpConnection::ReadRequest() {
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
            co_return std::nullopt;
        }
        head += line;
        if (line.size() < 2 || line[line.size() - 2] != '\r') {
            co_await Respond(400, "Bad Request", nullptr, true);
            co_return std::nullopt;
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
        co_return std::nullopt;
    }
    Request request;
    request.method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    request_ = LogValue(request.method) + " " + LogValue(target);
    if (request.method != "GET" && request.method != "HEAD") {
        co_await Respond(405, "Method Not Allowed", nullptr, true, "Allow: GET, HEAD\r\n");
        co_return std::nullopt;
    }
    auto question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos)
        request.query = target.substr(question + 1);
    co_return request;
}

asio::awaitable<void> HttpConnection::Respond(int status, const char* reason,
                                              const std::string* body, bool withBody,
                                              const std::string& extraHeaders, const char* type) {
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
                          headers_ + extraHeaders + "\r\n";
    std::array<asio::const_buffer, 2> buffers{asio::buffer(headers),
                                              asio::buffer(withBody ? *body : kEmpty)};
    bool sent = co_await Write(buffers);
    // Errors are what a flood of requests gets: counted by status, a line a second for each.
    GroupedEnds* error = status == 400   ? &errors_.badRequest
                         : status == 404 ? &errors_.notFound
                         : status == 405 ? &errors_.notAllowed
                                         : nullptr;
    if (error)
        error->Add(PeerKey(), Peer());
    else if (logged_)
        WriteLogLine(LogTime(std::chrono::system_clock::now()) + " " + Peer() + port_ + " " +
                     request_ + " " + std::to_string(status) + (sent ? "" : " unsent"));
    if (sent)
        co_await CloseGracefully();
}
