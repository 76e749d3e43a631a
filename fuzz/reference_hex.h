// A deliberately simple Intel HEX decoder for the differential fuzz target,
// written straight from the record layout and independent of the reader:
// whole text in memory, one pass per line, no shared code. It follows the
// same rules as the reader (LF, CR and CRLF line ends, Ctrl-Z, fields of one to N hex
// digits, the 64 KiB limit, strict data and address records).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ReferenceImage {
    std::array<uint8_t, 0x10000> bytes;
    std::array<uint8_t, 0x10000> used;
    int64_t count = 0;
    bool accepted = false;
};

inline int reference_field(std::string_view line, size_t at, size_t digits)
{
    int value = -1;
    for (size_t i = 0; i < digits && at + i < line.size(); ++i) {
        char c = line[at + i];
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0)
            break;
        value = (value < 0 ? 0 : value * 16) + d;
    }
    return value;
}

inline ReferenceImage reference_decode(std::string_view input)
{
    ReferenceImage image;
    image.bytes.fill(0xFF);
    image.used.fill(0);

    // The file ends at a Ctrl-Z; a line ends at LF, at CR, or at CR LF.
    std::string_view text = input.substr(0, input.find('\x1A'));

    // Split into lines, remembering whether each had a line end.
    std::vector<std::pair<std::string, bool>> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            line += text[i];
            continue;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        lines.push_back({line, true});
        line.clear();
    }
    if (!line.empty())
        lines.push_back({line, false});

    uint64_t base = 0;
    for (const auto &[full, newline] : lines) {
        if (full.size() > 1022)
            return image;
        if (!full.empty() && full[0] == '\0')
            continue;
        std::string_view line(full.c_str());  // up to the first NUL
        size_t length = line.size() + ((line.size() == full.size() && newline) ? 1 : 0);
        if (line.empty() || line[0] != ':' || length < 11)
            return image;
        int n = reference_field(line, 1, 2);
        if (n < 0 || length < size_t(2 * n + 11))
            return image;
        int address = reference_field(line, 3, 4), type = reference_field(line, 7, 2);
        if (address < 0 || type < 0 || base + uint64_t(address) + uint64_t(n) > 0x10000)
            return image;
        int sum = n + (address >> 8) + (address & 0xFF) + type;
        if (type == 0) {
            image.count += n;
            for (int i = 0; i < n; ++i) {
                int byte = reference_field(line, size_t(9 + 2 * i), 2);
                if (byte < 0)
                    return image;
                image.bytes[size_t(base) + size_t(address + i)] = uint8_t(byte);
                image.used[size_t(base) + size_t(address + i)] = 1;
                sum += byte;
            }
            int check = reference_field(line, size_t(9 + 2 * n), 2);
            if (check < 0 || (sum + check) % 256 != 0)
                return image;
        } else if (type == 1) {
            break;
        } else if (type == 2 || type == 4) {
            int value = reference_field(line, 9, 4), check = reference_field(line, 13, 2);
            if (n != 2 || value < 0 || check < 0 || (sum + (value >> 8) + (value & 0xFF) + check) % 256 != 0)
                return image;
            base = type == 2 ? uint64_t(value) * 16 : uint64_t(value) * 65536;
        }
    }
    image.accepted = true;
    return image;
}
