// Loading the HEX file that a run writes, with its warnings.
#pragma once

#include "output/run_log.h"

// Loads the HEX file into the firmware image. A file that cannot be loaded,
// that holds nothing to write, or whose data does not fit the flash of the
// MCU in run_options ends the run before any device is touched; a file cut
// short or with text after its end is loaded with a warning. The file is
// first read once into a shared copy, which run_options.hex_path then names
// (for the boards' copies of quorvel under -all and -station); messages keep
// the user's name. Then the checksums are known, said with -v and in the
// start event, and the -log= file is opened.
void load_firmware(const char *path);

// The firmware as load_firmware read it: the name given, the SHA-256 of the
// file's bytes and of the image bytes sent.
const LoggedFirmware &loaded_firmware();

// The path by which this process and every board's copy of quorvel read
// the file as it was read once: a pipe or a process substitution can be
// read only once. Empty before load_firmware.
const std::string &firmware_shared_path();
