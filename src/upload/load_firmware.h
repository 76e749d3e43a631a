// Loading the HEX file that a run writes, with its warnings.
#pragma once

// Loads the HEX file into the firmware image. A file that cannot be loaded,
// that holds nothing to write, or whose data does not fit the flash of the
// MCU in run_options ends the run before any device is touched; a file cut
// short or with text after its end is loaded with a warning. With -all, the
// file is first read once into a shared copy, which run_options.hex_path
// then names for the boards' copies of quorvel; messages keep the user's name.
void load_firmware(const char *path);
