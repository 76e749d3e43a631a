// A copy's outcome: the status decides; the error event, else the copy's
// standard error less its warnings, gives the words.
#include "copies/outcome.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

struct OutcomeCase {
    const char *name;
    int status;
    std::string err;
    std::string events;
    int passed_on;
    CopyEnd end;
    std::string text;
};

const std::string ERROR_EVENT =
    "{\"event\":\"start\"}\n{\"event\":\"error\",\"message\":\"Unable to open device\",\"detail\":\"No board "
    "matches\\nStart it\"}\n";

TEST(CopyOutcome, StatusDecidesAndTheCopyGivesTheWords)
{
    const OutcomeCase cases[] = {
        {"done", 0, "", "{\"event\":\"done\"}\n", 0, COPY_DONE, "Done"},
        {"done whatever it wrote", 0, "Broken\n", ERROR_EVENT, SIGTERM, COPY_DONE, "Done"},
        {"the error event first", 1, "Other\nwords\n", ERROR_EVENT, 0, COPY_FAILED,
         "Unable to open device: No board matches"},
        {"an event without detail", 1, "", "{\"event\":\"error\",\"message\":\"Write failed\"}\n", 0,
         COPY_FAILED, "Write failed"},
        {"standard error without an event", 1, "\nBroken\nsecond\nthird\n", "not json\n", 0, COPY_FAILED,
         "Broken: second"},
        {"the copy's warnings passed over", 1,
         "quorvel: warning: \"a.hex\" has no end-of-file record\nquorvel: ignoring unknown option "
         "-x\nBroken\n",
         "", 0, COPY_FAILED, "Broken"},
        {"a warning's words later in a line stay", 1, "Broken: quorvel: warning\n", "", 0, COPY_FAILED,
         "Broken: quorvel: warning"},
        {"done, but its log line could not be written", 1, "quorvel: warning: cannot write the log\n",
         "{\"event\":\"device\"}\n{\"event\":\"done\"}\n", 0, COPY_DONE_UNLOGGED, "Done"},
        {"status 1 after an error event, whatever came before", 1, "", "{\"event\":\"done\"}\n" + ERROR_EVENT, 0,
         COPY_FAILED, "Unable to open device: No board matches"},
        {"nothing said", 3, "", "", 0, COPY_FAILED, "failed with status 3"},
        {"only warnings said", 1, "quorvel: warning: x\n", "", 0, COPY_FAILED, "failed with status 1"},
        {"nothing said before the stop signal", 128 + SIGINT, "", "", SIGINT, COPY_INTERRUPTED,
         "interrupted by SIGINT before its upload began"},
        {"interrupted with words", 128 + SIGTERM, "", ERROR_EVENT, SIGTERM, COPY_INTERRUPTED,
         "Unable to open device: No board matches"},
#ifndef _WIN32  // a status of 128 + a signal's number means that signal only on POSIX
        {"killed by a signal, nothing said", 128 + SIGKILL, "", "{\"event\":\"block\"}\n", 0, COPY_FAILED,
         "killed by SIGKILL: its flash may be only partly written; program it again (start its bootloader "
         "and run quorvel for it once more)"},
#endif
        {"control characters made printable", 1, "Bad\x1b[2J name\n", "", 0, COPY_FAILED, "Bad?[2J name"},
    };
    for (const OutcomeCase &c : cases) {
        const CopyOutcome outcome = copy_outcome(c.status, c.err, c.events, c.passed_on);
        EXPECT_EQ(outcome.end, c.end) << c.name;
        EXPECT_EQ(outcome.text, c.text) << c.name;
    }
}

}  // namespace
