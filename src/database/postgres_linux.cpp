// PostgreSQL through libpq, loaded with dlopen when the first URL is used:
// linked in, its libraries (TLS, Kerberos, LDAP) would cost every run's
// start, most of which never see a database.
#include "database/postgres.h"

#include <dlfcn.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

namespace {

// The libpq functions used, found in libpq.so.5 once.
struct Libpq {
    bool tried;
    std::string problem;  // why it could not be loaded, "" when it was
    decltype(&PQconnectdb) connectdb;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQfinish) finish;
    decltype(&PQreset) reset;
    decltype(&PQexec) exec;
    decltype(&PQexecParams) exec_params;
    decltype(&PQresultStatus) result_status;
    decltype(&PQresultErrorMessage) result_error_message;
    decltype(&PQresultErrorField) result_error_field;
    decltype(&PQntuples) ntuples;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQclear) clear;
    decltype(&PQescapeIdentifier) escape_identifier;
    decltype(&PQfreemem) freemem;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
} libpq;

template <typename Function>
int find(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function)
        libpq.problem = std::string("libpq.so.5 has no ") + name;
    return function != nullptr;
}

int load_libpq()
{
    if (libpq.tried)
        return libpq.problem.empty();
    libpq.tried = true;
    void *library = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        libpq.problem = why ? why : "libpq.so.5 cannot be loaded";
        return 0;
    }
    return find(library, "PQconnectdb", libpq.connectdb) && find(library, "PQstatus", libpq.status) &&
           find(library, "PQerrorMessage", libpq.error_message) && find(library, "PQfinish", libpq.finish) &&
           find(library, "PQreset", libpq.reset) && find(library, "PQexec", libpq.exec) &&
           find(library, "PQexecParams", libpq.exec_params) &&
           find(library, "PQresultStatus", libpq.result_status) &&
           find(library, "PQresultErrorMessage", libpq.result_error_message) &&
           find(library, "PQresultErrorField", libpq.result_error_field) &&
           find(library, "PQntuples", libpq.ntuples) && find(library, "PQgetvalue", libpq.getvalue) &&
           find(library, "PQclear", libpq.clear) && find(library, "PQescapeIdentifier", libpq.escape_identifier) &&
           find(library, "PQfreemem", libpq.freemem) &&
           find(library, "PQsetNoticeProcessor", libpq.set_notice_processor);
}

struct Connection {
    PGconn *connection;
    DatabaseUrl url;
    std::string table;     // the quoted identifier of table=
    std::string sequence;  // the quoted identifier of sequence=
};
Connection connections[2];

// libpq's message in one line, without its "ERROR:  " and final newline.
std::string one_line(const char *message)
{
    std::string text = message ? message : "";
    if (text.compare(0, 8, "ERROR:  ") == 0)
        text.erase(0, 8);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (char &c : text)
        if (c == '\n' || c == '\t')
            c = ' ';
    return text.empty() ? "no reason given" : text;
}

// Server notices ("relation already exists, skipping") are not for people at a station.
void ignore_notice(void *, const char *)
{
}

std::string quoted(PGconn *connection, const std::string &name)
{
    char *escaped = libpq.escape_identifier(connection, name.data(), name.size());
    if (!escaped)
        return "";
    std::string text = escaped;
    libpq.freemem(escaped);
    return text;
}

DatabaseError unreachable(const Connection &c)
{
    return DatabaseError{DATABASE_UNREACHABLE, one_line(libpq.error_message(c.connection))};
}

// A connection that works: made again when it was lost.
DatabaseError usable(Connection &c)
{
    if (!c.connection)
        return DatabaseError{DATABASE_UNREACHABLE, "no connection to the database"};
    if (libpq.status(c.connection) != CONNECTION_OK)
        libpq.reset(c.connection);
    if (libpq.status(c.connection) != CONNECTION_OK)
        return unreachable(c);
    return DatabaseError{};
}

// Did the statement fail because the connection went away (libpq's own
// error, with no SQLSTATE, or a connection or shutdown error)?
int connection_lost(const Connection &c, PGresult *result)
{
    if (libpq.status(c.connection) != CONNECTION_OK || !result)
        return 1;
    const char *state = libpq.result_error_field(result, PG_DIAG_SQLSTATE);
    return !state || std::strncmp(state, "08", 2) == 0 || std::strncmp(state, "57P", 3) == 0;
}

