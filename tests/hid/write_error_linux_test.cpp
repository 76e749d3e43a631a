// What a failed hidraw write tells the run: the errno's kind, and the text
// for people of each of the writer's outcomes.
#include "hid/write_error_linux.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

struct ErrnoCase {
    int error;
    int node_vanished;
    HidWriteError kind;
};

const ErrnoCase ERRNO_CASES[] = {
    {ENODEV, 0, HID_WRITE_GONE},    {ENODEV, 1, HID_WRITE_GONE},      {ENXIO, 0, HID_WRITE_GONE},
    {ESHUTDOWN, 0, HID_WRITE_GONE}, {EPROTO, 0, HID_WRITE_UNPLUGGED}, {EPIPE, 1, HID_WRITE_UNPLUGGED},
    {EIO, 1, HID_WRITE_UNPLUGGED},  {EIO, 0, HID_WRITE_OTHER},        {ETIMEDOUT, 0, HID_WRITE_OTHER},
    {EBUSY, 1, HID_WRITE_OTHER},    {EINVAL, 0, HID_WRITE_OTHER},
};

TEST(WriteErrorLinux, ErrnoGivesTheKind)
{
    for (const ErrnoCase &c : ERRNO_CASES) {
        SCOPED_TRACE("errno " + std::to_string(c.error) + (c.node_vanished ? ", node gone" : ""));
        EXPECT_EQ(write_error_kind(c.error, c.node_vanished), c.kind);
    }
}

struct AnswerCase {
    WriterAnswer answer;
    int node_vanished;
    HidWriteError kind;
    const char *why;
};

const AnswerCase ANSWER_CASES[] = {
    {{WRITER_DELIVERED, 0, 0, 65, 50}, 0, HID_WRITE_NONE, ""},
    {{WRITER_LATE, 0, 0, 65, 50}, 0, HID_WRITE_LATE, "no answer within 50 ms"},
    {{WRITER_LATE, 0, 0, 65, 5000}, 1, HID_WRITE_LATE, "no answer within 5000 ms"},
    {{WRITER_SHORT_WRITE, 0, 10, 65, 50}, 0, HID_WRITE_OTHER, "the device took only 10 of 65 bytes"},
    {{WRITER_WRITE_ERROR, ENODEV, 0, 65, 50}, 0, HID_WRITE_GONE, "the device is gone (No such device)"},
    {{WRITER_WRITE_ERROR, EPROTO, 0, 65, 50},
     0,
     HID_WRITE_UNPLUGGED,
     "the board stopped answering or was unplugged mid-transfer (Protocol error)"},
    {{WRITER_WRITE_ERROR, EIO, 0, 65, 50},
     1,
     HID_WRITE_UNPLUGGED,
     "the board stopped answering or was unplugged mid-transfer (Input/output error)"},
    {{WRITER_WRITE_ERROR, EIO, 0, 65, 50}, 0, HID_WRITE_OTHER, "Input/output error"},
    {{WRITER_WRITE_ERROR, EBUSY, 0, 65, 50}, 0, HID_WRITE_OTHER, "Device or resource busy"},
    // Not the board's time-out: this machine never began the write.
    {{WRITER_NOT_BEGUN, 0, 0, 65, 1200},
     0,
     HID_WRITE_HOST_STALLED,
     "this computer was too busy to go on with the write for 1200 ms, the board is not at fault"},
};

TEST(WriteErrorLinux, AnswerGivesKindAndText)
{
    for (const AnswerCase &c : ANSWER_CASES) {
        SCOPED_TRACE(c.why);
        std::string why = "left over";
        EXPECT_EQ(write_failure_of(c.answer, c.node_vanished, why), c.kind);
        EXPECT_EQ(why, c.why);
    }
}

}  // namespace
