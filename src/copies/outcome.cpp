// A copy's outcome: its exit status decides; its error event (or its
// standard error) gives the words.
#include "copies/outcome.h"

#include "os/signals.h"
#include "output/events.h"
#include "output/text.h"

namespace {

// The copy's standard error less the copy's warnings and notes about
// ignored options, which come before its error. This reads the text that
// another process wrote for people, when it gave no error event (it ended
// before its events began, or was killed): the words only go into the
// outcome's line, and nothing is decided on them.
std::string without_warnings(std::string_view err)
{
    std::string kept;
    while (!err.empty()) {
        size_t end = err.find('\n');
        std::string_view line = err.substr(0, end == std::string_view::npos ? err.size() : end + 1);
        err.remove_prefix(line.size());
        if (!line.starts_with("quorvel: warning") && !line.starts_with("quorvel: ignoring"))
            kept += line;
    }
    return kept;
}

}  // namespace

CopyOutcome copy_outcome(int status, std::string_view err, std::string_view events, int passed_on)
{
    if (status == 0)
        return CopyOutcome{COPY_DONE, "Done"};
    // A copy ends with 1 after its done event only when its log line could
    // not be written: the board itself is programmed.
    if (status == 1 && has_event(events, "done") && last_error_event(events).empty())
        return CopyOutcome{COPY_DONE_UNLOGGED, "Done"};
    const CopyEnd end = passed_on ? COPY_INTERRUPTED : COPY_FAILED;
    std::string line = last_error_event(events);
    if (line.empty())
        line = one_line_outcome(without_warnings(err));
    if (line.empty() && passed_on)
        return CopyOutcome{end, std::string("interrupted by ") + signal_name(passed_on) +
                                    " before its upload began"};
    // A copy ends with 128 + a signal's number only when that signal ended
    // it; one that stops on a signal it caught says so in its error event.
    if (line.empty() && status > 128 && status < 128 + 65)
        return CopyOutcome{end, std::string("killed by ") + signal_name(status - 128) +
                                    ": its flash may be only partly written; program it again (start its "
                                    "bootloader and run quorvel for it once more)"};
    return CopyOutcome{end, line.empty() ? "failed with status " + std::to_string(status) : line};
}
