// The run that programs one board.
#pragma once

// Opens the device (waiting for it with -w), uploads the image, starts the
// application and ends the process: status 0 after "Done.", status 1
// through fail() on any error.
[[noreturn]] void run_upload();
