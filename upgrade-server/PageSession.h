#pragma once
// One HTTP/1.1 request on the information page port: GET or HEAD of a catalogue page or of the
// service endpoints (/healthz: "ok generation N"; /metrics: the counters in the Prometheus text
// format), 404 for any other path, 405 for other methods, 400 for a malformed head (a line ending
// in a bare LF included); the connection always closes.
#include "Connection.h"
#include "ServerContext.h"

#include <memory>
#include <string>

class PageSession : public Connection {
public:
    static constexpr size_t kMaxHead = size_t{16} * 1024;

    // The pages come from the catalogue generation served when the connection was accepted.
    PageSession(asio::ip::tcp::socket socket, std::shared_ptr<const ServerContext> context,
                ConnectionRegistry& registry);
    static void Launch(std::shared_ptr<PageSession> session);

private:
    asio::awaitable<void> Serve() override;
    // A service endpoint's answer (a load balancer's health check, a metrics scrape); false for
    // any other path.
    bool ServiceEndpoint(const std::string& path, std::string& body, std::string& type) const;
    asio::awaitable<void> Respond(int status, const char* reason, const std::string* body,
                                  bool withBody, const std::string& extraHeaders = "",
                                  const char* type = "text/html; charset=utf-8");

    std::shared_ptr<const ServerContext> context_;
    // Service endpoints are polled every few seconds: they are answered without a log line.
    bool logged_ = true;
    std::string request_ = "-";
};
