// -expect-app for the runs that start the application (an upload, -boot):
// the board's port is noted before anything is sent, and after
// START_APPLICATION the application must appear there.
#pragma once

#include "hid/hid_device.h"

// With -expect-app: notes where the open board is plugged in; ends the run
// when the system does not place it on a USB port (nothing was sent yet).
void application_check_begin(const DeviceChoice &choice);

// With -expect-app, once START_APPLICATION was delivered `since_start`
// seconds ago: waits for the application and says what appeared; ends the
// run when it does not appear.
void application_check_end(double since_start);