// One statement; its first value in `value` when it returns rows (`rows`
// gets how many). A statement on its own is its own transaction: when the
// connection turns out to be gone (a server restarted since: libpq only
// finds out when it is used), it is made again and the statement tried
// once more, unless `alone` is 0 (a statement inside BEGIN ... COMMIT).
DatabaseError run(Connection &c, const std::string &statement, const std::vector<std::string> &parameters,
                  std::string *value = nullptr, int *rows = nullptr, int alone = 1)
{
    std::vector<const char *> values;
    for (const std::string &parameter : parameters)
        values.push_back(parameter.c_str());
    DatabaseError error;
    for (int attempt = 0; attempt < (alone ? 2 : 1); ++attempt) {
        error = usable(c);
        if (error.kind)
            return error;
        PGresult *result = libpq.exec_params(c.connection, statement.c_str(), int(values.size()), nullptr,
                                             values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = result ? libpq.result_status(result) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            const int count = status == PGRES_TUPLES_OK ? libpq.ntuples(result) : 0;
            if (rows)
                *rows = count;
            if (value && count > 0)
                *value = libpq.getvalue(result, 0, 0);
            libpq.clear(result);
            return DatabaseError{};
        }
        const int lost = connection_lost(c, result);
        error = DatabaseError{lost ? DATABASE_UNREACHABLE : DATABASE_REFUSED,
                              (lost ? "the connection was lost: " : "") +
                                  one_line(result ? libpq.result_error_message(result)
                                                  : libpq.error_message(c.connection))};
        if (result)
            libpq.clear(result);
        if (!lost)
            break;
        libpq.reset(c.connection);
    }
    return error;
}

// Creates the table when it is not there. Asked first, so that a user who
// may not create tables can use one made for it; two stations creating it
// at the same moment: one of them may fail on the catalog's unique index,
// and finds the table there when it asks again.
DatabaseError create_table(Connection &c, const std::string &columns)
{
    DatabaseError error;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string found;
        error = run(c, "SELECT to_regclass($1) IS NOT NULL", {c.table}, &found);
        if (error.kind || found == "t")
            return error;
        error = run(c, "CREATE TABLE IF NOT EXISTS " + c.table + " (" + columns + ")", {});
        if (!error.kind)
            return error;
    }
    return error;
}

}  // namespace

DatabaseError database_connect(DatabaseUse use, const DatabaseUrl &url)
{
    Connection &c = connections[use];
    database_close(use);
    c.url = url;
    if (!load_libpq())
        return DatabaseError{DATABASE_NO_LIBPQ, "cannot load libpq, the PostgreSQL client library (" +
                                                    libpq.problem + "): install libpq5"};
    c.connection = libpq.connectdb(url.conninfo.c_str());
    if (!c.connection)
        return DatabaseError{DATABASE_UNREACHABLE, "out of memory"};
    if (libpq.status(c.connection) != CONNECTION_OK)
        return unreachable(c);
    libpq.set_notice_processor(c.connection, ignore_notice, nullptr);
    c.table = url.table.empty() ? "" : quoted(c.connection, url.table);
    c.sequence = url.sequence.empty() ? "" : quoted(c.connection, url.sequence);
    return DatabaseError{};
}

void database_close(DatabaseUse use)
{
    Connection &c = connections[use];
    if (c.connection)
        libpq.finish(c.connection);
    c.connection = nullptr;
}

DatabaseError database_log_prepare()
{
    Connection &c = connections[DATABASE_FOR_LOG];
    DatabaseError error = create_table(c, "id bigserial PRIMARY KEY, \"time\" timestamptz NOT NULL, serial text, "
                                          "location text, result text, stamp text, line jsonb NOT NULL");
    if (error.kind)
        return error;
    // May rows be inserted? Asked of the server, not tried: a row tried
    // would stay in the log.
    std::string allowed;
    error = run(c, "SELECT has_table_privilege($1, 'INSERT')", {c.table}, &allowed);
    if (!error.kind && allowed != "t")
        error = DatabaseError{DATABASE_REFUSED, "the user may not insert rows into " + c.url.table +
                                                    " (GRANT INSERT on it, and USAGE on its id's sequence)"};
    return error;
}

DatabaseError database_log_insert(std::string_view line)
{
    Connection &c = connections[DATABASE_FOR_LOG];
    // The columns are taken from the line itself, by the server: the row
    // holds what the file form would hold, and the columns agree with it.
    return run(c,
               "INSERT INTO " + c.table +
                   " (\"time\", serial, location, result, stamp, line) SELECT (l->>'time')::timestamptz, "
                   "l->>'serial', l->>'location', l->>'result', l->>'stamp', l FROM (SELECT $1::jsonb AS l) AS s",
               {std::string(line)});
}

DatabaseError database_sequence_check()
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    std::string allowed;
    DatabaseError error = run(c, "SELECT has_sequence_privilege($1, 'USAGE, UPDATE')", {c.sequence}, &allowed);
    if (!error.kind && allowed != "t")
        error = DatabaseError{DATABASE_REFUSED, "the user may not take values of the sequence " + c.url.sequence +
                                                    " (GRANT USAGE on it)"};
    return error;
}

DatabaseError database_sequence_prepare(int64_t start, int64_t step)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    DatabaseError error;
    // Asked first, so that a user who may not create one can use one made for it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string found;
        error = run(c, "SELECT to_regclass($1) IS NOT NULL", {c.sequence}, &found);
        if (error.kind || found == "t")
            break;
        error = run(c, "CREATE SEQUENCE IF NOT EXISTS " + c.sequence + " AS bigint START " + std::to_string(start) +
                           " MINVALUE 0 INCREMENT " + std::to_string(step), {});
        if (!error.kind)
            break;
    }
    return error.kind ? error : database_sequence_check();
}

