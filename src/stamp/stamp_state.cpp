// The counter and the list, and their state file.
#include "stamp/stamp_state.h"

#include "output/text.h"
#include "stamp/stamp_database.h"
#include "stamp/stamp_file.h"
#include "stamp/stamp_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The longest state file quorvel writes is a number and one value.
constexpr size_t LONGEST_STATE = 64 + 4 * 1024;

// One line of the file: its text up to "\n" or "\r\n" (required but for the
// last line), moving `at` past it.
std::string_view take_line(std::string_view text, size_t &at, bool &ended)
{
    const size_t end = text.find('\n', at);
    std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    ended = end != std::string_view::npos;
    at = ended ? end + 1 : text.size();
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

int read_decimal(std::string_view text, uint64_t &number)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    return stamp_read_number(text, number);
}

Failure state_failure(const std::string &place, const char *why, const char *what_to_do)
{
    return failure(FAILURE_STAMP, "quorvel: the stamp state file %s %s\nNothing was written. %s\n",
                   printable(place).c_str(), why, what_to_do);
}

Failure list_unreadable(const StampSettings &settings, const char *why)
{
    return failure(FAILURE_STAMP,
                   "quorvel: cannot read the stamp list %s: %s\nNothing was written. Give -stamp-list= a file "
                   "of values, one a line\n",
                   printable(settings.list_path).c_str(), why);
}

// The list's values, read now.
Failure read_list(const StampSettings &settings, std::vector<std::string> &values)
{
    values.clear();
    if (settings.source != STAMP_FROM_LIST)
        return Failure{};
    FILE *file = std::fopen(settings.list_path, "rb");
    if (!file)
        return list_unreadable(settings, std::strerror(errno));
    std::string text;
    char buffer[16384];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    const bool broken = std::ferror(file);
    std::fclose(file);
    if (broken)
        return list_unreadable(settings, "a read failed");
    values = stamp_list_values(text);
    return Failure{};
}

// Takes (`take`) or only looks at the next value of the state file; makes
// the file when `create` and it is missing.
Failure use_state_file(const StampSettings &settings, bool take, bool create, StampValue &value)
{
    const std::string place = stamp_state_path(settings);
    std::vector<std::string> list;
    if (Failure unread = read_list(settings, list); failed(unread))
        return unread;
    StampFile file{-1};
    int missing = 0;
    std::string why, text;
    const bool locked = stamp_file_lock(place.c_str(), create, file, missing, why);
    if (!locked && (create || !missing))
        return failure(FAILURE_STAMP,
                       "quorvel: cannot open the stamp state file %s: %s\nNothing was written. Give "
                       "-stamp-state= a file in a folder that exists and that you may write to\n",
                       printable(place).c_str(), printable(why).c_str());
    // A file that is not there yet (the dry run makes none) is one where
    // nothing was taken.
    if (locked && !stamp_file_read(file, text, why)) {
        stamp_file_unlock(file);
        return failure(FAILURE_STAMP,
                       "quorvel: cannot read the stamp state file %s: %s\nNothing was written. Check the disk "
                       "and the file's permissions, then run quorvel again\n",
                       printable(place).c_str(), printable(why).c_str());
    }
    StampState now{}, after{};
    if (!stamp_state_parse(text, settings.source, now, why)) {
        stamp_file_unlock(file);
        return state_failure(
            place, ("is damaged: " + why).c_str(),
            settings.source == STAMP_FROM_LIST
                ? "Put back the file from a copy, or write in it the number of values taken, and on the next "
                  "line the last value taken"
                : "Put back the file from a copy, or write in it the next value, one number on a line, past "
                  "every value given so far");
    }
    Failure next = stamp_next(settings, now, list, place, value, after);
    if (!failed(next) && take && !stamp_file_write(file, stamp_state_text(settings.source, after), why))
        next = failure(FAILURE_STAMP,
                       "quorvel: cannot write the stamp state file %s: %s\nNothing was written to the board. "
                       "Free space on its disk, or check that you may write to it\n",
                       printable(place).c_str(), printable(why).c_str());
    stamp_file_unlock(file);
    return next;
}

// A value from the database: checked against its format as a file's is.
Failure checked_database_value(const StampSettings &settings, Failure got, StampValue &value)
{
    if (failed(got))
        return got;
    std::vector<uint8_t> bytes;
    return stamp_encode(settings, value, bytes);
}

}  // namespace

