// Every matching board at once: the production bench's run.
#pragma once

// Programs every present board that matches the selection of run_options
// (-usb=, -serial=, -location=), all at once, each by a copy of quorvel run
// with -device= for it, so that each board keeps the single-device run and
// a stalled or unplugged board fails alone. Prints one line per board at the
// end and ends the process: status 0 only when every board succeeded (and,
// with -all=N, there were N).
[[noreturn]] void run_all_boards();
