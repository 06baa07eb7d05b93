#pragma once
// One HTTP/1.1 request on the information page port: GET or HEAD of a catalogue page, 404 for any
// other path, 405 for other methods, 400 for a malformed head (a line ending in a bare LF
// included); the connection always closes.
#include "Connection.h"

#include <map>
#include <memory>
#include <string>

using PageMap = std::map<std::string, std::shared_ptr<const std::string>>;

class PageSession : public Connection {
public:
    static constexpr size_t kMaxHead = 16 * 1024;

    PageSession(asio::ip::tcp::socket socket, std::shared_ptr<const PageMap> pages,
                std::chrono::milliseconds stepLimit, ConnectionRegistry& registry);
    static void Launch(std::shared_ptr<PageSession> session);

private:
    asio::awaitable<void> Serve() override;
    asio::awaitable<void> Respond(int status, const char* reason, const std::string* body,
                                  bool withBody, const std::string& extraHeaders = "");

    std::shared_ptr<const PageMap> pages_;
    std::string request_ = "-";
};
