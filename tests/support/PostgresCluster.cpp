#include "PostgresCluster.h"

#include "ChildProcess.h"

#include <libpq-fe.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Debian's PostgreSQL 15 (the postgresql package).
const std::string kBin = "/usr/lib/postgresql/15/bin/";
// The cluster's superuser, whoever runs the server.
const std::string kSuperuser = "kestrel";
// Starting and stopping a cluster takes a second or two; a busy machine may take far longer.
constexpr auto kLimit = std::chrono::seconds(120);
} // namespace

TPostgresCluster::TPostgresCluster(bool durable) : durable_(durable) {
    if (access((kBin + "initdb").c_str(), X_OK) != 0)
        throw std::runtime_error("PostgreSQL 15 is not installed (no " + kBin +
                                 "initdb): scripts/setup installs Debian's postgresql");
    if (geteuid() == 0) {
        const passwd* account = getpwnam("postgres");
        if (account == nullptr)
            throw std::runtime_error("there is no user postgres to run PostgreSQL as (the "
                                     "postgresql package makes it; scripts/setup installs it)");
        user_ = "postgres";
        if (chown(dir_.Path().c_str(), account->pw_uid, account->pw_gid) != 0)
            throw std::runtime_error("cannot give " + dir_.Path() + " to the user postgres");
    }
    // The watchdog: a shell that waits for the end of a pipe whose other end only this process
    // holds (close-on-exec), then stops the cluster at once and removes its folder.
    const std::string stop = (user_.empty() ? "" : "/usr/sbin/runuser -u " + user_ + " -- ") +
                             kBin + "pg_ctl stop -D " + dir_ / "data" + " -m immediate";
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::string script = "read -r _; " + stop + " >/dev/null 2>&1; rm -rf " + dir_.Path();
    watchdog_ = fork();
    if (watchdog_ < 0)
        throw std::runtime_error("fork failed");
    if (watchdog_ == 0) {
        // A session of its own: what ends the test's process group leaves it to clean up.
        setsid();
        dup2(ends[0], 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close_range(3, ~0U, 0);
        execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
        _exit(127);
    }
    close(ends[0]);
    watchdogPipe_ = ends[1];

    Run("initdb", {"-D", dir_ / "data", "-U", kSuperuser, "-A", "trust", "-E", "UTF8",
                   "--no-locale", "--no-sync"});
    Start();
}

TPostgresCluster::~TPostgresCluster() {
    if (running_) {
        try {
            Run("pg_ctl", {"stop", "-D", dir_ / "data", "-m", "immediate", "-w"});
        } catch (const std::exception& e) {
            // The watchdog tries once more.
            std::fprintf(stderr, "%s\n", e.what());
        }
    }
    close(watchdogPipe_);
    waitpid(watchdog_, nullptr, 0);
}

void TPostgresCluster::Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (!user_.empty())
        argv = {"/usr/sbin/runuser", "-u", user_, "--"};
    // From the cluster's folder: the test's working folder may be closed to that user.
    argv.insert(argv.end(), {"/usr/bin/env", "-C", dir_.Path(), kBin + program});
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, {}, true);
    TRun run = Finish(child, kLimit);
    if (run.status != 0)
        throw std::runtime_error(program + " failed (status " + std::to_string(run.status) +
                                 "): " + run.out + run.err + ReadFileBytes(dir_ / "server.log"));
}

void TPostgresCluster::Start() {
    // A socket in the folder, no TCP.
    std::string options = "-k " + dir_.Path() + " -h ''";
    if (!durable_)
        options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
    Run("pg_ctl", {"start", "-D", dir_ / "data", "-l", dir_ / "server.log", "-o", options, "-w",
                   "-t", "120"});
    running_ = true;
}

void TPostgresCluster::Stop() {
    Run("pg_ctl", {"stop", "-D", dir_ / "data", "-m", "fast", "-w", "-t", "120"});
    running_ = false;
}

std::string TPostgresCluster::NewDatabase(const std::string& name) {
    const std::string uri = "postgresql:///postgres?host=" + dir_.Path() + "&user=" + kSuperuser;
    Query(uri, "CREATE DATABASE " + name);
    return "postgresql:///" + name + "?host=" + dir_.Path() + "&user=" + kSuperuser;
}

std::string TPostgresCluster::Query(const std::string& uri, const std::string& sql) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri.c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(uri + ": " + PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    auto status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    if (PQntuples(result.get()) == 0)
        return "";
    return PQgetvalue(result.get(), 0, 0);
}
