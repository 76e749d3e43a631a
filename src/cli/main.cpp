// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader.

#include "cli/console.h"
#include "cli/options.h"
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "upload/upload.h"

#include <cstdio>

int main(int argc, char **argv)
{
    read_arguments(argc, argv);
    if (!run_options.hex_path) {
        std::fputs("Filename must be specified\n\n", stderr);
        print_usage();
    }
    if (run_options.code_size == 0) {
        std::fputs("MCU type must be specified\n\n", stderr);
        print_usage();
    }

    std::printf("\n%s%s", BANNER_LINE, AUTHOR_LINE);

    const char *path = run_options.hex_path;
    int32_t count = load_hex_file(path);
    if (count < 0)
        fail("error reading intel hex file \"%s\"", path);
    log_verbose("Read \"%s\": %d bytes, %.1f%% usage\n", path, count,
                double(count) / double(run_options.code_size) * 100.0);

    // Data beyond the flash of the selected part would be dropped without a
    // word: refuse before any device is touched.
    if (run_options.code_size < IMAGE_SIZE && image_range_used(run_options.code_size, IMAGE_SIZE - 1))
        fail("Firmware does not fit in the flash of the selected MCU\n");

    if (run_options.dry_run)
        run_dry_run();
    run_upload();
}
