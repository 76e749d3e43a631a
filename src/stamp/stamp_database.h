// The stamp values kept in a PostgreSQL database: -stamp-state= names one
// by a URL that starts with "postgresql://", for stations on several
// computers, where a state file cannot be shared safely.
//
// What an implementation does (stamp_database_linux.cpp, through libpq;
// the one linked without PostgreSQL, stamp_database_none.cpp, refuses the
// URL):
//
// - stamp_database_check: before any board is touched, connects to the
//   database that settings.state names and makes sure that a value can be
//   taken there (the sequence or the table exists or can be made). A
//   failure (FAILURE_STAMP) when it cannot be reached or used: what is
//   wrong on the first line, what to do on the next.
// - stamp_database_take: takes the next value for one board, for good,
//   before the board's first report is sent: for a counter
//   (settings.source == STAMP_FROM_COUNTER) the sequence's nextval (no two
//   sessions are ever given the same value); for a list (STAMP_FROM_LIST)
//   the next unclaimed line, claimed in one committed transaction. `out`
//   gets the value (text, counted, number as StampValue says). The caller
//   checks that it fits the format. A failure (FAILURE_STAMP) when no value
//   can be taken (the database is gone, the list has run out).
// - stamp_database_peek: the value that the next take would give, without
//   taking it, for the dry run (-n). A failure as for a take.
//
// Each returns and never ends the process.
#pragma once

#include "output/failure.h"
#include "stamp/stamp_settings.h"

#include <cstring>

// 1 when `state` (a -stamp-state= value) names a database, not a file.
inline int stamp_state_is_database(const char *state)
{
    return state && (std::strncmp(state, "postgresql://", 13) == 0 || std::strncmp(state, "postgres://", 11) == 0);
}

Failure stamp_database_check(const StampSettings &settings);
Failure stamp_database_take(const StampSettings &settings, StampValue *out);
Failure stamp_database_peek(const StampSettings &settings, StampValue *out);
