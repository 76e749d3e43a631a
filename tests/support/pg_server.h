// A throwaway PostgreSQL server for the tests: Debian's postgresql binaries
// (initdb, pg_ctl), a cluster in a temporary folder, reached only through a
// Unix socket in that folder (no TCP), run as the user nobody (the server
// refuses to run as root). Trust authentication for the user quorvel.
#pragma once

#include "test_support.h"

#include <string>

struct PgServer {
    std::string bin;      // the folder of initdb, pg_ctl and psql; "" when none is installed
    std::string dir;      // the cluster's folder, also the socket's
    bool running = false;
};

// The folder of the newest installed server's binaries, "" when there is none.
std::string pg_server_binaries();

// Makes the cluster and starts the server; "" when it runs, else what went wrong.
std::string pg_server_start(PgServer &server);

// Stops the server (`mode`: pg_ctl's fast or immediate); the cluster stays.
void pg_server_stop(PgServer &server, const char *mode = "fast");

// Starts a stopped server again on the same cluster; "" when it runs.
std::string pg_server_restart(PgServer &server);

// Stops the server and removes the cluster.
void pg_server_remove(PgServer &server);

// The URL of the database postgres as the user quorvel, with these
// parameters after the socket's folder ("table=boards").
std::string pg_url(const PgServer &server, const std::string &parameters = "");

// Runs SQL through psql (unaligned, tuples only): its output, lines of
// fields separated by |.
ProcessResult pg_sql(const PgServer &server, const std::string &sql);