int stamp_state_parse(std::string_view text, StampSource source, StampState &state, std::string &why)
{
    state = StampState{0, 1, ""};
    if (text.empty())
        return 1;
    if (text.size() > LONGEST_STATE) {
        why = "it is far longer than quorvel writes it";
        return 0;
    }
    size_t at = 0;
    bool ended = false;
    if (!read_decimal(take_line(text, at, ended), state.next)) {
        why = source == STAMP_FROM_LIST ? "its first line is not the number of values taken"
                                        : "its first line is not the next value";
        return 0;
    }
    state.fresh = 0;
    if (source == STAMP_FROM_LIST && state.next > 0) {
        if (at >= text.size()) {
            why = "the last value taken is missing after its first line";
            return 0;
        }
        state.last = std::string(take_line(text, at, ended));
    }
    if (at < text.size()) {
        why = "it holds more lines than quorvel writes";
        return 0;
    }
    return 1;
}

std::string stamp_state_text(StampSource source, const StampState &state)
{
    std::string text = std::to_string(state.next) + "\n";
    if (source == STAMP_FROM_LIST && state.next > 0)
        text += state.last + "\n";
    return text;
}

std::vector<std::string> stamp_list_values(std::string_view text)
{
    std::vector<std::string> values;
    size_t at = 0;
    bool ended = false;
    while (at < text.size()) {
        std::string_view line = take_line(text, at, ended);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
        values.emplace_back(line);
    }
    return values;
}

Failure stamp_next(const StampSettings &settings, const StampState &now, const std::vector<std::string> &list,
                   const std::string &place, StampValue &value, StampState &after)
{
    if (settings.source == STAMP_FROM_COUNTER) {
        const uint64_t number = now.fresh || now.next < settings.start ? settings.start : now.next;
        if (number > UINT64_MAX - settings.step)
            return state_failure(place, "has run out: the value after the next one is past 64 bits",
                                 "Give a new state file and a new -stamp-from=");
        value = StampValue{std::to_string(number), 1, number};
        after = StampState{number + settings.step, 0, ""};
    } else {
        const uint64_t taken = now.next;
        const std::string list_name = printable(settings.list_path ? settings.list_path : "");
        if (taken > list.size() || (taken > 0 && list[taken - 1] != now.last))
            return failure(FAILURE_STAMP,
                           "quorvel: the stamp list %s changed since values were taken from it: %s says that "
                           "value %llu, \"%s\", was the last taken\nNothing was written. Put back the list as it "
                           "was (add new values at its end only), or give a new list with a new state file\n",
                           list_name.c_str(), printable(place).c_str(), (unsigned long long)taken,
                           printable(now.last).c_str());
        if (taken == list.size())
            return failure(FAILURE_STAMP,
                           "quorvel: the stamp list %s has run out: all its %llu values were taken (%s)\nNothing "
                           "was written. Add values at the end of the list, or give a new list\n",
                           list_name.c_str(), (unsigned long long)list.size(), printable(place).c_str());
        value = StampValue{list[taken], 0, 0};
        after = StampState{taken + 1, 0, list[taken]};
    }
    std::vector<uint8_t> bytes;
    return stamp_encode(settings, value, bytes);
}

std::string stamp_state_path(const StampSettings &settings)
{
    if (settings.state)
        return settings.state;
    if (settings.source == STAMP_FROM_LIST && settings.list_path)
        return std::string(settings.list_path) + ".state";
    return "";
}

Failure stamp_check(const StampSettings &settings, StampValue &first)
{
    if (stamp_state_is_database(settings.state)) {
        if (Failure unusable = stamp_database_check(settings); failed(unusable))
            return unusable;
        return checked_database_value(settings, stamp_database_peek(settings, &first), first);
    }
    return use_state_file(settings, false, true, first);
}

Failure stamp_peek(const StampSettings &settings, StampValue &value)
{
    if (stamp_state_is_database(settings.state))
        return checked_database_value(settings, stamp_database_peek(settings, &value), value);
    return use_state_file(settings, false, false, value);
}

Failure stamp_take(const StampSettings &settings, StampValue &value)
{
    if (stamp_state_is_database(settings.state))
        return checked_database_value(settings, stamp_database_take(settings, &value), value);
    return use_state_file(settings, true, true, value);
}
