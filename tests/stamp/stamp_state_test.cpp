// Where the values come from: the state file's text, the list's lines, the
// next value, and takes from a real locked file, several at once.
#include "stamp/stamp_format.h"
#include "stamp/stamp_state.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(StampState, ReadsWhatItWritesAndRefusesAnythingElse)
{
    struct Case {
        const char *text;
        StampSource source;
        int read;
        uint64_t next;
        int fresh;
        const char *last;
    };
    const std::string far_too_long(5000, '1');
    const Case cases[] = {
        {"", STAMP_FROM_COUNTER, 1, 0, 1, ""},  // made, nothing taken yet
        {"1006\n", STAMP_FROM_COUNTER, 1, 1006, 0, ""},
        {"1006", STAMP_FROM_COUNTER, 1, 1006, 0, ""},
        {"1006\r\n", STAMP_FROM_COUNTER, 1, 1006, 0, ""},  // written by hand on Windows
        {"18446744073709551615\n", STAMP_FROM_COUNTER, 1, UINT64_MAX, 0, ""},
        {"18446744073709551616\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"abc\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"10 06\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"-5\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"0x10\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"1006\n1007\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},  // a list's state, or two writes run together
        {"1006\n\n", STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {far_too_long.c_str(), STAMP_FROM_COUNTER, 0, 0, 0, ""},
        {"0\n", STAMP_FROM_LIST, 1, 0, 0, ""},
        {"3\nQV-0003\n", STAMP_FROM_LIST, 1, 3, 0, "QV-0003"},
        {"3\nQV-0003", STAMP_FROM_LIST, 1, 3, 0, "QV-0003"},
        {"3\n", STAMP_FROM_LIST, 0, 0, 0, ""},  // the last value is missing
        {"3\nQV-0003\nQV-0004\n", STAMP_FROM_LIST, 0, 0, 0, ""},
        {"QV-0003\n", STAMP_FROM_LIST, 0, 0, 0, ""},
    };
    for (const Case &c : cases) {
        StampState state{};
        std::string why;
        const std::string label = testing::PrintToString(std::string(c.text).substr(0, 40));
        ASSERT_EQ(stamp_state_parse(c.text, c.source, state, why), c.read) << label;
        if (!c.read) {
            EXPECT_FALSE(why.empty()) << label;
            continue;
        }
        EXPECT_EQ(state.next, c.next) << label;
        EXPECT_EQ(state.fresh, c.fresh) << label;
        EXPECT_EQ(state.last, c.last) << label;
        // What is written is read back the same.
        if (!state.fresh) {
            StampState again{};
            ASSERT_EQ(stamp_state_parse(stamp_state_text(c.source, state), c.source, again, why), 1) << label;
            EXPECT_EQ(again.next, state.next) << label;
            EXPECT_EQ(again.last, state.last) << label;
        }
    }
}

TEST(StampState, AListsValuesPassOverBlankLinesAndComments)
{
    EXPECT_EQ(stamp_list_values("QV-1\n\n# the second batch\n  QV-2  \r\n\t\n#QV-3\nQV 4\nQV-5"),
              (std::vector<std::string>{"QV-1", "QV-2", "QV 4", "QV-5"}));
    EXPECT_EQ(stamp_list_values("\n# nothing\n\r\n"), std::vector<std::string>{});
}

TEST(StampState, TheNextValue)
{
    StampSettings counter{};
    ASSERT_EQ(stamp_read_place("0x7F00,u32le", counter), 1);
    counter.source = STAMP_FROM_COUNTER;
    counter.start = 1000;
    counter.step = 5;
    StampSettings small = counter;
    ASSERT_EQ(stamp_read_place("0,u16le", small), 1);
    StampSettings list{};
    ASSERT_EQ(stamp_read_place("0,utf16le:24", list), 1);
    list.source = STAMP_FROM_LIST;
    list.list_path = "serials.txt";
    const std::vector<std::string> serials{"QV-0001", "QV-0002", "QV-0003-TOO-LONG-FOR-24-BYTES"};
    struct Case {
        const char *label;
        const StampSettings &settings;
        StampState now;
        const char *value;       // null: refused
        StampState after;
        const char *why;         // a word of the refusal
    };
    const Case cases[] = {
        {"a new counter starts at -stamp-from=", counter, {0, 1, ""}, "1000", {1005, 0, ""}, ""},
        {"the file goes on", counter, {2000, 0, ""}, "2000", {2005, 0, ""}, ""},
        {"a start raised above the file", counter, {900, 0, ""}, "1000", {1005, 0, ""}, ""},
        {"past 64 bits", counter, {UINT64_MAX - 2, 0, ""}, nullptr, {}, "run out"},
        {"too large for u16le", small, {65536, 0, ""}, nullptr, {}, "does not fit"},
        {"a new list", list, {0, 1, ""}, "QV-0001", {1, 0, "QV-0001"}, ""},
        {"the list goes on", list, {1, 0, "QV-0001"}, "QV-0002", {2, 0, "QV-0002"}, ""},
        {"too long for utf16le:24", list, {2, 0, "QV-0002"}, nullptr, {}, "does not fit"},
        {"run out", list, {3, 0, "QV-0003-TOO-LONG-FOR-24-BYTES"}, nullptr, {}, "run out"},
        {"a line changed under the state", list, {2, 0, "QV-0009"}, nullptr, {}, "changed"},
        {"lines removed under the state", list, {7, 0, "QV-0007"}, nullptr, {}, "changed"},
    };
    for (const Case &c : cases) {
        StampValue value{};
        StampState after{};
        const Failure result = stamp_next(c.settings, c.now, serials, "state", value, after);
        if (!c.value) {
            EXPECT_EQ(result.kind, FAILURE_STAMP) << c.label;
            EXPECT_NE(result.message.find(c.why), std::string::npos) << c.label << ": " << result.message;
            continue;
        }
        ASSERT_EQ(result.kind, FAILURE_NONE) << c.label << ": " << result.message;
        EXPECT_EQ(value.text, c.value) << c.label;
        EXPECT_EQ(after.next, c.after.next) << c.label;
        EXPECT_EQ(after.last, c.after.last) << c.label;
    }
}

StampSettings counter_in(const std::string &state, uint64_t start)
{
    StampSettings settings{};
    EXPECT_EQ(stamp_read_place("0x7F00,u32le", settings), 1);
    settings.source = STAMP_FROM_COUNTER;
    settings.start = start;
    settings.step = 1;
    settings.state = state.c_str();
    return settings;
}

TEST(StampStateFile, ATakeIsInTheFileAndALookTakesNothing)
{
    const std::string state = scratch_dir() + "/take.state";
    const StampSettings settings = counter_in(state, 1000);
    StampValue value{};
    // The dry run's look makes no file.
    ASSERT_EQ(stamp_peek(settings, value).kind, FAILURE_NONE);
    EXPECT_EQ(value.text, "1000");
    EXPECT_EQ(read_whole_file(state), "");
    for (const char *expected : {"1000", "1001", "1002"}) {
        ASSERT_EQ(stamp_take(settings, value).kind, FAILURE_NONE);
        EXPECT_EQ(value.text, expected);
    }
    EXPECT_EQ(read_whole_file(state), "1003\n");
    ASSERT_EQ(stamp_peek(settings, value).kind, FAILURE_NONE);
    ASSERT_EQ(stamp_check(settings, value).kind, FAILURE_NONE);
    EXPECT_EQ(value.text, "1003");
    EXPECT_EQ(read_whole_file(state), "1003\n");

    // A damaged file stays as it is: nothing is taken from it.
    write_scratch_file("take.state", "10O3\n");
    const Failure damaged = stamp_take(settings, value);
    EXPECT_EQ(damaged.kind, FAILURE_STAMP);
    EXPECT_NE(damaged.message.find("is damaged"), std::string::npos) << damaged.message;
    EXPECT_EQ(read_whole_file(state), "10O3\n");

    // A state file in a folder that is not there.
    const std::string nowhere_path = scratch_dir() + "/no-such-folder/x.state";
    const StampSettings nowhere = counter_in(nowhere_path, 1);
    EXPECT_EQ(stamp_check(nowhere, value).kind, FAILURE_STAMP);
}

TEST(StampStateFile, AListIsTakenInOrderUntilItRunsOut)
{
    const std::string list_path = write_scratch_file("serials.txt", "# batch 7\nQV-0001\n\nQV-0002\n");
    StampSettings settings{};
    ASSERT_EQ(stamp_read_place("0x100,utf16le:24", settings), 1);
    settings.source = STAMP_FROM_LIST;
    settings.list_path = list_path.c_str();
    StampValue value{};
    ASSERT_EQ(stamp_take(settings, value).kind, FAILURE_NONE);
    EXPECT_EQ(value.text, "QV-0001");
    ASSERT_EQ(stamp_take(settings, value).kind, FAILURE_NONE);
    EXPECT_EQ(value.text, "QV-0002");
    // Beside the list, by default.
    EXPECT_EQ(read_whole_file(list_path + ".state"), "2\nQV-0002\n");
    const Failure out = stamp_take(settings, value);
    EXPECT_EQ(out.kind, FAILURE_STAMP);
    EXPECT_NE(out.message.find("has run out"), std::string::npos) << out.message;
    // Values added at its end are taken next.
    write_scratch_file("serials.txt", "# batch 7\nQV-0001\n\nQV-0002\nQV-0003\n");
    ASSERT_EQ(stamp_take(settings, value).kind, FAILURE_NONE);
    EXPECT_EQ(value.text, "QV-0003");
}

// Threads each with their own descriptor hold the file's lock as processes
// do: every take gets a value of its own, and the file counts them all.
TEST(StampStateFile, TakesAtOnceNeverGetTheSameValue)
{
    const std::string state = scratch_dir() + "/shared.state";
    const StampSettings settings = counter_in(state, 1);
    constexpr int THREADS = 4, TAKES = 50;
    std::vector<std::vector<uint64_t>> taken(THREADS);
    std::vector<int> failures(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < TAKES; ++i) {
                StampValue value{};
                if (failed(stamp_take(settings, value)))
                    ++failures[size_t(t)];
                else
                    taken[size_t(t)].push_back(value.number);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    std::set<uint64_t> values;
    for (int t = 0; t < THREADS; ++t) {
        EXPECT_EQ(failures[size_t(t)], 0);
        // Each thread's values rise.
        EXPECT_TRUE(std::is_sorted(taken[size_t(t)].begin(), taken[size_t(t)].end()));
        values.insert(taken[size_t(t)].begin(), taken[size_t(t)].end());
    }
    EXPECT_EQ(values.size(), size_t(THREADS * TAKES));
    EXPECT_EQ(*values.begin(), 1u);
    EXPECT_EQ(*values.rbegin(), uint64_t(THREADS * TAKES));
    EXPECT_EQ(read_whole_file(state), std::to_string(THREADS * TAKES + 1) + "\n");
}

}  // namespace
