// -boot: the run that starts the application of a board in its bootloader.
#pragma once

// Opens the board as run_upload does (the same selection, -w, -touch= and
// lock) and sends it the start-application command alone, with its time
// limit and the pause after it: nothing is erased or written. Ends the
// process: status 0 after "Done.", 1 when the board could not be opened or
// the command was not delivered, 128 + the signal when a stop signal came
// before it was sent.
[[noreturn]] void run_boot();
