// The ELF reader: real avr-gcc programs against avr-objcopy's HEX of the
// same files, and crafted files that must be refused.
#include "image/elf_reader.h"

#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "image/mcu_table.h"
#include "upload/protocol.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace {

// ---- Crafted files -------------------------------------------------------

void put16(std::string &file, size_t at, uint32_t value)
{
    file[at] = char(value & 0xFF);
    file[at + 1] = char(value >> 8 & 0xFF);
}

void put32(std::string &file, size_t at, uint32_t value)
{
    put16(file, at, value & 0xFFFF);
    put16(file, at + 2, value >> 16);
}

struct CraftSection {
    std::string name;
    uint32_t type;  // 1 PROGBITS, 7 NOTE, 8 NOBITS
    uint32_t flags; // 2 ALLOC
    uint32_t address;
    std::string bytes;
};

struct CraftSegment {
    uint32_t virtual_address, physical_address;
    size_t section;  // the section whose bytes it holds (index into the list)
};

// Where the pieces of a crafted file are, for the cases that spoil one.
struct Crafted {
    std::string file;
    size_t program_headers, section_headers;  // offsets of the tables
    std::vector<size_t> offsets;              // each section's offset
};

constexpr size_t HEADER = 52, PROGRAM_HEADER = 32, SECTION_HEADER = 40;

// A 32-bit little-endian AVR executable with these sections (after the
// null section; the section names come last) and PT_LOAD segments.
Crafted craft(const std::vector<CraftSection> &sections, const std::vector<CraftSegment> &segments)
{
    Crafted c;
    std::string &f = c.file;
    f.assign(HEADER, '\0');
    f.replace(0, 7, "\x7f" "ELF\x01\x01\x01");
    put16(f, 16, 2);   // executable
    put16(f, 18, 83);  // AVR
    put32(f, 20, 1);
    c.program_headers = HEADER;
    f.append(segments.size() * PROGRAM_HEADER, '\0');
    for (const CraftSection &s : sections) {
        c.offsets.push_back(f.size());
        f += s.bytes;
    }
    std::string names(1, '\0');
    std::vector<size_t> name_at;
    for (const CraftSection &s : sections) {
        name_at.push_back(names.size());
        names += s.name + '\0';
    }
    const size_t names_name = names.size();
    names += std::string(".shstrtab") + '\0';
    const size_t names_offset = f.size();
    f += names;
    while (f.size() % 4)
        f += '\0';
    c.section_headers = f.size();
    f.append((sections.size() + 2) * SECTION_HEADER, '\0');
    for (size_t i = 0; i < sections.size(); ++i) {
        const size_t at = c.section_headers + (i + 1) * SECTION_HEADER;
        put32(f, at, uint32_t(name_at[i]));
        put32(f, at + 4, sections[i].type);
        put32(f, at + 8, sections[i].flags);
        put32(f, at + 12, sections[i].address);
        put32(f, at + 16, uint32_t(c.offsets[i]));
        put32(f, at + 20, uint32_t(sections[i].bytes.size()));
    }
    const size_t names_header = c.section_headers + (sections.size() + 1) * SECTION_HEADER;
    put32(f, names_header, uint32_t(names_name));
    put32(f, names_header + 4, 3);  // STRTAB
    put32(f, names_header + 16, uint32_t(names_offset));
    put32(f, names_header + 20, uint32_t(names.size()));
    for (size_t i = 0; i < segments.size(); ++i) {
        const size_t at = c.program_headers + i * PROGRAM_HEADER;
        const CraftSection &s = sections[segments[i].section];
        const uint32_t file_size = s.type == 8 ? 0 : uint32_t(s.bytes.size());
        put32(f, at, 1);  // PT_LOAD
        put32(f, at + 4, uint32_t(c.offsets[segments[i].section]));
        put32(f, at + 8, segments[i].virtual_address);
        put32(f, at + 12, segments[i].physical_address);
        put32(f, at + 16, file_size);
        put32(f, at + 20, uint32_t(s.bytes.size()));
    }
    put32(f, 28, uint32_t(c.program_headers));
    put32(f, 32, uint32_t(c.section_headers));
    put16(f, 40, HEADER);
    put16(f, 42, PROGRAM_HEADER);
    put16(f, 44, uint32_t(segments.size()));
    put16(f, 46, SECTION_HEADER);
    put16(f, 48, uint32_t(sections.size() + 2));
    put16(f, 50, uint32_t(sections.size() + 1));
    return c;
}

