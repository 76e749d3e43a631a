// Reads a HID report descriptor: does it declare the bootloader's report.

#include "hid/report_descriptor.h"

#include <algorithm>
#include <vector>

namespace {

// The bits of the output report without a report ID that a HID report
// descriptor declares: the sum of Report Size x Report Count over its Output
// items. -1 when it uses report IDs or cannot be parsed.
long long plain_output_report_bits(const uint8_t *item, size_t size)
{
    struct Globals {
        uint32_t report_size = 0, report_count = 0;
    } globals;
    std::vector<Globals> pushed;
    long long bits = 0;
    for (size_t at = 0; at < size;) {
        uint8_t prefix = item[at];
        if (prefix == 0xFE) {  // a long item: skip its data
            if (at + 2 >= size)
                return -1;
            at += 3 + item[at + 1];
            continue;
        }
        size_t length = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (at + 1 + length > size)
            return -1;
        uint32_t value = 0;
        for (size_t i = 0; i < length; ++i)
            value |= uint32_t(item[at + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
        case 0x74:  // Report Size
            globals.report_size = value;
            break;
        case 0x94:  // Report Count
            globals.report_count = value;
            break;
        case 0x84:  // Report ID
            return -1;
        case 0x90:  // Output
            bits += std::min<long long>(1LL << 32, 1LL * globals.report_size * globals.report_count);
            break;
        case 0xA4:  // Push
            pushed.push_back(globals);
            break;
        case 0xB4:  // Pop
            if (pushed.empty())
                return -1;
            globals = pushed.back();
            pushed.pop_back();
            break;
        }
        at += 1 + length;
    }
    return bits;
}

}  // namespace

int descriptor_takes_bootloader_reports(const uint8_t *descriptor, size_t size)
{
    return plain_output_report_bits(descriptor, size) == 64 * 8;
}
