// -stamp-state=postgresql://...: a counter's values from a sequence
// (?sequence=NAME, nextval), a list's from a table (?table=NAME) that the
// first run fills from the list file and every run then claims row by row.
// What makes no value be given twice is the server's: nextval never gives
// a value twice, and a row is claimed by an UPDATE that commits before the
// value is used.
#include "stamp/stamp_database.h"

#include "database/postgres.h"
#include "output/text.h"
#include "stamp/stamp_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

bool connected = false;
std::string shown;  // the URL without its password, for messages

const char *needed(const StampSettings &settings)
{
    return settings.source == STAMP_FROM_LIST ? "table" : "sequence";
}

// What to do about a failure of this kind.
const char *what_to_do(DatabaseErrorKind kind, const StampSettings &settings)
{
    switch (kind) {
    case DATABASE_BAD_URL:
        return settings.source == STAMP_FROM_LIST
                   ? "Give the list's table as in -stamp-state=postgresql://USER@HOST/DATABASE?table=NAME"
                   : "Give the counter's sequence as in -stamp-state=postgresql://USER@HOST/DATABASE?sequence=NAME";
    case DATABASE_NOT_BUILT:
    case DATABASE_NO_LIBPQ:
        return "Or give -stamp-state= a file";
    case DATABASE_UNREACHABLE:
        return "Check that the server runs and that the URL names it, the user and the database";
    case DATABASE_LIST_EMPTY:
        return "Add rows to the table (position, value), or give a new table";
    case DATABASE_OK:
    case DATABASE_REFUSED:
        break;
    }
    return settings.source == STAMP_FROM_LIST ? "Check the table's name and what the user may do with it"
                                              : "Check the sequence's name and what the user may do with it";
}

// `nothing`: "Nothing was written" before any board, or "Nothing was
// written to the board" for a board's value.
Failure database_failure(const StampSettings &settings, const DatabaseError &error, const char *nothing)
{
    if (error.kind == DATABASE_LIST_EMPTY)
        return failure(FAILURE_STAMP, "quorvel: the stamp list in %s has run out: %s\n%s. %s\n",
                       printable(shown).c_str(), printable(error.message).c_str(), nothing,
                       what_to_do(error.kind, settings));
    return failure(FAILURE_STAMP, "quorvel: cannot take stamp values from %s: %s\n%s. %s\n",
                   printable(shown).c_str(), printable(error.message).c_str(), nothing,
                   what_to_do(error.kind, settings));
}

// Connects once per run; a connection lost since is made again by each call.
DatabaseError connect_once(const StampSettings &settings)
{
    if (connected)
        return DatabaseError{};
    DatabaseUrl url;
    DatabaseError error = database_url_parse(settings.state, needed(settings), url);
    shown = url.shown.empty() ? settings.state : url.shown;
    if (!error.kind)
        error = database_connect(DATABASE_FOR_STAMP, url);
    connected = error.kind == DATABASE_OK;
    return error;
}

// The list file's values, as a state file's list reads them.
Failure read_list(const StampSettings &settings, std::vector<std::string> &values)
{
    FILE *file = std::fopen(settings.list_path, "rb");
    if (!file)
        return failure(FAILURE_STAMP,
                       "quorvel: cannot read the stamp list %s: %s\nNothing was written. Give -stamp-list= a file "
                       "of values, one a line\n",
                       printable(settings.list_path).c_str(), std::strerror(errno));
    std::string text;
    char buffer[16384];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    const bool broken = std::ferror(file);
    std::fclose(file);
    if (broken)
        return failure(FAILURE_STAMP, "quorvel: cannot read the stamp list %s: a read failed\nNothing was written\n",
                       printable(settings.list_path).c_str());
    values = stamp_list_values(text);
    return Failure{};
}

constexpr uint64_t LARGEST = uint64_t(std::numeric_limits<int64_t>::max());

}  // namespace

Failure stamp_database_check(const StampSettings &settings)
{
    DatabaseError error = connect_once(settings);
    if (!error.kind && settings.source == STAMP_FROM_COUNTER) {
        // A sequence counts in signed 64 bits.
        if (settings.start > LARGEST || settings.step > LARGEST)
            return failure(FAILURE_STAMP,
                           "quorvel: -stamp-from= starts or steps past %llu, the largest value of a PostgreSQL "
                           "sequence\nNothing was written. Give a smaller -stamp-from=\n",
                           (unsigned long long)LARGEST);
        error = database_sequence_prepare(int64_t(settings.start), int64_t(settings.step));
    } else if (!error.kind) {
        std::vector<std::string> values;
        if (Failure unread = read_list(settings, values); failed(unread))
            return unread;
        int64_t left = 0;
        error = database_list_prepare(values, left);
        if (!error.kind && left == 0)
            error = DatabaseError{DATABASE_LIST_EMPTY, "no value is left to take"};
    }
    return error.kind ? database_failure(settings, error, "Nothing was written") : Failure{};
}

Failure stamp_database_take(const StampSettings &settings, StampValue *out)
{
    DatabaseError error = connect_once(settings);
    if (!error.kind && settings.source == STAMP_FROM_COUNTER) {
        int64_t number = 0;
        error = database_sequence_next(number);
        if (!error.kind && number < 0)
            error = DatabaseError{DATABASE_REFUSED, "the sequence gave " + std::to_string(number) +
                                                        ", and a counter's values are 0 or more"};
        if (!error.kind)
            *out = StampValue{std::to_string(number), 1, uint64_t(number)};
    } else if (!error.kind) {
        std::string value;
        error = database_list_claim(value);
        if (!error.kind)
            *out = StampValue{value, 0, 0};
    }
    return error.kind ? database_failure(settings, error, "Nothing was written to the board") : Failure{};
}

Failure stamp_database_peek(const StampSettings &settings, StampValue *out)
{
    DatabaseError error = connect_once(settings);
    int found = 0;
    if (!error.kind && settings.source == STAMP_FROM_COUNTER) {
        int64_t number = 0;
        error = database_sequence_peek(number, found);
        // No sequence yet: the first run makes it, starting at -stamp-from=.
        if (!error.kind)
            *out = found ? StampValue{std::to_string(number), 1, uint64_t(number)}
                         : StampValue{std::to_string(settings.start), 1, settings.start};
    } else if (!error.kind) {
        std::string value;
        error = database_list_peek(value, found);
        if (!error.kind && found)
            *out = StampValue{value, 0, 0};
        // No table yet: the first run fills it from the list file.
        if (!error.kind && !found) {
            std::vector<std::string> values;
            if (Failure unread = read_list(settings, values); failed(unread))
                return unread;
            if (values.empty())
                error = DatabaseError{DATABASE_LIST_EMPTY, "the list " + std::string(settings.list_path) +
                                                               " holds no value"};
            else
                *out = StampValue{values[0], 0, 0};
        }
    }
    return error.kind ? database_failure(settings, error, "Nothing was written") : Failure{};
}
