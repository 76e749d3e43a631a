// postgresql:// URLs: what libpq gets (quorvel's parameters out, a time
// limit in), what messages show (no password), and the URLs refused.
#include "database/postgres.h"
#include "output/run_log.h"

#include <gtest/gtest.h>

namespace {

struct UrlCase {
    const char *label;
    const char *text;
    const char *needs;
    DatabaseErrorKind kind;
    const char *conninfo;  // when taken
    const char *shown;
    const char *sequence;
    const char *table;
    const char *message_part;  // when refused
};

const UrlCase URL_CASES[] = {
    {"sequence taken out, time limit added", "postgresql://qa@db.lan/factory?sequence=serials", "sequence",
     DATABASE_OK, "postgresql://qa@db.lan/factory?connect_timeout=10", "postgresql://qa@db.lan/factory?sequence=serials",
     "serials", "", ""},
    {"socket folder kept, table taken from between", "postgresql://qa@/factory?host=/run/pg&table=boards&sslmode=disable",
     "table", DATABASE_OK, "postgresql://qa@/factory?host=/run/pg&sslmode=disable&connect_timeout=10",
     "postgresql://qa@/factory?host=/run/pg&table=boards&sslmode=disable", "", "boards", ""},
    {"the user's own time limit kept", "postgres://h/d?connect_timeout=3&table=t", "table", DATABASE_OK,
     "postgres://h/d?connect_timeout=3", "postgres://h/d?connect_timeout=3&table=t", "", "t", ""},
    {"name percent-decoded, case kept", "postgresql://h/d?table=Board%20Log", "table", DATABASE_OK,
     "postgresql://h/d?connect_timeout=10", "postgresql://h/d?table=Board%20Log", "", "Board Log", ""},
    {"password hidden in the user part", "postgresql://qa:s3cret@db:5433/f?sequence=s", "sequence", DATABASE_OK,
     "postgresql://qa:s3cret@db:5433/f?connect_timeout=10", "postgresql://qa:***@db:5433/f?sequence=s", "s", "", ""},
    {"password= hidden", "postgresql://qa@db/f?password=s3cret&sequence=s", "sequence", DATABASE_OK,
     "postgresql://qa@db/f?password=s3cret&connect_timeout=10", "postgresql://qa@db/f?password=***&sequence=s", "s",
     "", ""},
    {"an @ after the host is no user part", "postgresql://db/f?table=t&application_name=a@b", "table", DATABASE_OK,
     "postgresql://db/f?application_name=a@b&connect_timeout=10", "postgresql://db/f?table=t&application_name=a@b", "",
     "t", ""},
    {"the needed name missing", "postgresql://db/f", "sequence", DATABASE_BAD_URL, "", "", "", "",
     "names no sequence (add ?sequence=NAME)"},
    {"the other option's name", "postgresql://db/f?sequence=s", "table", DATABASE_BAD_URL, "", "", "", "",
     "sequence= has no use here (give table=NAME)"},
    {"given twice", "postgresql://db/f?table=a&table=b", "table", DATABASE_BAD_URL, "", "", "", "", "given twice"},
    {"empty", "postgresql://db/f?table=", "table", DATABASE_BAD_URL, "", "", "", "", "table= is empty"},
    {"broken percent", "postgresql://db/f?table=a%2", "table", DATABASE_BAD_URL, "", "", "", "", "table= is empty or broken"},
    {"no value at all", "postgresql://db/f?table", "table", DATABASE_BAD_URL, "", "", "", "", "table= is empty"},
    {"not a database URL", "mysql://db/f?table=t", "table", DATABASE_BAD_URL, "", "", "", "", "not a PostgreSQL URL"},
};

TEST(DatabaseUrl, TakenApartOrRefused)
{
    for (const UrlCase &c : URL_CASES) {
        SCOPED_TRACE(c.label);
        DatabaseUrl url;
        const DatabaseError error = database_url_parse(c.text, c.needs, url);
        EXPECT_EQ(error.kind, c.kind) << error.message;
        if (c.kind == DATABASE_OK) {
            EXPECT_EQ(url.conninfo, c.conninfo);
            EXPECT_EQ(url.shown, c.shown);
            EXPECT_EQ(url.sequence, c.sequence);
            EXPECT_EQ(url.table, c.table);
        } else {
            EXPECT_NE(error.message.find(c.message_part), std::string::npos) << error.message;
        }
        // No message and no shown URL ever carries the password.
        EXPECT_EQ(url.shown.find("s3cret"), std::string::npos);
        EXPECT_EQ(error.message.find("s3cret"), std::string::npos);
    }
}

TEST(DatabaseUrl, WhatCountsAsADatabase)
{
    const struct {
        const char *text;
        int database;
    } cases[] = {
        {"postgresql://h/d", 1}, {"postgres://h/d", 1}, {"boards.log", 0}, {"./postgresql://x", 0},
        {"POSTGRESQL://h/d", 0}, {"postgresql:/h/d", 0}, {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_database_url(c.text), c.database) << c.text;
}

#ifdef _WIN32
// The Windows build has no libpq: a database log is refused when it is
// opened, before any board, saying what to do instead.
TEST(DatabaseUrl, RefusedByTheWindowsBuild)
{
    const Failure refused =
        run_log_open("postgresql://qa:s3cret@db/f?table=boards", LoggedFirmware{"app.hex", "", "", "atmega32u4", ""});
    EXPECT_EQ(refused.kind, FAILURE_LOG);
    EXPECT_EQ(refused.message, "quorvel: cannot open the log postgresql://qa:***@db/f?table=boards: quorvel for "
                               "Windows is built without PostgreSQL (libpq)\nNothing was written. Give a file for the "
                               "log, or log into the database from a station on Linux\n");
}
#endif

}  // namespace
