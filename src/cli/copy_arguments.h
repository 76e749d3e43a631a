// The command line of the copy of quorvel that programs one board under
// -all and -station, made from this run's settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The arguments after the program name: -json first (this run reads the
// copy's events), then every option that the option table passes on as
// run_options has it, then, after a wait (-w) and always for -station,
// where boards have just appeared, -w= of `settle_seconds`: the copy waits
// as long as a node that cannot be opened yet gets in a single run, for
// udev may still be setting it up. With -log=, the log and -log-name= of
// the file's name as this run was given it (empty under -boot): the copy writes its own board's
// line when it ends. Last -device= of the board's path and
// the file, as read once for every copy (load_firmware's shared copy);
// an empty `file` (-boot, which reads none) adds nothing.
std::vector<std::string> copy_arguments(std::string_view board_path, std::string_view file,
                                        double settle_seconds);