// avr-libc's device note for this part.
std::string device_note(const std::string &device)
{
    std::string description(24, '\0');
    std::string offsets(8, '\0');
    put32(offsets, 0, 8);
    put32(offsets, 4, 1);
    description += offsets + '\0' + device + '\0';
    std::string note(12, '\0');
    put32(note, 0, 4);
    put32(note, 4, uint32_t(description.size()));
    put32(note, 8, 1);
    note += std::string("AVR") + '\0' + description;
    while (note.size() % 4)
        note += '\0';
    return note;
}

const std::string TEXT("\x0c\x94\x34\x00\x0c\x94\x3e\x00\x11\x24\x1f\xbe", 12);
const std::string DATA = std::string("\x09\x08\x07\x00\xff", 5);

// .text at 0, .data in RAM loaded after .text, .bss, .eeprom, the device note.
Crafted typical(const std::string &device = "atmega32u4")
{
    return craft({{".text", 1, 6, 0, TEXT},
                  {".data", 1, 3, 0x800100, DATA},
                  {".bss", 8, 3, 0x800105, std::string(4, '\0')},
                  {".eeprom", 1, 3, 0x810000, "\x01\x02"},
                  {".note.gnu.avr.deviceinfo", 7, 0, 0, device_note(device)}},
                 {{0, 0, 0}, {0x800100, uint32_t(TEXT.size()), 1}, {0x800105, 0x800105, 2}, {0x810000, 0x810000, 3}});
}

int32_t load(const std::string &file)
{
    return load_elf_bytes(reinterpret_cast<const uint8_t *>(file.data()), file.size());
}

TEST(ElfReader, PlacesEachSectionAtItsLoadAddress)
{
    ASSERT_EQ(load(typical().file), int32_t(TEXT.size() + DATA.size())) << elf_read_report.problem;
    const std::string expected = TEXT + DATA;
    for (uint32_t a = 0; a < 0x100; ++a) {
        const bool used = a < expected.size();
        ASSERT_EQ(firmware_image.image_used[a], used) << a;
        if (used) {
            ASSERT_EQ(firmware_image.image_bytes[a], uint8_t(expected[a])) << a;
        }
    }
    EXPECT_FALSE(image_range_used(0x100, IMAGE_SIZE - 1));
    EXPECT_EQ(elf_read_report.device, "atmega32u4");
    EXPECT_EQ(elf_read_report.left_out, std::vector<std::string>{".eeprom"});
    EXPECT_TRUE(firmware_image.end_record_seen);
}

// A section that no segment holds goes to its own address; one named for
// another space is left out wherever it is.
TEST(ElfReader, SectionsOutsideSegmentsAndOtherSpaces)
{
    const Crafted c = craft({{".text", 1, 6, 0x200, TEXT},
                             {".fuse", 1, 3, 0x1000, "\xff\xd8"},
                             {".signature", 1, 3, 0x840000, "\x1e\x95\x87"},
                             {".comment", 1, 0, 0, "GCC"}},
                            {});
    ASSERT_EQ(load(c.file), int32_t(TEXT.size())) << elf_read_report.problem;
    EXPECT_TRUE(image_range_used(0x200, 0x200 + int32_t(TEXT.size()) - 1));
    EXPECT_FALSE(image_range_used(0, 0x1FF));
    EXPECT_FALSE(image_range_used(0x200 + int32_t(TEXT.size()), IMAGE_SIZE - 1));
    EXPECT_EQ(elf_read_report.left_out, (std::vector<std::string>{".fuse", ".signature"}));
    EXPECT_EQ(elf_read_report.device, "");
}

