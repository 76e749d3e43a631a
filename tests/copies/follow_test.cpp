// The copies and the loop that follows them, with short shell scripts in
// the place of quorvel's copies: their statuses, lines and standard error
// become outcomes and counts; a stop signal reaches every copy.
#include "copies/copies.h"
#include "copies/follow.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *const SHELL = "/bin/sh";

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// All the news of one copy until it ends (or 10 s pass).
struct Collected {
    std::string lines;
    bool ended = false;
    int status = -1;
    std::string err;
};

Collected collect(int copy)
{
    Collected got;
    const auto start = Clock::now();
    while (!got.ended && seconds_since(start) < 10) {
        std::vector<CopyNews> news;
        copies_wait(0.1, true, news);
        for (const CopyNews &item : news) {
            if (item.copy != copy)
                continue;
            got.lines += item.lines;
            if (item.ended) {
                got.ended = true;
                got.status = item.status;
                got.err = item.err;
            }
        }
    }
    return got;
}

struct CopyCase {
    const char *script;
    int status;
    std::string lines;
    std::string err;
};

TEST(Copies, StatusLinesAndStandardError)
{
    const CopyCase cases[] = {
        {"exit 0", 0, "", ""},
        {"exit 1", 1, "", ""},
        {"exit 3", 3, "", ""},
        {"kill -TERM $$", 128 + SIGTERM, "", ""},
        {"kill -KILL $$", 128 + SIGKILL, "", ""},
        {"echo one; echo two; exit 2", 2, "one\ntwo\n", ""},
        {"echo said >&2; echo out", 0, "out\n", "said\n"},
        // Only whole lines are news.
        {"printf 'whole\\ncut'", 0, "whole\n", ""},
        {"cat", 0, "", ""},  // standard input is the null device
    };
    std::string why;
    ASSERT_EQ(copies_begin(why), 1) << why;
    for (const CopyCase &c : cases) {
        const int copy = copy_start(SHELL, {"-c", c.script}, why);
        ASSERT_GE(copy, 0) << c.script << ": " << why;
        const Collected got = collect(copy);
        EXPECT_TRUE(got.ended) << c.script;
        EXPECT_EQ(got.status, c.status) << c.script;
        EXPECT_EQ(got.lines, c.lines) << c.script;
        EXPECT_EQ(got.err, c.err) << c.script;
    }
}

TEST(Copies, ProgramThatCannotRunEndsWithStatus127)
{
    std::string why;
    ASSERT_EQ(copies_begin(why), 1) << why;
    const int copy = copy_start("/nonexistent/program", {}, why);
    ASSERT_GE(copy, 0) << why;
    EXPECT_EQ(collect(copy).status, 127);
}

// With `follow`, a line ends the wait; without, only a copy's end or the
// time does: fewer wake-ups where nobody watches.
TEST(Copies, FollowEndsTheWaitAtALine)
{
    std::string why;
    ASSERT_EQ(copies_begin(why), 1) << why;
    for (bool follow : {true, false}) {
        const int copy = copy_start(SHELL, {"-c", "echo first; exec sleep 2"}, why);
        ASSERT_GE(copy, 0) << why;
        std::string lines;
        const auto start = Clock::now();
        while (lines.empty() && seconds_since(start) < 5) {
            std::vector<CopyNews> news;
            copies_wait(1.5, follow, news);
            for (const CopyNews &item : news)
                if (item.copy == copy)
                    lines += item.lines;
        }
        const double waited = seconds_since(start);
        EXPECT_EQ(lines, "first\n") << follow;
        if (follow) {
            EXPECT_LT(waited, 1.0);
        } else {
            EXPECT_GE(waited, 1.4);
        }
        collect(copy);
    }
}

// The loop over copies that stand in for quorvel: what each said and how
// it ended.
struct FollowCase {
    const char *script;
    CopyEnd end;
    std::string text;
};

