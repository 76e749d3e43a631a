// How the writer's reply for a report (the bytes written, or -errno)
// becomes its answer; what a run says of a board it could not take.
#include "hid/report_writer_linux.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
