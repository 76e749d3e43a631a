// The image is what avr-objcopy -O ihex with the EEPROM, fuse, lock and
// signature sections removed writes: every section that is allocated and
// has contents in the file (not .bss, .noinit, notes, debug information),
// at its load address. Like binutils, the load address comes from the
// PT_LOAD program header that holds the section: the segment's physical
// address plus the section's offset into it. That is how .data, whose
// address is in RAM (0x800100), is placed after .text in the flash. A
// section that no segment holds is placed at its own address.
//
// Whatever a file says is checked before it is believed: every header,
// segment, section and note lies inside the file, no two sections or
// segments share a flash byte, and nothing reaches beyond the image. A
// file that breaks one of these is refused, not guessed at.

#include "image/elf_reader.h"

#include "image/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

ElfReadReport elf_read_report;

namespace {

constexpr size_t ELF_HEADER_SIZE = 52;
constexpr size_t PROGRAM_HEADER_SIZE = 32;
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr unsigned ELF_CLASS_32 = 1, ELF_CLASS_64 = 2;
constexpr unsigned ELF_LITTLE_ENDIAN = 1, ELF_BIG_ENDIAN = 2;
constexpr unsigned ELF_TYPE_RELOCATABLE = 1, ELF_TYPE_EXECUTABLE = 2;
constexpr unsigned MACHINE_AVR = 83;
constexpr uint32_t SEGMENT_LOAD = 1;
constexpr uint32_t SECTION_NOBITS = 8;
constexpr uint32_t SECTION_SYMBOL_TABLE = 2;
constexpr size_t SYMBOL_SIZE = 16;
constexpr uint32_t SECTION_FLAG_ALLOC = 2;
constexpr uint32_t SECTION_INDEX_RESERVED = 0xFF00;

// Addresses from here up belong to the EEPROM, fuses, lock bits and the
// signature (the AVR toolchain's 0x810000, 0x820000, 0x830000, 0x840000, ...).
constexpr uint64_t OTHER_SPACES_START = 0x810000;
// The sections of those spaces by name, wherever they are placed.
constexpr std::string_view OTHER_SPACE_SECTIONS[] = {".eeprom", ".fuse", ".lock", ".signature",
                                                     ".user_signatures"};

// A file too large for an AVR program with its debug information.
constexpr long FILE_SIZE_MAX = 64L << 20;

// The file's bytes, every read bounded by their size.
struct Bytes {
    const uint8_t *data;
    size_t size;

