// PostgreSQL, for what stations on several computers share: a counter's
// values from a sequence, a list's lines from a table, the log's rows.
//
// A postgresql:// URL is libpq's own, plus quorvel's parameters
// (sequence=NAME, table=NAME), which are taken out before libpq sees it.
// On Linux libpq (libpq.so.5) is loaded when the first URL is used, so that
// a run without a database does not pay for loading it; the Windows build
// has no libpq and refuses every URL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum DatabaseErrorKind {
    DATABASE_OK = 0,
    DATABASE_BAD_URL,      // not a URL that quorvel can use: a parameter missing, twice or empty
    DATABASE_NOT_BUILT,    // this build has no PostgreSQL (Windows)
    DATABASE_NO_LIBPQ,     // libpq.so.5 cannot be loaded
    DATABASE_UNREACHABLE,  // no connection: the server, the user or the database
    DATABASE_REFUSED,      // the server refused a statement (no such sequence, no right to it, ...)
    DATABASE_LIST_EMPTY,   // every line of the list table is taken
};

// A failure as a value: the kind that code decides on, and its message
// (one line, no "quorvel:" before it: the caller says what it was doing).
struct DatabaseError {
    DatabaseErrorKind kind = DATABASE_OK;
    std::string message;
};

// A URL taken apart: what libpq gets, and quorvel's parameters.
struct DatabaseUrl {
    std::string conninfo;  // the URL without sequence= and table=, for libpq
    std::string shown;     // the URL as messages show it: any password replaced by ***
    std::string sequence;  // sequence=, "" when not given
    std::string table;     // table=, "" when not given
};

// 1 when `text` is a URL of a database (postgresql:// or postgres://), for
// the options that take a file or a URL.
int is_database_url(std::string_view text);

// Takes the URL apart; `needs` names the parameter that the option needs
// ("sequence" or "table"; null for none), which must then be there.
DatabaseError database_url_parse(std::string_view text, const char *needs, DatabaseUrl &url);

// The connections of one run: one for the log, one for the values stamped.
enum DatabaseUse {
    DATABASE_FOR_LOG,
    DATABASE_FOR_STAMP,
};

// Connects (DATABASE_UNREACHABLE, with libpq's reason, when it cannot).
// A connection that was lost is made again by the calls below.
DatabaseError database_connect(DatabaseUse use, const DatabaseUrl &url);

// Closes the connection, if any.
void database_close(DatabaseUse use);

// The log: creates the table when missing (the line as jsonb; its time,
// serial, location, result and stamp as columns), then checks that a row
// may be inserted.
DatabaseError database_log_prepare();

// Inserts the line (one JSON object) as a row, committed when it returns
// DATABASE_OK; tried again on a new connection when the old one was lost.
DatabaseError database_log_insert(std::string_view line);

// The counter: makes the sequence when it is missing (starting at `start`,
// stepping by `step`; one that is there keeps its own), then checks that
// its values may be taken, without taking one.
DatabaseError database_sequence_prepare(int64_t start, int64_t step);

// Checks that the sequence is there and that its values may be taken.
DatabaseError database_sequence_check();

// The value that the next nextval() would give, without taking it; `found`
// 0 when there is no such sequence yet.
DatabaseError database_sequence_peek(int64_t &value, int &found);

// The counter's next value, nextval() of the sequence: no two calls, in
// any session, are ever given the same value.
DatabaseError database_sequence_next(int64_t &value);

// The list: creates the table when missing and fills it with `lines` when
// it is empty (the first station to start fills it; once filled, the table
// is the list); `left` gets how many lines are not taken yet.
DatabaseError database_list_prepare(const std::vector<std::string> &lines, int64_t &left);

// The line that the next claim would take, without taking it; `found` 0
// when the table is missing or empty (not filled yet), DATABASE_LIST_EMPTY
// when every line is taken.
DatabaseError database_list_peek(std::string &value, int &found);

// Claims the first line not taken yet, in one transaction that marks it
// taken (rows locked by another station at that moment are skipped):
// DATABASE_LIST_EMPTY when every line is taken.
DatabaseError database_list_claim(std::string &value);