DatabaseError database_sequence_peek(int64_t &value, int &found)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    std::string exists;
    DatabaseError error = run(c, "SELECT to_regclass($1) IS NOT NULL", {c.sequence}, &exists);
    found = exists == "t";
    if (error.kind || !found)
        return error;
    std::string text;
    // From pg_sequences, which shows the last value to a user who may use
    // the sequence (selecting from the sequence itself needs more).
    error = run(c,
                "SELECT coalesce(last_value + increment_by, start_value) FROM pg_sequences WHERE "
                "format('%I.%I', schemaname, sequencename)::regclass = $1::regclass",
                {c.sequence}, &text);
    if (!error.kind)
        value = std::strtoll(text.c_str(), nullptr, 10);
    return error;
}

DatabaseError database_sequence_next(int64_t &value)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    std::string text;
    DatabaseError error = run(c, "SELECT nextval($1::regclass)", {c.sequence}, &text);
    if (!error.kind)
        value = std::strtoll(text.c_str(), nullptr, 10);
    return error;
}

DatabaseError database_list_prepare(const std::vector<std::string> &lines, int64_t &left)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    DatabaseError error = create_table(c, "position bigint PRIMARY KEY, value text NOT NULL, taken timestamptz");
    if (error.kind)
        return error;
    // Filled in one transaction, under a lock that a second station starting
    // at the same moment waits for: it then finds the table filled.
    // $1 as a text[] literal: each value quoted, \ and " escaped.
    std::string array = "{";
    for (const std::string &line : lines) {
        array += array.size() > 1 ? ",\"" : "\"";
        for (char ch : line) {
            if (ch == '"' || ch == '\\')
                array += '\\';
            array += ch;
        }
        array += '"';
    }
    array += "}";
    // Several statements cannot take parameters: one by one, in one transaction.
    error = run(c, "BEGIN", {}, nullptr, nullptr, 0);
    if (!error.kind)
        error = run(c, "LOCK TABLE " + c.table + " IN SHARE ROW EXCLUSIVE MODE", {}, nullptr, nullptr, 0);
    if (!error.kind)
        error = run(c,
                    "INSERT INTO " + c.table +
                        " (position, value) SELECT p, v FROM unnest($1::text[]) WITH ORDINALITY AS u(v, p) "
                        "WHERE NOT EXISTS (SELECT FROM " + c.table + ")",
                    {array}, nullptr, nullptr, 0);
    if (!error.kind)
        error = run(c, "COMMIT", {}, nullptr, nullptr, 0);
    else if (libpq.status(c.connection) == CONNECTION_OK)
        run(c, "ROLLBACK", {}, nullptr, nullptr, 0);
    if (error.kind)
        return error;
    std::string count;
    error = run(c, "SELECT count(*) FROM " + c.table + " WHERE taken IS NULL", {}, &count);
    if (!error.kind)
        left = std::strtoll(count.c_str(), nullptr, 10);
    return error;
}

DatabaseError database_list_peek(std::string &value, int &found)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    std::string exists;
    DatabaseError error = run(c, "SELECT to_regclass($1) IS NOT NULL", {c.table}, &exists);
    found = 0;
    if (error.kind || exists != "t")
        return error;
    error = run(c, "SELECT value FROM " + c.table + " WHERE taken IS NULL ORDER BY position LIMIT 1", {}, &value,
                &found);
    if (error.kind || found)
        return error;
    std::string lines;
    error = run(c, "SELECT count(*) FROM " + c.table, {}, &lines);
    if (!error.kind && lines != "0")
        error = DatabaseError{DATABASE_LIST_EMPTY, "every one of its " + lines + " values was taken"};
    return error;
}

DatabaseError database_list_claim(std::string &value)
{
    Connection &c = connections[DATABASE_FOR_STAMP];
    // A line that another station is claiming at this moment is skipped;
    // when that leaves none, the claim is tried again while lines are left.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int rows = 0;
        DatabaseError error = run(c,
                                  "UPDATE " + c.table + " SET taken = now() WHERE position = (SELECT position FROM " +
                                      c.table +
                                      " WHERE taken IS NULL ORDER BY position LIMIT 1 FOR UPDATE SKIP LOCKED) "
                                      "RETURNING value",
                                  {}, &value, &rows);
        if (error.kind || rows == 1)
            return error;
        std::string left;
        error = run(c, "SELECT count(*) FROM " + c.table + " WHERE taken IS NULL", {}, &left);
        if (error.kind)
            return error;
        if (left == "0")
            break;
    }
    std::string lines;
    DatabaseError error = run(c, "SELECT count(*) FROM " + c.table, {}, &lines);
    return error.kind ? error : DatabaseError{DATABASE_LIST_EMPTY, "every one of its " + lines + " values was taken"};
}
