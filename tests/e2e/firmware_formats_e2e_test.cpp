// ELF and raw binary firmware through the real binary and a simulated board.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string BANNER = "\nquorvel 1.0 - firmware uploader for AVR USB HID bootloaders\n"
                           "Written by the quorvel developers\n";

std::string program(const std::string &name)
{
    return std::string(QUORVEL_ELF_PROGRAMS) + "/" + name;
}

#define NEEDS_PROGRAMS()                                                                                         \
    if (std::string(QUORVEL_ELF_PROGRAMS).empty())                                                               \
    GTEST_SKIP() << "SKIPPED: avr-gcc or avr-objcopy was not found when the tests were configured: install "     \
                    "gcc-avr, avr-libc and binutils-avr, then run cmake again"

// The flash as binutils makes it of the ELF file: every flash section at its
// load address, 0xFF between them.
std::string flash_of(const std::string &elf)
{
    const std::string bin = scratch_dir() + "/expected.bin";
    const ProcessResult made =
        run_process({"/usr/bin/env", "avr-objcopy", "-O", "binary", "--gap-fill", "0xff", "-R", ".eeprom", "-R",
                     ".fuse", "-R", ".lock", "-R", ".signature", "-R", ".user_signatures", elf, bin});
    EXPECT_EQ(made.status, 0) << made.err;
    return read_whole_file(bin);
}

// The address that avr-nm gives a symbol in its listing beside the program.
uint32_t listed_address(const std::string &nm, const std::string &symbol)
{
    std::istringstream lines(read_whole_file(nm));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, size, type, name;
        if (fields >> address >> size >> type >> name && name == symbol)
            return uint32_t(std::stoul(address, nullptr, 16));
    }
    ADD_FAILURE() << symbol << " is not in " << nm;
    return 0;
}

TEST_F(SimulatedBench, ElfFirmwareArrivesByteIdentical)
{
    NEEDS_PROGRAMS();
    const std::string elf = program("spaces-atmega32u4.elf");
    const std::string expected = flash_of(elf);
    ASSERT_GT(expected.size(), 0x7000u) << "the bootloader section at 0x7000 is in the image";

    add_device(0, 0x5E1A, 0x0001);
    const ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:0001", "-v", elf});
    const SimResult sim = finish(0);

    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Read \"" + elf + "\" (ELF): "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nNot written (EEPROM, fuses, lock bits, signature: quorvel writes the flash only): "
                           ".eeprom, .fuse, .lock\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("SHA-256 of the file:  " + sha256sum(elf) + "\n"), std::string::npos) << run.out;
    EXPECT_TRUE(sim.errors.empty());
    ASSERT_EQ(sim.flash.size(), 0x20000u);
    for (size_t i = 0; i < sim.flash.size(); ++i)
        ASSERT_EQ(sim.flash[i], i < expected.size() ? uint8_t(expected[i]) : 0xFF) << "flash byte " << i;
}

TEST_F(SimulatedBench, ElfFirmwareForAnotherPartIsRefusedUntouched)
{
    NEEDS_PROGRAMS();
    const std::string elf = program("blink-atmega16u2.elf");
    add_device(0, 0x5E1A, 0x0001);
    const ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:0001", elf});
    const SimResult sim = finish(0);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, BANNER);
    EXPECT_EQ(run.err, elf + " was built for atmega16u2, not atmega32u4\nNothing was written: build the firmware "
                             "with -mmcu=atmega32u4 for this board, or give -mmcu=atmega16u2 if the board really "
                             "is one\n\n");
    EXPECT_TRUE(sim.frames.empty() && sim.held.empty());
}

TEST_F(SimulatedBench, RawBinaryArrivesAtItsBase)
{
    std::string bytes(300, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 13 + 1);
    const std::string bin = write_scratch_file("app.bin", bytes);
    for (const uint32_t base : {0u, 0x1000u}) {
        SCOPED_TRACE(base);
        add_device(0, 0x5E1A, 0x0001);
        const std::string option = base ? "-binary=" + std::to_string(base) : "-binary";
        const ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:0001", "-v", option, bin});
        const SimResult sim = finish(0);
        reset();
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("Read \"" + bin + "\" (binary): 300 bytes"), std::string::npos) << run.out;
        ASSERT_EQ(sim.flash.size(), 0x20000u);
        for (size_t i = 0; i < 0x8000; ++i) {
            const bool inside = i >= base && i - base < bytes.size();
            ASSERT_EQ(sim.flash[i], inside ? uint8_t(bytes[i - base]) : 0xFF) << "flash byte " << i;
        }
    }
}

// -stamp=NAME with an ELF file: the board's value lands in the variable
// that avr-nm places, the rest of the flash is the ELF's; a name that the
// flash does not hold is refused before the board gets a report.
TEST_F(SimulatedBench, StampedIntoAnElfSymbol)
{
    NEEDS_PROGRAMS();
    const std::string elf = program("spaces-atmega32u4.elf");
    std::string expected = flash_of(elf);
    const uint32_t at = listed_address(program("spaces-atmega32u4.nm"), "message");
    const std::string value = "QV-0042";
    ASSERT_LE(at + 16, expected.size());
    for (uint32_t i = 0; i < 16; ++i)
        expected[at + i] = i < value.size() ? value[i] : '\0';
    const std::string list = write_scratch_file("serials.txt", value + "\n");

    add_device(0, 0x5E1A, 0x0001);
    const ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:0001", "-v", "-stamp=message,ascii:16",
                                           "-stamp-list=" + list, elf});
    const SimResult sim = finish(0);
    ASSERT_EQ(run.status, 0) << run.err;
    char shown[64];
    std::snprintf(shown, sizeof shown, "Stamp: \"QV-0042\" at 0x%04X (ascii:16)\n", unsigned(at));
    EXPECT_NE(run.out.find(shown), std::string::npos) << run.out;
    EXPECT_TRUE(sim.errors.empty());
    for (size_t i = 0; i < sim.flash.size(); ++i)
        ASSERT_EQ(sim.flash[i], i < expected.size() ? uint8_t(expected[i]) : 0xFF) << "flash byte " << i;

    add_device(1, 0x5E1A, 0x0001);
    const ProcessResult refused = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:0001", "-stamp=zeroed,u32le",
                                               "-stamp-list=" + list, elf});
    const SimResult untouched = finish(1);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("has no symbol zeroed in the flash"), std::string::npos) << refused.err;
    EXPECT_TRUE(untouched.frames.empty() && untouched.held.empty());
}

}  // namespace
