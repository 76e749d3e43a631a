// Every matching board at once: the production bench's run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct HidDeviceInfo;

// Programs every present board that matches the selection of run_options
// (-usb=, -serial=, -location=), all at once, each by a copy of quorvel run
// with -device= for it, so that each board keeps the single-device run and
// a stalled or unplugged board fails alone. Prints one line per board at the
// end and ends the process: status 0 only when every board succeeded (and,
// with -all=N, there were N).
[[noreturn]] void run_all_boards(int argc, char **argv);

// Shared with -station:

// The present boards that match the selection of run_options.
std::vector<HidDeviceInfo> matching_boards();

// The arguments for the copy that programs one board: this run's own, less
// what selected the boards, the wait, the log and the file's names, plus
// the file as read once (load_firmware's shared copy) and the board's path.
// After a wait (-w), and always for -station, where boards have just
// appeared, the copy waits as long as a node that cannot be opened yet gets
// in a single run: udev may still be setting it up.
std::vector<std::string> copy_arguments(int argc, char **argv, const HidDeviceInfo &board);

// A copy's outcome in one line: "Done", or its error: the error event among
// its `events` (of -json), else the first two lines of its standard error,
// joined; a copy that the passed-on signal ended before it said anything
// was interrupted before its upload.
std::string copy_outcome(int status, std::string_view err, std::string_view events, int passed_on);