struct Refusal {
    const char *name;
    std::function<void(Crafted &)> spoil;
    const char *problem;
};

TEST(ElfReader, RefusesWhatIsNotAnAvrProgramOrBreaksARule)
{
    const Refusal cases[] = {
        {"ARM", [](Crafted &c) { put16(c.file, 18, 40); }, "built for machine 40 (ARM), not AVR"},
        {"unknown machine", [](Crafted &c) { put16(c.file, 18, 9999); }, "built for machine 9999, not AVR"},
        {"64-bit", [](Crafted &c) { c.file[4] = 2; },
         "a 64-bit ELF file, not an AVR program (AVR programs are 32-bit ELF)"},
        {"big-endian", [](Crafted &c) { c.file[5] = 2; },
         "a big-endian ELF file, not an AVR program (AVR programs are little-endian)"},
        {"object file", [](Crafted &c) { put16(c.file, 16, 1); },
         "an object file, not a linked program: give the ELF file that the link step wrote"},
        {"header cut short", [](Crafted &c) { c.file.resize(40); }, "truncated: the ELF header is cut short"},
        {"magic only", [](Crafted &c) { c.file.resize(4); }, "truncated: the ELF header is cut short"},
        {"program headers past the end",
         [](Crafted &c) { put32(c.file, 28, uint32_t(c.file.size() - 40)); },
         "truncated: the program headers lie past the end of the file"},
        {"section headers cut off", [](Crafted &c) { c.file.resize(c.file.size() - 10); },
         "truncated: the section headers lie past the end of the file"},
        {"segment past the end",
         [](Crafted &c) { put32(c.file, c.program_headers + 16, uint32_t(c.file.size())); },
         "segment 0 lies past the end of the file"},
        {"segment offset wraps",
         [](Crafted &c) { put32(c.file, c.program_headers + 4, 0xFFFFFFF0u); },
         "segment 0 lies past the end of the file"},
        {"section past the end",
         [](Crafted &c) { put32(c.file, c.section_headers + SECTION_HEADER + 16, uint32_t(c.file.size() - 4)); },
         "section .text lies past the end of the file"},
        {"segments overlap",
         [](Crafted &c) { put32(c.file, c.program_headers + PROGRAM_HEADER + 12, 4); },
         "segments 0 and 1 overlap at 0x4"},
        {"sections overlap",  // .data loaded at its own address, which .text holds
         [](Crafted &c) {
             put32(c.file, c.program_headers + 12, 0);
             put32(c.file, c.program_headers + PROGRAM_HEADER, 0);  // .data's segment is no PT_LOAD
             put32(c.file, c.section_headers + 2 * SECTION_HEADER + 12, 8);
         },
         "sections .text and .data overlap at 0x8"},
        {"beyond the image",
         [](Crafted &c) { put32(c.file, c.program_headers + 12, 0xFFFA); },
         "section .text (0xFFFA to 0x10005) reaches beyond address 0xFFFF"},
        {"RAM address without a load address",
         [](Crafted &c) { put32(c.file, c.program_headers + PROGRAM_HEADER, 0); },
         "section .data (0x800100 to 0x800104) reaches beyond address 0xFFFF"},
        {"no section headers", [](Crafted &c) { put16(c.file, 48, 0); },
         "no section headers: give the ELF file as the linker wrote it"},
        {"section header size", [](Crafted &c) { put16(c.file, 46, 64); }, "section headers of 64 bytes, not 40"},
        {"names index", [](Crafted &c) { put16(c.file, 50, 60); }, "the section names' index is out of range"},
        {"name outside the names",
         [](Crafted &c) { put32(c.file, c.section_headers + SECTION_HEADER, 0x7FFFFFFF); },
         "section 1's name lies outside the section names"},
        {"device note cut short",
         [](Crafted &c) { put32(c.file, c.section_headers + 5 * SECTION_HEADER + 20, 20); },
         "its device note (.note.gnu.avr.deviceinfo) is malformed"},
        {"device name not ended",
         [](Crafted &c) {
             const size_t note = c.offsets[4];
             put32(c.file, note + 4, 24 + 8 + 5);  // the description stops inside the name
         },
         "its device note (.note.gnu.avr.deviceinfo) is malformed"},
    };
    for (const Refusal &r : cases) {
        Crafted c = typical();
        r.spoil(c);
        EXPECT_EQ(load(c.file), ELF_READ_BAD_FILE) << r.name;
        EXPECT_EQ(elf_read_report.problem, r.problem) << r.name;
    }
}

