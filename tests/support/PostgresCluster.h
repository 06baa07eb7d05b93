#pragma once
// A throwaway PostgreSQL cluster for the tests and benchmarks of the PostgreSQL register:
// Debian's PostgreSQL 15 (initdb and pg_ctl), run as an unprivileged user (postgres when the test
// runs as root, which initdb refuses), its data and its socket in a temporary folder, no TCP. It
// is stopped and removed when the object goes, and by a watchdog process when the test process
// ends without that (a crash, a kill).
#include "TestFiles.h"

#include <string>
#include <sys/types.h>
#include <vector>

class TPostgresCluster {
public:
    // Made and started; throws std::runtime_error with what initdb or pg_ctl said. Unless
    // `durable`, it does not sync its writes to disk (a test's data need not survive a crash of
    // the machine, and syncs would make the tests slow on a busy disk).
    explicit TPostgresCluster(bool durable = false);
    ~TPostgresCluster();
    TPostgresCluster(const TPostgresCluster&) = delete;
    TPostgresCluster& operator=(const TPostgresCluster&) = delete;

    // Makes an empty database and returns its URI ("postgresql:///NAME?host=DIR&user=kestrel").
    std::string NewDatabase(const std::string& name);
    // The first column of the first row `sql` gives on the database of `uri` ("" when none);
    // throws std::runtime_error with PostgreSQL's message when it fails.
    static std::string Query(const std::string& uri, const std::string& sql);
    // Stops the server (fast: open connections are closed) and starts it again with the same
    // data; both wait until it is done and throw std::runtime_error when it fails.
    void Stop();
    void Start();

private:
    // A program of the server's, as the unprivileged user; its exit status must be 0.
    void Run(const std::string& program, const std::vector<std::string>& args);

    TempDir dir_;
    std::string user_; // runs the server: "postgres" when the test runs as root, else ""
    bool durable_;
    bool running_ = false;
    pid_t watchdog_ = -1;
    int watchdogPipe_ = -1; // its end closes when this process ends
};
