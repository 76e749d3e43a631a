// Differential fuzzing: whatever the reader accepts, the simple reference
// decoder must decode to the same bytes and the same used map.
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "memory_file.h"
#include "reference_hex.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int32_t result = load_hex_file(memory_file_with(data, size).c_str());
    ReferenceImage reference = reference_decode(std::string_view(reinterpret_cast<const char *>(data), size));
    if ((result >= 0) != reference.accepted)
        std::abort();
    if (result < 0)
        return 0;
    // The same bytes used; the image's bytes count only where they are.
    if (std::memcmp(firmware_image.image_used.data(), reference.used.data(), 0x10000) != 0)
        std::abort();
    for (size_t address = 0; address < 0x10000; ++address)
        if (reference.used[address] && firmware_image.image_bytes[address] != reference.bytes[address])
            std::abort();
    return 0;
}
