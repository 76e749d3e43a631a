// How the writer's reply for a report (the bytes written, or -errno)
// becomes its answer.
#include "hid/report_writer_linux.h"

#include <gtest/gtest.h>

#include <cerrno>

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

}  // namespace
