// Loading the firmware file (Intel HEX, ELF or raw binary) that a run writes, with its checks and warnings.
#pragma once

#include "image/firmware_file.h"
#include "output/failure.h"
#include "output/run_log.h"
#include "upload/protocol.h"

#include <string>

// Reads the file once into a shared copy (for the boards' copies of
// quorvel under -all and -station: a pipe or a process substitution can be
// read only once), loads it into the firmware image and checks it against
// the part: a file that cannot be read, that holds nothing to write, or
// whose data does not fit the flash is refused (FAILURE_FIRMWARE) before
// any device is touched; one cut short or with text after its end is loaded
// with a warning on standard error. Messages keep the user's name. Then,
// when `checksums` (a run that shows or logs them), the checksums are
// known: said with -v (but for the dry run, which shows them in its table)
// and in the start event; without, they stay empty.
// The file is read by its content (ELF or Intel HEX) or, with
// `input.binary`, as a raw binary; ELF firmware built for a part other
// than `mcu` is refused. With `for_copies` (-all, -station) the file is
// read once into a file that every board's copy reads; a file that was
// written to while it was read is refused (FAILURE_FIRMWARE).
Failure load_firmware(const char *path, const FirmwareInput &input, const UploadPlan &plan, const char *mcu,
                      bool dry_run, bool checksums, bool for_copies);

// The firmware as load_firmware read it: the name given, the SHA-256 of the
// file's bytes and of the image bytes sent, the MCU.
const LoggedFirmware &loaded_firmware();

// The path by which this process and every board's copy of quorvel read
// the file as it was read once. Empty before load_firmware.
const std::string &firmware_shared_path();
