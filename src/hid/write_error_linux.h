// What a failed hidraw write's errno says, on Linux.
#pragma once

#include "hid/hid_device.h"
#include "hid/report_writer_linux.h"

#include <string>

// The kind of a write that failed with this errno; `node_vanished` when the
// device node is no longer there. The USB core ends the transfer in flight
// at an unplug with EPROTO (or EPIPE, or EIO once the node is gone) and
// every later one with ENODEV; ESHUTDOWN and ENXIO come when the host side
// of the device is being torn down.
HidWriteError write_error_kind(int error, int node_vanished);

// The kind and the text for people of a writer's answer that is not
// WRITER_DELIVERED: "no answer within 50 ms", "the device took only 10 of
// 65 bytes", "the device is gone (No such device)", the system's error text.
HidWriteError write_failure_of(const WriterAnswer &answer, int node_vanished, std::string &why);
