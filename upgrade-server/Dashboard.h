#pragma once
// The dashboard's data: the JSON answers of /api/releases, /api/summary, /api/sessions and
// /api/devices, read from a register connection of the dashboard's own (opened by the server's
// --register URI) on a thread of its own. The register serves one thread at a time, and a query
// may take a while on a large fleet: neither the sessions' threads nor the writer wait for it.
// Without a register every answer is empty, with a note that says why.
#include "Register.h"

#include <asio.hpp>

#include <memory>
#include <string>

class Dashboard {
public:
    // At most this many rows in one answer: a page of devices, the sessions since a time.
    static constexpr uint64_t kMaxRows = 1000;
    // The sessions that did not end well that /api/sessions lists.
    static constexpr uint64_t kFailedSessions = 50;

    // `registerUri` as --register names it ("none": no register).
    explicit Dashboard(const std::string& registerUri);
    ~Dashboard();
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    struct Answer {
        int status = 200; // 400: a bad query; 404: no such path; 503: the register failed
        std::string body; // JSON
    };
    // The answer to GET `path`?`query` (undecoded), made on the dashboard's thread and handed
    // back to the caller's.
    asio::awaitable<Answer> Api(std::string path, std::string query);
    // Waits for the query under way and ends the dashboard's thread.
    void Stop();

private:
    static asio::awaitable<Answer> RunOnThread(Dashboard* self, std::string path,
                                               std::string query);
    Answer Run(const std::string& path, const std::string& query);
    // The register, opened when it is not (on the dashboard's thread only).
    Register& Store();

    const std::string uri_;
    std::unique_ptr<Register> store_;
    asio::thread_pool thread_{1};
};