    // 1 when size bytes from offset lie inside the file, computed without wrap-around.
    bool holds(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }
    uint32_t word(size_t at) const
    {
        return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
               uint32_t(data[at + 3]) << 24;
    }
    uint16_t half(size_t at) const { return uint16_t(data[at] | data[at + 1] << 8); }
};

struct Segment {
    uint32_t offset, virtual_address, physical_address, file_size, memory_size;
};

struct Section {
    std::string name;
    uint32_t type, flags, address, offset, size, link;
};

// A range of flash bytes and what it comes from, for the overlap test.
struct Placed {
    uint64_t first, end;  // end: one past the last byte
    std::string what;
};

int32_t refused(const std::string &problem)
{
    elf_read_report.problem = problem;
    return ELF_READ_BAD_FILE;
}

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string machine_name(unsigned machine)
{
    struct Machine {
        unsigned number;
        const char *name;
    };
    static constexpr Machine MACHINES[] = {{3, "x86"},      {8, "MIPS"},       {20, "PowerPC"}, {40, "ARM"},
                                           {62, "x86-64"},  {105, "MSP430"},   {183, "AArch64"},
                                           {243, "RISC-V"}, {94, "Xtensa"}};
    for (const Machine &entry : MACHINES)
        if (entry.number == machine)
            return " (" + std::string(entry.name) + ")";
    return "";
}

// The header fields that say what kind of file this is: 32-bit,
// little-endian, an AVR program. Empty when it is one.
std::string kind_problem(const Bytes &file)
{
    if (file.size < 16)
        return "truncated: the ELF header is cut short";
    const unsigned file_class = file.data[4], encoding = file.data[5];
    if (file_class == ELF_CLASS_64)
        return "a 64-bit ELF file, not an AVR program (AVR programs are 32-bit ELF)";
    if (file_class != ELF_CLASS_32)
        return "ELF class " + std::to_string(file_class) + " is neither 32- nor 64-bit";
    if (encoding == ELF_BIG_ENDIAN)
        return "a big-endian ELF file, not an AVR program (AVR programs are little-endian)";
    if (encoding != ELF_LITTLE_ENDIAN)
        return "ELF data encoding " + std::to_string(encoding) + " is neither little- nor big-endian";
    if (file.size < ELF_HEADER_SIZE)
        return "truncated: the ELF header is cut short";
    const unsigned machine = file.half(18);
    if (machine != MACHINE_AVR)
        return "built for machine " + std::to_string(machine) + machine_name(machine) + ", not AVR";
    const unsigned type = file.half(16);
    if (type == ELF_TYPE_RELOCATABLE)
        return "an object file, not a linked program: give the ELF file that the link step wrote";
    if (type != ELF_TYPE_EXECUTABLE)
        return "ELF type " + std::to_string(type) + ", not an executable program";
    return "";
}

std::string read_segments(const Bytes &file, std::vector<Segment> &segments)
{
    const uint32_t table = file.word(28);
    const unsigned count = file.half(44), entry_size = file.half(42);
    if (count == 0)
        return "";
    if (entry_size != PROGRAM_HEADER_SIZE)
        return "program headers of " + std::to_string(entry_size) + " bytes, not 32";
    if (!file.holds(table, uint64_t{count} * PROGRAM_HEADER_SIZE))
        return "truncated: the program headers lie past the end of the file";
    for (unsigned i = 0; i < count; ++i) {
        const size_t at = table + size_t{i} * PROGRAM_HEADER_SIZE;
        if (file.word(at) != SEGMENT_LOAD)
            continue;
        Segment segment{file.word(at + 4), file.word(at + 8), file.word(at + 12), file.word(at + 16),
                        file.word(at + 20)};
        if (!file.holds(segment.offset, segment.file_size))
            return "segment " + std::to_string(i) + " lies past the end of the file";
        if (segment.file_size > segment.memory_size)
            return "segment " + std::to_string(i) + " holds more bytes in the file than in memory";
        segments.push_back(segment);
    }
    return "";
}

std::string read_sections(const Bytes &file, std::vector<Section> &sections)
{
    const uint32_t table = file.word(32);
    const unsigned count = file.half(48), entry_size = file.half(46), names_index = file.half(50);
    if (count == 0)
        return "no section headers: give the ELF file as the linker wrote it";
    if (entry_size != SECTION_HEADER_SIZE)
        return "section headers of " + std::to_string(entry_size) + " bytes, not 40";
    if (count >= SECTION_INDEX_RESERVED || names_index >= count)
        return "the section names' index is out of range";
    if (!file.holds(table, uint64_t{count} * SECTION_HEADER_SIZE))
        return "truncated: the section headers lie past the end of the file";
    const size_t names_header = table + size_t{names_index} * SECTION_HEADER_SIZE;
    const uint32_t names_offset = file.word(names_header + 16), names_size = file.word(names_header + 20);
    if (file.word(names_header + 4) == SECTION_NOBITS || !file.holds(names_offset, names_size))
        return "truncated: the section names lie past the end of the file";
    for (unsigned i = 0; i < count; ++i) {
        const size_t at = table + size_t{i} * SECTION_HEADER_SIZE;
        const uint32_t name = file.word(at);
        Section section{"",               file.word(at + 4),  file.word(at + 8), file.word(at + 12),
                        file.word(at + 16), file.word(at + 20), file.word(at + 24)};
        if (name >= names_size)
            return "section " + std::to_string(i) + "'s name lies outside the section names";
        const char *start = reinterpret_cast<const char *>(file.data + names_offset + name);
        const void *end = std::memchr(start, '\0', names_size - name);
        if (!end)
            return "section " + std::to_string(i) + "'s name does not end";
        section.name.assign(start, static_cast<const char *>(end));
        if (section.type != SECTION_NOBITS && !file.holds(section.offset, section.size))
            return "section " + (section.name.empty() ? std::to_string(i) : section.name) +
                   " lies past the end of the file";
        sections.push_back(std::move(section));
    }
    return "";
}

// The section's load address, as binutils finds it: inside the first
// PT_LOAD segment that holds both its file bytes and its addresses, the
// segment's physical address plus the section's offset into the segment;
// else its own address. When every segment's physical address is 0 and
// there are several, the physical addresses say nothing and the section's
// own address counts.
uint64_t load_address(const Section &section, const std::vector<Segment> &segments)
{
    size_t loaded = 0;
    bool any_physical = false;
    for (const Segment &segment : segments) {
        any_physical |= segment.physical_address != 0;
        loaded += segment.memory_size != 0;
    }
    if (!any_physical && loaded > 1)
        return section.address;
    for (const Segment &segment : segments) {
        const bool in_file = section.offset >= segment.offset &&
                             uint64_t{section.offset} - segment.offset + section.size <= segment.file_size;
        const bool in_memory = section.address >= segment.virtual_address &&
                               uint64_t{section.address} - segment.virtual_address + section.size <=
                                   segment.memory_size;
        if (in_file && in_memory)
            return uint64_t{segment.physical_address} + section.offset - segment.offset;
    }
    return section.address;
}

bool other_space(const Section &section, uint64_t address)
{
    if (address >= OTHER_SPACES_START)
        return true;
    return std::find(std::begin(OTHER_SPACE_SECTIONS), std::end(OTHER_SPACE_SECTIONS), section.name) !=
           std::end(OTHER_SPACE_SECTIONS);
}

// The first two ranges that share a byte, as "sections A and B overlap at
// 0x..." (`kind`: "sections"), or "" when none do.
std::string overlap(std::vector<Placed> ranges, const char *kind)
{
    std::sort(ranges.begin(), ranges.end(), [](const Placed &a, const Placed &b) { return a.first < b.first; });
    for (size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first < ranges[i - 1].end)
            return std::string(kind) + " " + ranges[i - 1].what + " and " + ranges[i].what + " overlap at " + hex(ranges[i].first);
    return "";
}

// The device that avr-libc's note (.note.gnu.avr.deviceinfo) names: a
// note of type 1 and name "AVR" whose description holds six words (flash,
// RAM and EEPROM start and size), then a table of offsets (its length in
// bytes, itself included, then the offset of the device's name) and the
// strings those offsets point into. "" and no problem without the note.
std::string read_device_note(const Bytes &file, const std::vector<Section> &sections, std::string &device)
{
    const Section *note = nullptr;
    for (const Section &section : sections)
        if (section.name == ".note.gnu.avr.deviceinfo" && section.type != SECTION_NOBITS)
            note = &section;
    if (!note)
        return "";
    const std::string malformed = "its device note (.note.gnu.avr.deviceinfo) is malformed";
    const uint64_t end = uint64_t{note->offset} + note->size;
    if (note->size < 16)
        return malformed;
    const uint32_t name_size = file.word(note->offset), description_size = file.word(note->offset + 4);
    const uint32_t type = file.word(note->offset + 8);
    const uint64_t name_at = uint64_t{note->offset} + 12;
    const uint64_t description = name_at + ((uint64_t{name_size} + 3) & ~uint64_t{3});
    if (description > end || description_size > end - description)
        return malformed;
    if (type != 1 || name_size != 4 || std::memcmp(file.data + name_at, "AVR", 4) != 0)
        return "";  // another note: it says nothing about the device
    constexpr uint32_t WORDS = 6 * 4;
    if (description_size < WORDS + 8)
        return malformed;
    const uint32_t offsets_size = file.word(size_t(description) + WORDS);
    if (offsets_size < 8 || offsets_size > description_size - WORDS)
        return malformed;
    const uint64_t strings = description + WORDS + offsets_size;
    const uint32_t strings_size = description_size - WORDS - offsets_size;
    const uint32_t name_offset = file.word(size_t(description) + WORDS + 4);
    if (name_offset >= strings_size)
        return malformed;
    const char *start = reinterpret_cast<const char *>(file.data + strings + name_offset);
    const void *name_end = std::memchr(start, '\0', strings_size - name_offset);
    if (!name_end || name_end == start)
        return malformed;
    device.assign(start, static_cast<const char *>(name_end));
    return "";
}

// The named symbols of the sections placed in the flash (`flash_of`: each
// section's flash address by its index, -1 for one not placed), at their
// flash addresses. A problem leaves `symbols` as far as it was read.
std::string read_flash_symbols(const Bytes &file, const std::vector<Section> &sections,
                               const std::vector<int64_t> &flash_of, std::vector<ElfSymbol> &symbols)
{
    for (const Section &table : sections) {
        if (table.type != SECTION_SYMBOL_TABLE)
            continue;
        if (table.link >= sections.size() || sections[table.link].type == SECTION_NOBITS)
            return "the symbol table's names lie outside the file";
        const Section &names = sections[table.link];
        for (uint64_t at = table.offset; at + SYMBOL_SIZE <= uint64_t{table.offset} + table.size; at += SYMBOL_SIZE) {
            const uint32_t name = file.word(size_t(at)), value = file.word(size_t(at) + 4);
            const uint32_t size = file.word(size_t(at) + 8);
            const unsigned index = file.half(size_t(at) + 14);
            if (name == 0 || index >= sections.size() || flash_of[index] < 0)
                continue;
            if (name >= names.size)
                return "a symbol's name lies outside the symbol names";
            const char *start = reinterpret_cast<const char *>(file.data + names.offset + name);
            const void *end = std::memchr(start, '\0', names.size - name);
            if (!end)
                return "a symbol's name does not end";
            const Section &home = sections[index];
            // Where the symbol lies in its section, and so in the flash.
            if (value < home.address || uint64_t{value} - home.address + size > home.size)
                continue;  // not inside its section's bytes: nothing of it is in the image
            symbols.push_back({std::string(start, static_cast<const char *>(end)),
                               uint32_t(flash_of[index] + (value - home.address)), size});
        }
    }
    return "";
}

}  // namespace

