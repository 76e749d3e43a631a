// How the writer's reply for a report (the bytes written, or -errno)
// becomes its answer; what a run says of a board it could not take.
#include "hid/report_writer_linux.h"

#include "os/signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <pthread.h>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct ReplyCase {
    long reply;
    size_t length;
    WriterOutcome outcome;
    int error;
    long written;
};

const ReplyCase REPLY_CASES[] = {
    {65, 65, WRITER_DELIVERED, 0, 0},
    {2, 2, WRITER_DELIVERED, 0, 0},
    {64, 65, WRITER_SHORT_WRITE, 0, 64},
    {0, 65, WRITER_SHORT_WRITE, 0, 0},
    {66, 65, WRITER_SHORT_WRITE, 0, 66},
    {-long(ENODEV), 65, WRITER_WRITE_ERROR, ENODEV, 0},
    {-long(EPROTO), 65, WRITER_WRITE_ERROR, EPROTO, 0},
    {-long(EPIPE), 2, WRITER_WRITE_ERROR, EPIPE, 0},
};

TEST(ReportWriterLinux, ReplyGivesTheOutcome)
{
    for (const ReplyCase &c : REPLY_CASES) {
        SCOPED_TRACE("reply " + std::to_string(c.reply) + " of " + std::to_string(c.length));
        WriterAnswer answer = writer_outcome(c.reply, c.length, 50);
        EXPECT_EQ(answer.outcome, c.outcome);
        EXPECT_EQ(answer.error, c.error);
        EXPECT_EQ(answer.written, c.written);
        EXPECT_EQ(answer.length, c.length);
        EXPECT_EQ(answer.limit_ms, 50);
    }
}

struct RefusalCase {
    WriterStart start;
    BoardHolder holder;
    int error;
    HidOpenError kind;
    const char *why;
};

const RefusalCase REFUSAL_CASES[] = {
    {WRITER_BOARD_HELD, HOLDER_LIVE_RUN, 0, HID_OPEN_BUSY, " is being written by another quorvel run"},
    {WRITER_BOARD_HELD, HOLDER_UNKNOWN, 0, HID_OPEN_BUSY, " is being written by another quorvel run"},
    {WRITER_BOARD_HELD, HOLDER_ENDED_RUN, 0, HID_OPEN_BUSY_LEFT_WRITE,
     " is still taken while the system finishes a write that an earlier quorvel run gave up on (for up to "
     "5 s)"},
    {WRITER_NOT_STARTED, HOLDER_UNKNOWN, EAGAIN, HID_OPEN_OTHER,
     ": cannot start the process that writes to it (Resource temporarily unavailable)"},
    {WRITER_NOT_STARTED, HOLDER_UNKNOWN, EMFILE, HID_OPEN_OTHER,
     ": cannot start the process that writes to it (Too many open files)"},
    {WRITER_LOCK_FAILED, HOLDER_UNKNOWN, ENOLCK, HID_OPEN_OTHER, ": cannot lock it (No locks available)"},
};

TEST(ReportWriterLinux, RefusalSaysWhatFailed)
{
    for (const RefusalCase &c : REFUSAL_CASES) {
        SCOPED_TRACE(c.why);
        BoardRefusal refusal = board_refusal(c.start, c.holder, c.error);
        EXPECT_EQ(refusal.kind, c.kind);
        EXPECT_EQ(refusal.why, c.why);
    }
}

// A file stands in for the node: the writer takes its lock as it would the
// board's, and a second open of it finds it held by this process's writer.
TEST(ReportWriterLinux, BoardHeldByALiveRunsWriter)
{
    char name[] = "/tmp/quorvel-writer-XXXXXX";
    int first = mkstemp(name);
    ASSERT_GE(first, 0);
    int second = open(name, O_RDWR | O_CLOEXEC);
    unlink(name);
    ASSERT_GE(second, 0);
    EXPECT_EQ(board_holder(second), HOLDER_UNKNOWN);  // nobody holds it yet
    ASSERT_EQ(writer_start(first), WRITER_STARTED);
    EXPECT_EQ(writer_start(second), WRITER_BOARD_HELD);
    EXPECT_EQ(board_holder(second), HOLDER_LIVE_RUN);
    writer_stop();
    EXPECT_EQ(board_holder(second), HOLDER_UNKNOWN);
    close(first);
    close(second);
}

