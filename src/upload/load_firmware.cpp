// Loads the HEX file for the run and checks it against the selected MCU.
#include "upload/load_firmware.h"

#include "os/shared_file.h"
#include "image/firmware_file.h"
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

// A file read piece by piece for its checksum.
struct FilePieces {
    FILE *file;
    uint8_t buffer[16384];
};

int next_file_piece(void *context, const uint8_t *&bytes, size_t &size)
{
    FilePieces &pieces = *static_cast<FilePieces *>(context);
    size = std::fread(pieces.buffer, 1, sizeof pieces.buffer, pieces.file);
    bytes = pieces.buffer;
    if (size > 0)
        return 1;
    return std::ferror(pieces.file) ? -1 : 0;
}

// The SHA-256 of the file's bytes, as read now; empty when it cannot be
// read or summed.
std::string file_sha256(const char *path)
{
    static FilePieces pieces;
    pieces.file = std::fopen(path, "rb");
    if (!pieces.file)
        return "";
    std::string sum = sha256_of_pieces(next_file_piece, &pieces);
    std::fclose(pieces.file);
    return sum;
}

}  // namespace

Failure load_firmware(const char *path, const FirmwareInput &input, const UploadPlan &plan, const char *mcu,
                      bool dry_run, bool checksums, bool for_copies)
{
    const std::string shown = printable(path);
    firmware.file = path;
    firmware.mcu = mcu ? mcu : "";
    // Read once here, for this process and every board's copy alike, or
    // kept open for this process alone: the checksum is of the very bytes
    // loaded.
    std::string why;
    shared = shared_copy_of(path, for_copies, why);
    if (shared.empty())
        return unreadable_firmware(shown, printable(why));
    int32_t count = load_firmware_file(shared.c_str(), input);
    if (count < 0)
        return refused_firmware_file(shown, plan);
    // Firmware built for another part is refused before anything else is said of it.
    if (Failure other_part = check_firmware_device(shown, mcu); failed(other_part))
        return other_part;
    for (const FirmwareWarning &warning : firmware_warnings(shown))
        std::fprintf(stderr, "%s\n", warning.text.c_str());
    if (Failure empty = check_firmware_has_data(shown); failed(empty))
        return empty;
    // The HEX file's line as it always was; the other formats are named.
    const double usage = double(count) / double(plan.code_size) * 100.0;
    if (firmware_read.format == FORMAT_HEX)
        log_verbose("Read \"%s\": %d bytes, %.1f%% usage\n", shown.c_str(), count, usage);
    else
        log_verbose("Read \"%s\" (%s): %d bytes, %.1f%% usage\n", shown.c_str(),
                    firmware_format_name(firmware_read.format), count, usage);
    if (const std::string left_out = left_out_sections_text(); !left_out.empty())
        log_verbose("%s\n", left_out.c_str());
    if (Failure too_large = check_firmware_fits(plan); failed(too_large))
        return too_large;
    if (Failure boot_section = check_firmware_clear_of_boot_section(plan); failed(boot_section))
        return boot_section;

    // The checksums only for a run that shows or logs them: on a full
    // image they cost more than the rest of the load.
    if (checksums) {
        firmware.file_sha256 = file_sha256(shared.c_str());
        firmware.image_sha256 = sent_image_sha256(plan);
        if (firmware.file_sha256.empty() || firmware.image_sha256.empty())
            return failure(FAILURE_SYSTEM,
                           "quorvel: Cannot compute the SHA-256 of \"%s\" or of its image\nNothing was written. "
                           "Check that the file is readable, and report this if it is\n",
                           shown.c_str());
    }
    if (!shared_file_unchanged())
        return failure(FAILURE_FIRMWARE,
                       "quorvel: \"%s\" changed while quorvel was reading it\nNothing was written. Run "
                       "quorvel again once whatever writes the file has finished\n",
                       shown.c_str());
    if (checksums) {
        if (!dry_run)  // the dry run shows them in its table
            log_verbose("SHA-256 of the file:  %s\nSHA-256 of the image: %s\n", firmware.file_sha256.c_str(),
                        firmware.image_sha256.c_str());
    }
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