TEST(Follow, OutcomesAndCounts)
{
    const FollowCase cases[] = {
        {"exit 0", COPY_DONE, "Done"},
        {"echo '{\"event\":\"block\",\"index\":1,\"count\":2}'; echo '{\"event\":\"done\"}'", COPY_DONE,
         "Done"},
        // The error event says it, whatever standard error holds.
        {"printf '%s\\n' '{\"event\":\"error\",\"message\":\"Unable to open device\",\"detail\":\"No "
         "board\\nmore\"}'; "
         "echo 'noise' >&2; exit 1",
         COPY_FAILED, "Unable to open device: No board"},
        // Without one, standard error, less the copy's warnings.
        {"printf 'quorvel: warning: cut short\\nquorvel: ignoring unknown option "
         "-x\\n\\nBroken\\nsecond\\nthird\\n' "
         ">&2; exit 1",
         COPY_FAILED, "Broken: second"},
        // Killed by a signal: named, with what it means for the board.
        {"kill -KILL $$", COPY_FAILED,
         "killed by SIGKILL: its flash may be only partly written; program it again (start its bootloader and run "
         "quorvel for it once more)"},
        {"exit 127", COPY_FAILED, "failed with status 127"},
    };
    std::string why;
    ASSERT_EQ(follow_begin(SHELL, FollowHooks{}, why), 1) << why;
    for (const FollowCase &c : cases)
        follow_board(HidDeviceInfo{c.script, 0x5E1A, 1, "", "", "", ""}, {"-c", c.script});
    follow_copies(0.05, false);
    ASSERT_EQ(following.boards.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const FollowedBoard &board = following.boards[i];
        EXPECT_TRUE(board.ended) << cases[i].script;
        EXPECT_EQ(board.copy, -1) << cases[i].script;
        EXPECT_EQ(board.outcome.end, cases[i].end) << cases[i].script;
        EXPECT_EQ(board.outcome.text, cases[i].text) << cases[i].script;
    }
    EXPECT_EQ(following.done, 2);
    EXPECT_EQ(following.failed, 4);
    EXPECT_EQ(following.running, 0);
    EXPECT_EQ(following.first_signal, 0);
}

// -station's way: the list grows while boards are taken.
int looked = 0;
std::vector<std::string> ended_in_order;

bool three_boards()
{
    return following.boards.size() < 3;
}

void one_more_board()
{
    ++looked;
    if (three_boards()) {
        const std::string script = "exit " + std::to_string(following.boards.size());
        follow_board(HidDeviceInfo{script, 0x5E1A, 1, "", "", "", ""}, {"-c", script});
    }
}

void note_end(const FollowedBoard &board)
{
    ended_in_order.push_back(board.board.path);
}

TEST(Follow, BoardsThatComeWhileTheLoopRuns)
{
    std::string why;
    ASSERT_EQ(follow_begin(SHELL, FollowHooks{three_boards, one_more_board, nullptr, note_end, nullptr}, why),
              1)
        << why;
    follow_copies(0.05, true);
    ASSERT_EQ(following.boards.size(), 3u);
    EXPECT_EQ(following.done, 1);
    EXPECT_EQ(following.failed, 2);
    EXPECT_EQ(following.running, 0);
    EXPECT_GE(looked, 3);
    EXPECT_EQ(ended_in_order.size(), 3u);
}

// A stop signal to this process reaches every copy; the copies that it
// ended without a word were interrupted before their upload.
void stop_once()
{
    static bool sent = false;
    if (!sent && following.boards.size() == 2) {
        sent = true;
        kill(getpid(), SIGTERM);
    }
}

TEST(Follow, StopSignalIsPassedOnToEveryCopy)
{
    std::string why;
    ASSERT_EQ(follow_begin(SHELL, FollowHooks{nullptr, stop_once, nullptr, nullptr, nullptr}, why), 1) << why;
    const auto start = Clock::now();
    for (int i = 0; i < 2; ++i)
        follow_board(HidDeviceInfo{"/dev/sleeper" + std::to_string(i), 0x5E1A, 1, "", "", "", ""},
                     {"-c", "exec sleep 20"});
    follow_copies(0.05, false);
    EXPECT_LT(seconds_since(start), 10);
    EXPECT_EQ(following.first_signal, SIGTERM);
    EXPECT_EQ(following.last_signal, SIGTERM);
    EXPECT_EQ(following.failed, 2);
    for (const FollowedBoard &board : following.boards) {
        EXPECT_EQ(board.status, 128 + SIGTERM);
        EXPECT_EQ(board.outcome.end, COPY_INTERRUPTED);
        EXPECT_EQ(board.outcome.text, "interrupted by SIGTERM before its upload began");
    }
}

}  // namespace
