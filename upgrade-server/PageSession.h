#pragma once
// One request on the information page port: GET or HEAD of a catalogue page or of the service
// endpoints (/healthz: "ok generation N"; /metrics: the counters in the Prometheus text format),
// 404 for any other path (HttpConnection answers malformed requests and other methods).
#include "HttpConnection.h"
#include "ServerContext.h"

#include <memory>
#include <string>

class PageSession : public HttpConnection {
public:
    // The pages come from the catalogue generation served when the connection was accepted.
    PageSession(asio::ip::tcp::socket socket, std::shared_ptr<const ServerContext> context,
                ConnectionRegistry& registry);
    static void Launch(std::shared_ptr<PageSession> session);

private:
    asio::awaitable<void> Serve() override;
    // A service endpoint's answer (a load balancer's health check, a metrics scrape); false for
    // any other path.
    bool ServiceEndpoint(const std::string& path, std::string& body, std::string& type) const;

    std::shared_ptr<const ServerContext> context_;
};
