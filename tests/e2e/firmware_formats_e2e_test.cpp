// ELF and raw binary firmware through the real binary and a simulated board.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

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

}  // namespace
