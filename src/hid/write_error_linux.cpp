// What a failed hidraw write says, as a kind and a text for people.

#include "hid/write_error_linux.h"

#include "hid/send_failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

HidWriteError write_error_kind(int error, int node_vanished)
{
    switch (error) {
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
        return HID_WRITE_GONE;
    case EPROTO:
    case EPIPE:
        return HID_WRITE_UNPLUGGED;
    case EIO:
        return node_vanished ? HID_WRITE_UNPLUGGED : HID_WRITE_OTHER;
    }
    return HID_WRITE_OTHER;
}

HidWriteError write_failure_of(const WriterAnswer &answer, int node_vanished, std::string &why)
{
    char text[200];
    HidWriteError kind = HID_WRITE_OTHER;
    switch (answer.outcome) {
    case WRITER_DELIVERED:
        why.clear();
        return HID_WRITE_NONE;
    case WRITER_LATE:
        std::snprintf(text, sizeof text, "no answer within %lld ms", answer.limit_ms);
        kind = HID_WRITE_LATE;
        break;
    case WRITER_NOT_BEGUN:
        std::snprintf(text, sizeof text,
                      "this computer was too busy to go on with the write for %lld ms, the board is not at fault",
                      answer.limit_ms);
        kind = HID_WRITE_HOST_STALLED;
        break;
    case WRITER_SHORT_WRITE:
        std::snprintf(text, sizeof text, "the device took only %ld of %zu bytes", answer.written,
                      answer.length);
        break;
    case WRITER_WRITE_ERROR:
        kind = write_error_kind(answer.error, node_vanished);
        if (const char *reading = send_failure_reading(kind))
            std::snprintf(text, sizeof text, "%s (%s)", reading, std::strerror(answer.error));
        else
            std::snprintf(text, sizeof text, "%s", std::strerror(answer.error));
        break;
    }
    why = text;
    return kind;
}
