// Fuzzes the Intel HEX reader with arbitrary file content and checks its own
// promises: the result is -1, -2 or a count, and a failure always says why; on success the count is the sum
// of the data records' byte counts (every used byte lies inside the 64 KiB
// image by construction: the image is no larger); loading the same bytes
// again gives the same image (no state carries over).
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "memory_file.h"
#include "reference_hex.h"

#include <cstdlib>

namespace {
FirmwareImage first_load;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = memory_file_with(data, size);
    int32_t result = load_hex_file(path.c_str());
    if (result < HEX_READ_BAD_RECORD || (result < 0) != !hex_read_report.problem.empty())
        std::abort();
    if (result < 0)
        return 0;

    if (result != firmware_image.data_byte_count)
        std::abort();
    ReferenceImage reference = reference_decode(std::string_view(reinterpret_cast<const char *>(data), size));
    if (reference.count != result)
        std::abort();

    first_load = firmware_image;
    if (load_hex_file(path.c_str()) != result || firmware_image.image_bytes != first_load.image_bytes ||
        firmware_image.image_used != first_load.image_used)
        std::abort();
    return 0;
}
