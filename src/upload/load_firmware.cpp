// Loads the HEX file for the run and checks it against the selected MCU.
#include "upload/load_firmware.h"

#include "os/shared_file.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "output/console.h"
#include "output/events.h"
#include "output/text.h"
#include "upload/firmware_checks.h"

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

}  // namespace

Failure load_firmware(const char *path, const UploadPlan &plan, const char *mcu, bool dry_run)
{
    const std::string shown = printable(path);
    firmware.file = path;
    firmware.mcu = mcu ? mcu : "";
    // Read once here, for this process and every board's copy alike: the
    // checksum is of the very bytes loaded.
    std::string why;
    shared = shared_copy_of(path, why);
    if (shared.empty())
        return unreadable_firmware(shown, printable(why));
    int32_t count = load_hex_file(shared.c_str());
    if (count < 0)
        return unreadable_firmware(shown, printable(hex_read_report.problem));
    for (const FirmwareWarning &warning : firmware_warnings(shown))
        std::fprintf(stderr, "%s\n", warning.text.c_str());
    if (Failure empty = check_firmware_has_data(shown); failed(empty))
        return empty;
    log_verbose("Read \"%s\": %d bytes, %.1f%% usage\n", shown.c_str(), count,
                double(count) / double(plan.code_size) * 100.0);
    if (Failure too_large = check_firmware_fits(plan); failed(too_large))
        return too_large;

    firmware.file_sha256 = file_sha256(shared.c_str());
    firmware.image_sha256 = sent_image_sha256(plan);
    if (!dry_run)  // the dry run shows them in its table
        log_verbose("SHA-256 of the file:  %s\nSHA-256 of the image: %s\n", firmware.file_sha256.c_str(),
                    firmware.image_sha256.c_str());
    event_start(firmware.file, firmware.file_sha256, firmware.image_sha256, firmware.mcu, blocks_to_send(plan));
    return Failure{};
}

const LoggedFirmware &loaded_firmware()
{
    return firmware;
}

const std::string &firmware_shared_path()
{
    return shared;
}