// Under a process limit the writer process cannot be made: the start says
// so (and not that the lock failed). The limit binds only a user without
// the right to exceed it, so a child of the test takes the limit, and as
// root first becomes nobody.
TEST(ReportWriterLinux, WriterNotMadeUnderAProcessLimit)
{
    char name[] = "/tmp/quorvel-writer-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            _exit(3);
        WriterStart start = writer_start(fd);
        int error = errno;
        if (start != WRITER_NOT_STARTED)
            _exit(10 + int(start));
        _exit(error == EAGAIN ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(fd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2, 3: could not take the limit; 4: not EAGAIN; 10 + the start otherwise";
}

// What the run makes of one look at a play: the write in hand is late only
// past its own limit from its own start; a write not begun is this
// machine's fault only a whole grace past when it was due; otherwise it
// looks again at the first of those moments or the tick.
TEST(ReportWriterLinux, PlayLookJudgesEachWriteFromItsOwnStart)
{
    constexpr long long MS = 1'000'000;
    const struct {
        const char *name;
        PlaySight sight;
        long long now, tick;
        PlayVerdict verdict;
        long long until;
    } cases[] = {
        {"in hand, within its limit: look at the tick", {10, 4, 3, 1000 * MS, 50 * MS, 0, 0}, 1020 * MS, 1045 * MS,
         PLAY_WAIT, 1045 * MS},
        {"in hand, its limit before the tick", {10, 4, 3, 1000 * MS, 50 * MS, 0, 0}, 1020 * MS, 1070 * MS, PLAY_WAIT,
         1050 * MS},
        {"in hand, at its limit", {10, 4, 3, 1000 * MS, 50 * MS, 0, 0}, 1050 * MS, 1075 * MS, PLAY_LATE, 1050 * MS},
        {"in hand, a second limit", {10, 1, 0, 1000 * MS, 1000 * MS, 0, 0}, 1999 * MS, 2024 * MS, PLAY_WAIT,
         2000 * MS},
        {"between writes, due long ago but within the grace", {10, 3, 3, 0, 0, 1000 * MS, 0}, 1900 * MS, 1925 * MS,
         PLAY_WAIT, 1925 * MS},
        {"between writes, a pause not over yet", {10, 3, 3, 0, 0, 3000 * MS, 0}, 2000 * MS, 2025 * MS, PLAY_WAIT,
         2025 * MS},
        {"between writes, the grace past", {10, 3, 3, 0, 0, 1000 * MS, 0}, 2000 * MS, 2025 * MS, PLAY_NOT_BEGUN,
         2000 * MS},
        {"every step delivered: the last pause is the writer's", {10, 10, 10, 0, 0, 1000 * MS, 0}, 9000 * MS,
         9025 * MS, PLAY_WAIT, 9025 * MS},
        // A write not begun yet may begin at once and stall: the run looks
        // again by the least limit left, counted from now or from the end
        // of the pause before it.
        {"in hand with a long limit, shorter ones after it", {10, 7, 6, 1000 * MS, 1000 * MS, 0, 50 * MS}, 1005 * MS,
         1'000'000 * MS, PLAY_WAIT, 1055 * MS},
        {"in hand, its own limit first", {10, 4, 3, 1000 * MS, 50 * MS, 0, 250 * MS}, 1020 * MS, 1'000'000 * MS,
         PLAY_WAIT, 1050 * MS},
        {"a pause, the next write's limit from its end", {10, 3, 3, 0, 0, 3000 * MS, 50 * MS}, 2000 * MS,
         1'000'000 * MS, PLAY_WAIT, 3050 * MS},
        {"a write due and not begun, the grace first", {10, 3, 3, 0, 0, 1000 * MS, 1000 * MS}, 1500 * MS,
         1'000'000 * MS, PLAY_WAIT, 2000 * MS},
        {"the tick before any limit", {10, 7, 6, 1000 * MS, 1000 * MS, 0, 50 * MS}, 1005 * MS, 1030 * MS, PLAY_WAIT,
         1030 * MS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const PlayLook look = play_look(c.sight, c.now, c.tick);
        EXPECT_EQ(look.verdict, c.verdict);
        EXPECT_EQ(look.until_ns, c.until);
    }
}

// Three steps of 64 bytes; the first is followed by a pause of `pause` s.
std::vector<PlayStep> three_steps(double pause)
{
    std::vector<PlayStep> steps(3);
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].length = 64;
        steps[i].limit_ms = 50;
        std::memset(steps[i].report, int(0xA0 + i), 64);
    }
    steps[0].pause_after = pause;
    return steps;
}

std::vector<int> counts_seen;
void see(int steps)
{
    counts_seen.push_back(steps);
}
// A stop that comes once the first step is delivered.
int stops_taken = 0;
int stop_after_the_first()
{
    if (counts_seen.empty())
        return 0;
    ++stops_taken;
    return SIGTERM;
}

std::string file_text(const char *name)
{
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Every step reaches the node in order, each with report ID 0, and the run
// is told of every step delivered, the last count being all of them.
TEST(ReportWriterLinux, PlayWritesEveryStepInOrder)
{
    char name[] = "/tmp/quorvel-play-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writer_start(fd), WRITER_STARTED);
    close(fd);
    counts_seen.clear();
    std::vector<PlayStep> steps = three_steps(0.01);
    WriterPlay played = writer_play(steps.data(), int(steps.size()), PlayWatch{see, nullptr, 25'000'000, -1});
    EXPECT_EQ(played.end.outcome, PLAY_DONE);
    EXPECT_EQ(played.end.at, 3);
    ASSERT_FALSE(counts_seen.empty());
    EXPECT_TRUE(std::is_sorted(counts_seen.begin(), counts_seen.end()));
    EXPECT_EQ(counts_seen.back(), 3);
    // A second play on the same writer goes on from where the first ended.
    counts_seen.clear();
    WriterPlay again = writer_play(steps.data(), 1, PlayWatch{see, nullptr, 25'000'000, -1});
    EXPECT_EQ(again.end.outcome, PLAY_DONE);
    EXPECT_EQ(counts_seen, std::vector<int>{1});
    writer_stop();
    const std::string written = file_text(name);
    unlink(name);
    ASSERT_EQ(written.size(), 4u * 65);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(written[i * 65], '\0');
        EXPECT_EQ(uint8_t(written[i * 65 + 1]), 0xA0 + (i % 3));
        EXPECT_EQ(uint8_t(written[i * 65 + 64]), 0xA0 + (i % 3));
    }
}

// A stop taken while the first step's pause runs: the writer begins no
// step after it, and says before which step it stopped. A stop taken
// before the first step (as at once) stops the play before any write.
TEST(ReportWriterLinux, StopEndsThePlayBeforeTheNextStep)
{
    char name[] = "/tmp/quorvel-play-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writer_start(fd), WRITER_STARTED);
    close(fd);
    stops_taken = 0;
    counts_seen.clear();
    std::vector<PlayStep> steps = three_steps(0.3);
    WriterPlay played = writer_play(steps.data(), int(steps.size()), PlayWatch{see, stop_after_the_first, 0, -1});
    writer_stop();
    const std::string written = file_text(name);
    unlink(name);
    EXPECT_EQ(played.end.outcome, PLAY_STOPPED);
    EXPECT_EQ(played.end.signal, SIGTERM);
    EXPECT_EQ(played.end.at, 1);
    EXPECT_EQ(written.size(), 65u);
    EXPECT_EQ(stops_taken, 1);  // a stop is taken once
}

// A run that shows nothing as it goes sleeps through the writer's pause;
// a stop signal held for it wakes it all the same, and the writer begins
// no step after the one it is pausing after.
TEST(ReportWriterLinux, HeldStopSignalWakesARunThatShowsNothing)
{
    char name[] = "/tmp/quorvel-play-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writer_start(fd), WRITER_STARTED);
    close(fd);
    sigset_t held, before;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &held, &before);  // the thread below inherits it
    hold_stop_signals();
    // Once the first report is on the file, the writer pauses for 3 s. The
    // run looks once 1 s after the start (the first write's grace), then
    // not before the pause has ended: a SIGTERM to the process half way
    // through the pause.
    std::thread signaller([&name] {
        struct stat seen {};
        while (stat(name, &seen) == 0 && seen.st_size < 65)
            usleep(1000);
        usleep(1'500'000);
        kill(getpid(), SIGTERM);
    });
    std::vector<PlayStep> steps = three_steps(3.0);
    WriterPlay played =
        writer_play(steps.data(), int(steps.size()), PlayWatch{nullptr, take_stop_signal, 0, stop_signal_descriptor()});
    signaller.join();
    writer_stop();
    const std::string written = file_text(name);
    unlink(name);
    const int left_pending = take_stop_signal();  // so that letting it through ends no test
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    EXPECT_EQ(left_pending, 0);
    EXPECT_EQ(played.end.outcome, PLAY_STOPPED);
    EXPECT_EQ(played.end.signal, SIGTERM);
    EXPECT_EQ(played.end.at, 1);
    EXPECT_EQ(written.size(), 65u);
}