std::vector<ElfSymbol> elf_flash_symbols_named(std::string_view name)
{
    std::vector<ElfSymbol> found;
    for (const ElfSymbol &symbol : elf_read_report.flash_symbols)
        if (symbol.name == name)
            found.push_back(symbol);
    return found;
}

int starts_as_elf(const uint8_t *bytes, size_t size)
{
    return size >= 4 && std::memcmp(bytes, "\x7f" "ELF", 4) == 0;
}

int32_t load_elf_bytes(const uint8_t *bytes, size_t size)
{
    image_reset();
    elf_read_report = ElfReadReport{};
    const Bytes file{bytes, size};
    if (!starts_as_elf(bytes, size))
        return refused("not an ELF file");
    if (std::string problem = kind_problem(file); !problem.empty())
        return refused(problem);

    std::vector<Segment> segments;
    if (std::string problem = read_segments(file, segments); !problem.empty())
        return refused(problem);
    std::vector<Placed> segment_ranges;
    for (size_t i = 0; i < segments.size(); ++i)
        if (segments[i].file_size > 0)
            segment_ranges.push_back({segments[i].physical_address,
                                      uint64_t{segments[i].physical_address} + segments[i].file_size,
                                      std::to_string(i)});
    if (std::string problem = overlap(segment_ranges, "segments"); !problem.empty())
        return refused(problem);

    std::vector<Section> sections;
    if (std::string problem = read_sections(file, sections); !problem.empty())
        return refused(problem);
    if (std::string problem = read_device_note(file, sections, elf_read_report.device); !problem.empty())
        return refused(problem);

    // Where each section with contents for the flash goes.
    std::vector<Placed> placed;
    std::vector<const Section *> placed_sections;
    const uint64_t limit = uint64_t(image_size());
    for (const Section &section : sections) {
        if (!(section.flags & SECTION_FLAG_ALLOC) || section.type == SECTION_NOBITS || section.size == 0)
            continue;
        const uint64_t address = load_address(section, segments);
        if (other_space(section, address)) {
            elf_read_report.left_out.push_back(section.name);
            continue;
        }
        if (address + section.size > limit) {
            elf_read_report.beyond_image = true;
            return refused("section " + section.name + " (" + hex(address) + " to " +
                           hex(address + section.size - 1) + ") reaches beyond address " + hex(limit - 1));
        }
        placed.push_back({address, address + section.size, section.name});
        placed_sections.push_back(&section);
    }
    if (std::string problem = overlap(placed, "sections"); !problem.empty())
        return refused(problem);

    int32_t count = 0;
    std::vector<int64_t> flash_of(sections.size(), -1);
    for (size_t i = 0; i < placed.size(); ++i) {
        const Section &section = *placed_sections[i];
        for (uint32_t j = 0; j < section.size; ++j)
            image_store(uint32_t(placed[i].first) + j, bytes[size_t{section.offset} + j]);
        count += int32_t(section.size);
        flash_of[size_t(&section - sections.data())] = int64_t(placed[i].first);
    }
    elf_read_report.symbols_problem = read_flash_symbols(file, sections, flash_of, elf_read_report.flash_symbols);
    firmware_image.data_byte_count = count;
    firmware_image.end_record_seen = true;  // an ELF file is whole or refused above
    return count;
}

int32_t load_elf_file(const char *path)
{
    image_reset();
    elf_read_report = ElfReadReport{};
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        elf_read_report.problem = std::strerror(errno);
        return ELF_READ_OPEN_FAILED;
    }
    std::vector<uint8_t> bytes;
    uint8_t piece[16384];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0 && long(bytes.size()) <= FILE_SIZE_MAX)
        bytes.insert(bytes.end(), piece, piece + got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        elf_read_report.problem = std::strerror(error);
        return ELF_READ_OPEN_FAILED;
    }
    if (long(bytes.size()) > FILE_SIZE_MAX)
        return refused("larger than 64 MiB: too large for an AVR program");
    return load_elf_bytes(bytes.data(), bytes.size());
}
