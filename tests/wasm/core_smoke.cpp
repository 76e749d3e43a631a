// The core compiled to WebAssembly: loads a HEX or ELF file, checks it against a
// part and walks the upload against the counter, printing what the native
// dry run prints for the same file, so that the two can be compared.
#include "image/firmware_file.h"
#include "image/firmware_image.h"
#include "upload/firmware_checks.h"
#include "upload/tally.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    const bool above64k = argc == 5 && std::strcmp(argv[4], "-above64k") == 0;
    if (argc != 4 && !above64k) {
        std::fprintf(stderr, "usage: core_smoke CODE_SIZE BLOCK_SIZE FILE.hex [-above64k]\n");
        return 2;
    }
    const UploadPlan plan{int32_t(std::atoi(argv[1])), int32_t(std::atoi(argv[2]))};
    // As the command line does with -above64k: the image covers the whole flash.
    if (above64k)
        image_set_size(plan.code_size);
    if (load_firmware_file(argv[3], FirmwareInput{false, 0}) < 0) {
        std::printf("%s\n", refused_firmware_file(argv[3], plan).message.c_str());
        return 1;
    }
    Failure refused = check_firmware_has_data(argv[3]);
    if (!failed(refused))
        refused = check_firmware_fits(plan);
    if (!failed(refused))
        refused = check_firmware_clear_of_boot_section(plan);
    if (failed(refused)) {
        std::printf("%s", refused.message.c_str());
        return 1;
    }
    const UploadTally t = tally_upload(plan, nullptr);
    std::printf("Blocks:     %d of %d bytes\n"
                "Reports:    %d\n"
                "File data:  %d bytes\n"
                "Least time: %.2f s\n"
                "            %s (image sent)\n",
                t.blocks, t.block_size, t.reports, t.file_bytes, t.least_seconds,
                sent_image_sha256(plan).c_str());
    return 0;
}