// A failed write ends the play at that step with the system's error, and
// the writer plays nothing more.
TEST(ReportWriterLinux, FailedWriteEndsThePlay)
{
    char name[] = "/tmp/quorvel-play-XXXXXX";
    int made = mkstemp(name);
    ASSERT_GE(made, 0);
    close(made);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    unlink(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writer_start(fd), WRITER_STARTED);
    close(fd);
    std::vector<PlayStep> steps = three_steps(0);
    WriterPlay played = writer_play(steps.data(), int(steps.size()), PlayWatch{nullptr, nullptr, 0, -1});
    EXPECT_EQ(played.end.outcome, PLAY_FAILED);
    EXPECT_EQ(played.end.at, 0);
    EXPECT_EQ(played.answer.outcome, WRITER_WRITE_ERROR);
    EXPECT_EQ(played.answer.error, EBADF);
    EXPECT_EQ(played.answer.length, 65u);
    EXPECT_EQ(writer_play(steps.data(), 1, PlayWatch{nullptr, nullptr, 0, -1}).end.outcome, PLAY_FAILED);
    writer_stop();
}

// A write that never ends (a pipe that nobody reads, full): the play ends
// at its limit, and once the write has ended the writer begins no other.
TEST(ReportWriterLinux, WriteLeftInHandEndsThePlayAtItsLimit)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    const int capacity = fcntl(pipe_ends[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
    std::vector<char> filler(size_t(capacity), 'x');
    ASSERT_EQ(write(pipe_ends[1], filler.data(), filler.size()), ssize_t(filler.size()));
    fcntl(pipe_ends[1], F_SETFL, 0);
    ASSERT_EQ(writer_start(pipe_ends[1]), WRITER_STARTED);
    close(pipe_ends[1]);
    std::vector<PlayStep> steps = three_steps(0);
    WriterPlay played = writer_play(steps.data(), int(steps.size()), PlayWatch{nullptr, nullptr, 0, -1});
    EXPECT_EQ(played.end.outcome, PLAY_FAILED);
    EXPECT_EQ(played.end.at, 0);
    EXPECT_EQ(played.answer.outcome, WRITER_LATE);
    EXPECT_EQ(played.answer.limit_ms, 50);
    writer_stop();
    // Read everything until the writer has ended (it closes its end).
    std::string drained;
    char chunk[4096];
    for (ssize_t got; (got = read(pipe_ends[0], chunk, sizeof chunk)) > 0;)
        drained.append(chunk, size_t(got));
    close(pipe_ends[0]);
    EXPECT_EQ(drained.size(), size_t(capacity) + 65);  // the filler and the late report alone
}

// The run's writer process, found by its name among this process's
// children (an ended one, not waited for, is left out).
pid_t writer_process()
{
    DIR *proc = opendir("/proc");
    pid_t found = -1;
    while (dirent *entry = proc ? readdir(proc) : nullptr) {
        std::ifstream stat_file(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat_file, line))
            continue;
        size_t close_paren = line.rfind(')');
        size_t open_paren = line.find('(');
        if (close_paren == std::string::npos || open_paren == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close_paren + 2));
        char process_state;
        pid_t parent;
        rest >> process_state >> parent;
        if (process_state != 'Z' && parent == getpid() && line.substr(open_paren + 1, close_paren - open_paren - 1) == WRITER_PROCESS_NAME)
            found = pid_t(std::atoi(entry->d_name));
    }
    if (proc)
        closedir(proc);
    return found;
}