TEST(ElfReader, DeviceNoteNamesThePart)
{
    for (const char *device : {"atmega16u2", "at90usb1287", "atmega8u2"}) {
        ASSERT_GT(load(typical(device).file), 0) << elf_read_report.problem;
        EXPECT_EQ(elf_read_report.device, device);
    }
}

TEST(ElfReader, FileThatCannotBeOpened)
{
    EXPECT_EQ(load_elf_file((scratch_dir() + "/no-such.elf").c_str()), ELF_READ_OPEN_FAILED);
    EXPECT_EQ(elf_read_report.problem, "No such file or directory");
    EXPECT_EQ(load_elf_file(write_scratch_file("app.elf", typical().file).c_str()),
              int32_t(TEXT.size() + DATA.size()));
}

// ---- Real programs against binutils --------------------------------------

struct Program {
    std::string part, name;
};

std::vector<Program> built_programs()
{
    std::vector<Program> programs;
    std::ifstream list(std::string(QUORVEL_ELF_PROGRAMS) + "/programs.txt");
    Program p;
    while (list >> p.part >> p.name)
        programs.push_back(p);
    return programs;
}

std::vector<CommandReport> sent_reports;

int record_report(const CommandReport &report, double)
{
    sent_reports.push_back(report);
    return 1;
}
int drained()
{
    return 1;
}
void no_pause(double) {}
void no_block(int32_t, int32_t) {}

// The reports that an upload of the loaded image sends to this part.
std::vector<CommandReport> upload_reports(const std::string &part)
{
    UploadPlan plan{};
    EXPECT_TRUE(find_mcu(part.c_str(), plan.code_size, plan.block_size)) << part;
    sent_reports.clear();
    const UploadTransport transport{record_report, drained, no_pause, no_block, nullptr};
    EXPECT_EQ(upload_image(transport, plan), UPLOAD_DONE) << part;
    return sent_reports;
}

TEST(ElfReader, RealProgramsGiveTheImageOfAvrObjcopysHexFile)
{
    const std::vector<Program> programs = built_programs();
    if (std::string(QUORVEL_ELF_PROGRAMS).empty() || programs.empty())
        GTEST_SKIP() << "SKIPPED: avr-gcc or avr-objcopy was not found when the tests were configured: install "
                        "gcc-avr, avr-libc and binutils-avr, then run cmake again";
    std::set<std::string> parts;
    for (const Program &p : programs) {
        SCOPED_TRACE(p.name);
        // As -above64k does: the image covers a 128 KiB part's whole flash.
        int32_t code_size = 0, block_size = 0;
        ASSERT_TRUE(find_mcu(p.part.c_str(), code_size, block_size));
        image_set_size(std::max(code_size, IMAGE_SIZE));
        const std::string base = std::string(QUORVEL_ELF_PROGRAMS) + "/" + p.name;
        const int32_t from_hex = load_hex_file((base + ".hex").c_str());
        ASSERT_GT(from_hex, 0) << hex_read_report.problem;
        const FirmwareImage hex_image = firmware_image;
        const std::vector<CommandReport> hex_reports = upload_reports(p.part);

        ASSERT_EQ(load_elf_file((base + ".elf").c_str()), from_hex) << elf_read_report.problem;
        EXPECT_TRUE(firmware_image.image_used == hex_image.image_used);
        EXPECT_TRUE(firmware_image.image_bytes == hex_image.image_bytes);
        const std::vector<CommandReport> elf_reports = upload_reports(p.part);
        ASSERT_EQ(elf_reports.size(), hex_reports.size());
        for (size_t i = 0; i < elf_reports.size(); ++i)
            ASSERT_EQ(elf_reports[i].bytes, hex_reports[i].bytes) << "report " << i;
        EXPECT_EQ(elf_read_report.device, p.part);
        if (p.name.starts_with("spaces-")) {
            EXPECT_EQ(elf_read_report.left_out, (std::vector<std::string>{".eeprom", ".fuse", ".lock"}));
            // The bootloader section high up made it in.
            EXPECT_TRUE(image_range_used(code_size / 2, image_size() - 1));
        }
        parts.insert(p.part);
    }
    image_set_size(IMAGE_SIZE);
    EXPECT_EQ(parts.size(), 5u) << "a program for each size of the part table";
}

