// Loads the HEX file for the run and checks it against the selected MCU.
#include "runs/run_end.h"
#include "upload/load_firmware.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "output/text.h"
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "copies/copies.h"
#include "upload/protocol.h"

#include <cstdio>
#include <string>

namespace {

LoggedFirmware firmware;
std::string shared;  // the path of the copy read once

// The SHA-256 of the file's bytes, as read now.
std::string file_sha256(const char *path)
{
    Sha256 sum;
    sha256_start(sum);
    if (FILE *file = std::fopen(path, "rb")) {
        uint8_t buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            sha256_add(sum, buffer, got);
        std::fclose(file);
    }
    return sha256_hex(sum);
}

// The highest address that the file gave a byte for.
int32_t highest_address()
{
    int32_t address = IMAGE_SIZE - 1;
    while (address > 0 && !firmware_image.image_used[size_t(address)])
        --address;
    return address;
}

}  // namespace

void load_firmware(const char *path)
{
    std::string shown = printable(path);
    firmware.file = path;
    // Read once here, for this process and every board's copy alike: the
    // checksum is of the very bytes loaded.
    std::string why;
    shared = shared_copy_of(path, why);
    if (shared.empty())
        fail("error reading intel hex file \"%s\"\n%s", shown.c_str(), printable(why).c_str());
    path = run_options.hex_path = shared.c_str();
    int32_t count = load_hex_file(path);
    if (count < 0)
        fail("error reading intel hex file \"%s\"\n%s", shown.c_str(),
             printable(hex_read_report.problem).c_str());
    if (!firmware_image.end_record_seen)
        std::fprintf(stderr, "quorvel: warning: \"%s\" has no end-of-file record: it may be cut short\n",
                     shown.c_str());
    if (hex_read_report.text_after_end)
        std::fprintf(stderr,
                     "quorvel: warning: \"%s\": text after the end-of-file record is ignored (two files "
                     "joined together?)\n",
                     shown.c_str());
    // An upload of an empty image would erase the application and report success.
    if (!image_range_used(0, IMAGE_SIZE - 1))
        fail("\"%s\" holds no data: there is nothing to write\nIt has no data records within the first "
             "64 KiB: check that it is the firmware's HEX file and that its build succeeded\n",
             shown.c_str());
    log_verbose("Read \"%s\": %d bytes, %.1f%% usage\n", shown.c_str(), count,
                double(count) / double(run_options.code_size) * 100.0);

    // Data beyond the flash of the selected part would be dropped without a
    // word: refuse before any device is touched.
    if (run_options.code_size < IMAGE_SIZE && image_range_used(run_options.code_size, IMAGE_SIZE - 1))
        fail("Firmware does not fit in the flash of the selected MCU\nThe MCU has %d KiB of flash (up to "
             "0x%04X), but the file has data up to 0x%04X: check -mmcu= and that the file was built for this "
             "MCU\n",
             int(run_options.code_size / 1024), unsigned(run_options.code_size - 1),
             unsigned(highest_address()));

    firmware.file_sha256 = file_sha256(path);
    firmware.image_sha256 = sent_image_sha256();
    if (!run_options.dry_run)  // the dry run shows them in its table
        log_verbose("SHA-256 of the file:  %s\nSHA-256 of the image: %s\n", firmware.file_sha256.c_str(),
                    firmware.image_sha256.c_str());
    event_start(firmware.file, firmware.file_sha256, firmware.image_sha256, run_options.mcu,
                blocks_to_send());
    firmware.mcu = run_options.mcu ? run_options.mcu : "";
    if (run_options.log_path) {
        Failure opened = run_log_open(run_options.log_path, firmware);
        if (failed(opened))
            fail_with(opened);
    }
}

const std::string &firmware_shared_path()
{
    return shared;
}

const LoggedFirmware &loaded_firmware()
{
    return firmware;
}