// A writer that does not get to begin its write (here: stopped, as a
// machine too busy to run it would leave it) is this machine's fault, not
// the board's time-out; and once it runs again it writes nothing.
TEST(ReportWriterLinux, WriteNotBegunInTimeIsThisMachinesFault)
{
    char name[] = "/tmp/quorvel-play-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(writer_start(fd), WRITER_STARTED);
    close(fd);
    const pid_t writer = writer_process();
    ASSERT_GT(writer, 0);
    ASSERT_EQ(kill(writer, SIGSTOP), 0);
    std::vector<PlayStep> steps = three_steps(0);
    WriterPlay played = writer_play(steps.data(), int(steps.size()), PlayWatch{nullptr, nullptr, 0, -1});
    kill(writer, SIGCONT);
    writer_stop();
    for (int i = 0; i < 200 && writer_process() > 0; ++i)
        usleep(10'000);
    const std::string written = file_text(name);
    unlink(name);
    EXPECT_EQ(played.end.outcome, PLAY_FAILED);
    EXPECT_EQ(played.end.at, 0);
    EXPECT_EQ(played.answer.outcome, WRITER_NOT_BEGUN);
    EXPECT_GE(played.answer.limit_ms, WRITER_START_GRACE_NS / 1'000'000);
    EXPECT_EQ(written.size(), 0u);
}

}  // namespace