// Every symbol to which avr-nm gives a flash address (below the RAM's
// 0x800000) and a size is found there with that size; an initialised
// variable in RAM is found where the flash holds its initial value (after
// .text); one that starts as zero (.bss) has no bytes in the flash.
TEST(ElfReader, SymbolsInTheFlashAreWhereAvrNmPutsThem)
{
    const std::vector<Program> programs = built_programs();
    if (std::string(QUORVEL_ELF_PROGRAMS).empty() || programs.empty())
        GTEST_SKIP() << "SKIPPED: avr-gcc or avr-objcopy was not found when the tests were configured";
    for (const Program &p : programs) {
        SCOPED_TRACE(p.name);
        int32_t code_size = 0, block_size = 0;
        ASSERT_TRUE(find_mcu(p.part.c_str(), code_size, block_size));
        image_set_size(std::max(code_size, IMAGE_SIZE));
        const std::string base = std::string(QUORVEL_ELF_PROGRAMS) + "/" + p.name;
        ASSERT_GT(load_elf_file((base + ".elf").c_str()), 0) << elf_read_report.problem;
        EXPECT_EQ(elf_read_report.symbols_problem, "");

        struct Listed {
            uint32_t address, size;
            char type;
        };
        std::map<std::string, std::vector<Listed>> listed;
        std::ifstream nm(base + ".nm");
        for (std::string line; std::getline(nm, line);) {
            std::istringstream fields(line);
            std::string address, size, type, name;
            if (fields >> address >> size >> type >> name)  // only the lines with a size
                listed[name].push_back({uint32_t(std::stoul(address, nullptr, 16)),
                                        uint32_t(std::stoul(size, nullptr, 16)), type[0]});
        }
        size_t compared = 0;
        for (const auto &[name, entries] : listed) {
            if (entries.size() != 1 || entries[0].address >= 0x800000)
                continue;
            const std::vector<ElfSymbol> found = elf_flash_symbols_named(name);
            ASSERT_EQ(found.size(), 1u) << name;
            EXPECT_EQ(found[0].address, entries[0].address) << name;
            EXPECT_EQ(found[0].size, entries[0].size) << name;
            ++compared;
        }
        // main, and in the program of every space also message, table and boot_section.
        EXPECT_GE(compared, p.name.starts_with("spaces-") ? 4u : 1u);
        if (p.name.starts_with("spaces-")) {
            const std::vector<ElfSymbol> counters = elf_flash_symbols_named("counters");
            ASSERT_EQ(counters.size(), 1u);
            ASSERT_EQ(counters[0].size, 13u);
            EXPECT_LT(counters[0].address, uint32_t(code_size));
            const uint8_t initial[13] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF, 0x00, 0x5A};
            uint8_t in_flash[13];
            image_copy_block(int32_t(counters[0].address), 13, in_flash);
            EXPECT_EQ(std::vector<uint8_t>(in_flash, in_flash + 13), std::vector<uint8_t>(initial, initial + 13));
            EXPECT_TRUE(elf_flash_symbols_named("zeroed").empty());
            EXPECT_EQ(elf_flash_symbols_named("message").size(), 1u);
            EXPECT_EQ(elf_flash_symbols_named("boot_section").size(), 1u);
        }
    }
    image_set_size(IMAGE_SIZE);
}

}  // namespace
