// The tests' PostgreSQL server: a cluster of its own, as the user nobody.
#include "pg_server.h"

#include <filesystem>
#include <cstdlib>
#include <unistd.h>

namespace {

// The command as nobody (group nogroup, no other groups).
std::vector<std::string> as_nobody(std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    return argv;
}

std::string failed_step(const char *step, const ProcessResult &result)
{
    return std::string(step) + " ended with status " + std::to_string(result.status) + ": " + result.out +
           result.err;
}

}  // namespace

std::string pg_server_binaries()
{
    namespace fs = std::filesystem;
    std::string newest;
    std::error_code error;
    for (const fs::directory_entry &version : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string bin = version.path().string() + "/bin";
        if (fs::exists(bin + "/initdb") && fs::exists(bin + "/pg_ctl") && fs::exists(bin + "/psql") &&
            (newest.empty() || std::stoi(version.path().filename().string()) >
                                   std::stoi(fs::path(newest).parent_path().filename().string())))
            newest = bin;
    }
    return newest;
}

std::string pg_server_start(PgServer &server)
{
    server.bin = pg_server_binaries();
    if (server.bin.empty())
        return "no PostgreSQL server is installed (/usr/lib/postgresql/*/bin/initdb)";
    // The socket's path must stay short: a folder directly in /tmp.
    char folder[] = "/tmp/quorvel-pg-XXXXXX";
    if (!mkdtemp(folder))
        return "cannot make a folder in /tmp";
    server.dir = folder;
    if (chown(folder, 65534, 65534) != 0)
        return "cannot give " + server.dir + " to nobody";
    ProcessResult made = run_process(as_nobody({server.bin + "/initdb", "-D", server.dir + "/data", "-U", "quorvel",
                                                "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"}));
    if (made.status != 0)
        return failed_step("initdb", made);
    return pg_server_restart(server);
}

std::string pg_server_restart(PgServer &server)
{
    // No TCP (listen_addresses empty), the socket in the cluster's folder,
    // no fsync: a cluster that lives as long as the test.
    ProcessResult started = run_process(
        as_nobody({server.bin + "/pg_ctl", "-D", server.dir + "/data", "-l", server.dir + "/server.log", "-w", "-t",
                   "60", "-o", "-k " + server.dir + " -c listen_addresses= -F", "start"}));
    if (started.status != 0)
        return failed_step("pg_ctl start", started) + read_whole_file(server.dir + "/server.log");
    server.running = true;
    return "";
}

void pg_server_stop(PgServer &server, const char *mode)
{
    if (!server.running)
        return;
    run_process(as_nobody({server.bin + "/pg_ctl", "-D", server.dir + "/data", "-m", mode, "-w", "stop"}));
    server.running = false;
}

void pg_server_remove(PgServer &server)
{
    pg_server_stop(server, "immediate");
    if (!server.dir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(server.dir, error);
        server.dir.clear();
    }
}

std::string pg_url(const PgServer &server, const std::string &parameters)
{
    return "postgresql://quorvel@/postgres?host=" + server.dir + (parameters.empty() ? "" : "&" + parameters);
}

ProcessResult pg_sql(const PgServer &server, const std::string &sql)
{
    return run_process({server.bin + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", server.dir,
                        "-U", "quorvel", "-d", "postgres", "-c", sql});
}
