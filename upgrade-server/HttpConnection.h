#pragma once
// One HTTP/1.1 request on a connection of an HTTP port (the page port, the dashboard's port):
// the request head read line by line and checked, and the response written, after which the
// connection closes. A malformed head (a line ending in a bare LF included) or one over 16 KiB is
// answered 400, a method other than GET and HEAD 405; errors are counted in the port's grouped
// lines, other answers logged unless the port says otherwise.
#include "Connection.h"
#include "Log.h"

#include <memory>
#include <optional>
#include <string>

class HttpConnection : public Connection {
public:
    static constexpr size_t kMaxHead = size_t{16} * 1024;

protected:
    struct Request {
        std::string method; // GET or HEAD
        std::string path;   // the target up to its '?'
        std::string query;  // after the '?', undecoded ("" without one)
    };

    // `port` names the port in log lines (" http"); its errors are counted in `errors`, which
    // `grouped` holds. `headers` (each line ending in CR LF) go with every response.
    HttpConnection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                   ConnectionRegistry& registry, uint64_t generation,
                   std::shared_ptr<GroupedLines> grouped, HttpPortEnds& errors, std::string port,
                   std::string headers = "");

    // The request, or nothing once a malformed one was answered (or the connection failed).
    asio::awaitable<std::optional<Request>> ReadRequest();
    // Writes the response (the body only when `withBody`: not for HEAD), then closes.
    asio::awaitable<void> Respond(int status, const char* reason, const std::string* body,
                                  bool withBody, const std::string& extraHeaders = "",
                                  const char* type = "text/html; charset=utf-8");
    // Answers to requests that are polled every few seconds are not logged.
    void Unlogged() { logged_ = false; }

private:
    std::shared_ptr<GroupedLines> grouped_;
    HttpPortEnds& errors_;
    const std::string port_;
    const std::string headers_;
    bool logged_ = true;
    std::string request_ = "-";
};
