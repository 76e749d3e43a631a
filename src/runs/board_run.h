// What the runs that write to one board (an upload, -boot) share: taking
// the board, and -expect-app: the board's port is noted before anything is
// sent, and after START_APPLICATION the application must appear there.
#pragma once

#include "hid/hid_device.h"

// Opens the board that the options name and holds stop signals for the
// run (ends the run when there is none to open), notes its port for
// -expect-app, and names it to the log and the -json stream.
const DeviceChoice &take_board();

// With -expect-app, once START_APPLICATION was delivered `since_start`
// seconds ago: waits for the application and says what appeared; ends the
// run when it does not appear.
void application_check_end(double since_start);
