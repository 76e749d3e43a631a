// The ELF reader on any bytes: it must never read outside the file (the
// sanitizers see every byte read, the input lying in a buffer of its exact
// size) nor write outside the image, and what it accepts must hang
// together: each byte placed once (overlaps are refused), the count it
// returns the bytes it placed, the same answer for the same bytes.
#include "image/elf_reader.h"
#include "image/firmware_image.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy on the heap, so that a read past its end is a finding.
    std::vector<uint8_t> file(data, data + size);
    const int32_t result = load_elf_bytes(file.data(), file.size());
    if (result < 0) {
        if (result != ELF_READ_BAD_FILE || elf_read_report.problem.empty())
            std::abort();
        return 0;
    }
    if (!elf_read_report.problem.empty() || !firmware_image.end_record_seen)
        std::abort();
    int32_t used = 0;
    for (int32_t address = 0; address < IMAGE_SIZE; ++address) {
        used += firmware_image.image_used[size_t(address)];
        uint8_t read_back = 0;
        image_copy_block(address, 1, &read_back);
        if (read_back != (firmware_image.image_used[size_t(address)] ? firmware_image.image_bytes[size_t(address)] : 0xFF))
            std::abort();
    }
    if (used != result || firmware_image.data_byte_count != result)
        std::abort();
    static FirmwareImage first;
    first = firmware_image;
    const ElfReadReport report = elf_read_report;
    if (load_elf_bytes(file.data(), file.size()) != result || firmware_image.image_bytes != first.image_bytes ||
        firmware_image.image_used != first.image_used || elf_read_report.device != report.device ||
        elf_read_report.left_out != report.left_out)
        std::abort();
    return 0;
}
