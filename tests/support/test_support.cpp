#include "test_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#ifndef QUORVEL_BINARY
#error "QUORVEL_BINARY must name the built tool"
#endif

ProcessResult run_quorvel(const std::vector<std::string> &arguments, const WhileRunning &while_running)
{
    std::vector<std::string> argv{QUORVEL_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_process(argv, while_running);
}

std::string example_hex_path()
{
    return std::string(QUORVEL_SOURCE_DIR) + "/examples/blink/blink.hex";
}

std::string write_scratch_file(const std::string &name, std::string_view content)
{
    std::string path = scratch_dir() + "/" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), std::streamsize(content.size()));
    return path;
}

std::string read_whole_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string hex_record(uint8_t type, uint16_t address, const std::vector<uint8_t> &data)
{
    unsigned sum = unsigned(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char field[16];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", unsigned(data.size()), unsigned(address),
                  unsigned(type));
    std::string line = field;
    for (uint8_t byte : data) {
        std::snprintf(field, sizeof field, "%02X", unsigned(byte));
        line += field;
        sum += byte;
    }
    std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::string hex_file_for(const std::map<uint32_t, uint8_t> &bytes, size_t record_size)
{
    std::string text;
    uint32_t upper = 0;
    auto at = bytes.begin();
    while (at != bytes.end()) {
        uint32_t start = at->first;
        if ((start >> 16) != upper) {
            upper = start >> 16;
            text += hex_record(4, 0, {uint8_t(upper >> 8), uint8_t(upper)});
        }
        // A record holds consecutive addresses and does not cross 64 KiB.
        std::vector<uint8_t> data;
        while (at != bytes.end() && data.size() < record_size && at->first == start + data.size() &&
               (at->first >> 16) == upper) {
            data.push_back(at->second);
            ++at;
        }
        text += hex_record(0, uint16_t(start), data);
    }
    return text + ":00000001FF\n";
}

std::map<uint32_t, uint8_t> pattern_bytes(uint32_t first, uint32_t size)
{
    std::map<uint32_t, uint8_t> bytes;
    for (uint32_t address = first; address < first + size; ++address)
        bytes[address] = uint8_t(address * 7 + (address >> 8) * 13);
    return bytes;
}

std::string sha256sum(const std::string &path)
{
    return run_process({"/usr/bin/sha256sum", path}).out.substr(0, 64);
}
