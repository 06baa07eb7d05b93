#pragma once
// One request on the dashboard's port (--admin-port): GET or HEAD of the dashboard's page, its
// style sheet, script and icon (compiled in: nothing is fetched from elsewhere), or of its JSON
// (Dashboard); 404 for any other path. Every answer carries a Content-Security-Policy that lets
// the page load only from this port. The page polls: its requests are not logged (errors are
// counted, as on the page port).
#include "Dashboard.h"
#include "HttpConnection.h"

#include <memory>

class AdminSession : public HttpConnection {
public:
    AdminSession(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
                 const std::shared_ptr<GroupedLines>& grouped, std::shared_ptr<Dashboard> dashboard,
                 ConnectionRegistry& registry);
    static void Launch(std::shared_ptr<AdminSession> session);

private:
    asio::awaitable<void> Serve() override;

    std::shared_ptr<Dashboard> dashboard_;
};

// A file of the dashboard (upgrade-server/dashboard/, compiled in by DashboardFiles.cmake).
struct DashboardFile {
    std::string_view path; // where it is served: "/", "/dashboard.js", ...
    std::string_view type; // its Content-Type
    std::string_view body;
};
// The file served at `path`, or null.
const DashboardFile* FindDashboardFile(std::string_view path);
