// Where each board's value comes from: a counter or a list, whose next
// value is kept in a state file (or a database, stamp_database.h). A value
// is taken under the file's lock and is on the disk before it is handed
// out: two runs that share the file never get the same value, and a value
// once taken is never given again, whatever happens to its board or run.
// Gaps are possible (a board that then fails keeps its value unused);
// duplicates are not.
//
// The file holds one line for a counter: the next value, in decimal. For a
// list: the number of values taken, and on a second line the last value
// taken, so that a list changed under it is noticed instead of giving a
// value twice. An empty file is one where nothing was taken yet.
#pragma once

#include "output/failure.h"
#include "stamp/stamp_settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the state file says.
struct StampState {
    uint64_t next;     // a counter's next value; a list's count of values taken
    int fresh;         // 1: the file is empty, nothing was taken yet
    std::string last;  // a list's last value taken; "" when none
};

// Reads the file's text; 0 when it is not what quorvel writes for this
// kind of source (`why` says how).
int stamp_state_parse(std::string_view text, StampSource source, StampState &state, std::string &why);

// The file's text for this state.
std::string stamp_state_text(StampSource source, const StampState &state);

// The values of a list file's text: one per line, spaces around it and a
// line end of "\r\n" left out, blank lines and lines that start with '#'
// passed over.
std::vector<std::string> stamp_list_values(std::string_view text);

// The value that comes after `now` and the state after taking it, or a
// failure (FAILURE_STAMP): a counter or list that has run out, a list that
// changed under its state, a value that does not fit the format. `place`
// names the state file in messages.
Failure stamp_next(const StampSettings &settings, const StampState &now, const std::vector<std::string> &list,
                   const std::string &place, StampValue &value, StampState &after);

// The state file of these settings: -stamp-state=, else beside the list
// (its name with ".state" added); "" for a counter without -stamp-state=.
std::string stamp_state_path(const StampSettings &settings);

// Before any board: the state (file or database) can be used, and the
// next value can be had and fits its format; the state file is made when
// missing. `first` gets that value, which is not taken.
Failure stamp_check(const StampSettings &settings, StampValue &first);

// The value that the next take would give, without taking it or making
// anything (the dry run).
Failure stamp_peek(const StampSettings &settings, StampValue &value);

// Takes the next value for one board, for good: on the disk (or committed
// in the database) when this returns.
Failure stamp_take(const StampSettings &settings, StampValue &value);
