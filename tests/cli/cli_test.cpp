// The built tool, run as a user runs it: exact messages and exit statuses.
#include "image/sha256.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string BANNER = "\nquorvel 1.0 - firmware uploader for AVR USB HID bootloaders\n"
                           "Written by the quorvel developers\n";

const std::string USAGE =
    "Usage: quorvel -mmcu=<MCU> [-v] -usb=<vid:pid> <file.hex>\n"
    "\t-v : Verbose output\n"
    "\n<MCU> = atmegaXXuY or at90usbXXXY"
    "\n<vid:pid> = vid:pid of HID device in hex (eg. -usb=0x5e1a:0x0001)"
    "\n"
    "quorvel 1.0 - firmware uploader for AVR USB HID bootloaders\n"
    "Written by the quorvel developers\n"
    "\nFor support and more information, please visit:\n"
    "https://example.org/quorvel\n"
    "\nBuilt on the Linux hidraw interface, the Windows HID class library and the C++ standard library\n"
    "https://docs.kernel.org/hid/hidraw.html\n"
    "\nMore options:\n"
    "\t-n : Dry run: read the file and show what would be sent, without a device\n"
    "\tThe file is Intel HEX, or the ELF file that avr-gcc linked (found by its content;\n"
    "\t  ELF firmware built for another part than -mmcu= is refused)\n"
    "\t-binary[=<base>] : The file is a raw binary, written from flash address <base>\n"
    "\t                   (0 unless given; decimal or 0x hex, eg. -binary=0x1000)\n"
    "\t-w : Wait for the bootloader to appear (press the board's reset button)\n"
    "\t-w=<seconds> : Wait for it at most this long (for scripts and IDEs)\n"
    "\t-h, --help : Show this text\n"
    "\t--version : Show the version\n"
    "\t-list : List the HID devices: path, vid:pid, \"match\" or \"-\", name, serial number,\n"
    "\t        location (tab-separated)\n"
    "\t-doctor : Check, one line each, what flashing needs here: the node, this user's access,\n"
    "\t          the udev rule, the lock, the report shape; the fix for each problem.\n"
    "\t          Status 0 only when a board can be flashed now (eg. quorvel -doctor -usb=5e1a:0001)\n"
    "\t-device=<path> : Use the HID device at this path (one of identical boards); with -usb=\n"
    "\t                 its IDs must match too. Only a HID device is ever written to\n"
    "\t-serial=<text> : Only the device with this USB serial number (see -list)\n"
    "\t-location=<port> : Only the device plugged in at this USB port, such as 1-2.3 (see -list)\n"
    "\t-all : Program every matching board at once; one line per board at the end\n"
    "\t-all=<n> : The same for exactly n boards (with -w, wait until n are present)\n"
    "\t-json : Standard output carries only JSON events, one object per line, for programs\n"
    "\t-touch=<port> : First reset the running board into its bootloader through its USB\n"
    "\t                serial port (1200 baud), then wait for it (5 s, or -w=<seconds>)\n"
    "\t-station : Program each matching board as it appears, once, until Ctrl-C; a board\n"
    "\t           is written again only after it went away and came back\n"
    "\t-station=<n> : The same, ending after n boards\n"
    "\t-log=<file> : Append one JSON line per board programmed: board, firmware\n"
    "\t              SHA-256, result (also for single runs and -all)\n"
    "\t-expect-app[=<vid:pid>] : Then wait until the application appears at the board's\n"
    "\t              USB port (5 s, or -w=<seconds>), with these IDs if given; fail if the\n"
    "\t              bootloader stays or nothing else appears (eg. -expect-app=0x5e1a:0x0100)\n"
    "\t-boot : Only start the application already in the flash of a board in its\n"
    "\t        bootloader; nothing is written, no file or -mmcu= is needed\n"
    "\t        (eg. quorvel -boot -usb=0x5e1a:0x0001)\n"
    "\t-above64k : Write a file above 64 KiB into a part with 128 KiB of flash, such as the\n"
    "\t            at90usb1287; data in its top 8 KiB, the bootloader's, is refused\n"
    "\t-stamp=<addr>,<format> : Write each board's own value at this flash address, in\n"
    "\t              u16le u32le u64le u16be u32be u64be ascii:<n> utf16le:<n> (n bytes)\n"
    "\t              (eg. -stamp=0x7F00,u32le); the values from one of:\n"
    "\t-stamp-from=<n>[,<step>] : A counter from n (needs -stamp-state=)\n"
    "\t-stamp-list=<file> : One value a line, in order (blank and # lines skipped)\n"
    "\t-stamp-state=<file> : The file that keeps the next value, locked while a value is\n"
    "\t              taken: runs that share it never give a value twice (a list's\n"
    "\t              default: <file>.state beside it)\n";

const std::string NO_DATA_END =
    "\" holds no data: there is nothing to write\nIt has no data records within the "
    "first 64 KiB: check that it is the firmware's HEX file and that its build "
    "succeeded\n\n";

// Does not fit: the MCU's flash and the highest address the file uses.
std::string does_not_fit(int kib, const char *last, const char *highest)
{
    return "Firmware does not fit in the flash of the selected MCU\nThe MCU has " + std::to_string(kib) +
           " KiB of flash (up to " + last + "), but the file has data up to " + highest +
           ": check -mmcu= and that the file was built for this MCU\n\n";
}

const std::string NAME_THE_DEVICE = "Unable to open device\nName the bootloader with -usb=<vid:pid> or "
                                    "-device=<path> (quorvel -list shows the HID devices present)\n\n";

const std::string UNKNOWN_MCU_END =
    ": give atmegaXXuY or at90usbXXXY, where XX is the flash in KiB: 8, 16, 32, 64 or 128 (as in "
    "-mmcu=atmega32u4 or -mmcu=at90usb1287)\n\n";
const std::string USB_FORM =
    "Give the IDs as -usb=<vid>:<pid>, each 1 to 4 hex digits, as in -usb=0x5e1a:0x0001\n\n";
const std::string MALFORMED_VID = "Malformed VID\n" + USB_FORM;
const std::string MALFORMED_PID = "Malformed PID\n" + USB_FORM;

struct CliCase {
    std::vector<std::string> arguments;  // "@good" stands for a valid HEX file, "@bad" for a corrupt one
    std::string out;
    std::string err;
};

// The -v lines of the checksums: of the file, and of the blocks sent,
// each `block_size` bytes from its address, 0xFF where the file gives nothing.
std::string checksum_lines(const std::string &file, const std::map<uint32_t, uint8_t> &data,
                           uint32_t block_size, std::vector<uint32_t> blocks)
{
    std::string sent;
    for (uint32_t address : blocks)
        for (uint32_t at = address; at < address + block_size; ++at)
            sent += char(data.count(at) ? data.at(at) : 0xFF);
    return "SHA-256 of the file:  " + sha256_of(read_whole_file(file)) +
           "\nSHA-256 of the image: " + sha256_of(sent) + "\n";
}

std::string good_hex()
{
    return write_scratch_file("good.hex", ":10010000214601360121470136007EFE09D2190140\n:00000001FF\n");
}

TEST(Cli, MessagesAndExitStatus)
{
    const std::string good = good_hex();
    std::map<uint32_t, uint8_t> good_data;
    const uint8_t good_bytes[] = {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01,
                                  0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};
    for (uint32_t i = 0; i < 16; ++i)
        good_data[0x100 + i] = good_bytes[i];
    const std::string bad = write_scratch_file("bad.hex", ":10010000214601360121470136007EFE09D2190141\n");
    const std::string missing = scratch_dir() + "/missing.hex";
    const std::string big = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000), 32));
    const std::string empty = write_scratch_file("empty.hex", ":00000001FF\n");
    const std::string nothing = write_scratch_file("nothing.hex", "");
    const std::string joined =
        write_scratch_file("joined.hex", read_whole_file(good) + read_whole_file(good));

    const CliCase cases[] =
    { {{}, "", "Filename must be specified\n\n" + USAGE},
      {{"-mmcu=atmega32u4"}, "", "Filename must be specified\n\n" + USAGE},
      {{good}, "", "MCU type must be specified\n\n" + USAGE},
      {{"-mmcu=atmega48"}, "", "Unknown MCU type\n-mmcu=atmega48" + UNKNOWN_MCU_END},  // before the file
      {{"-mmcu=ATmega32U4", good}, "", "Unknown MCU type\n-mmcu=ATmega32U4" + UNKNOWN_MCU_END},
      {{"-mmcu=atmega", good}, "", "Unknown MCU type\n-mmcu=atmega" + UNKNOWN_MCU_END},
      {{"-usb=", good}, "", MALFORMED_VID},
      {{"-usb=zz:0x0001", good}, "", MALFORMED_VID},
      {{"-usb=0x:0x0001", good}, "", MALFORMED_VID},
      {{"-usb=10000:0001", good}, "", MALFORMED_VID},
      {{"-usb=05e1a:0001", good}, "", MALFORMED_VID},  // five digits, even with a leading zero
      {{"-usb= 5e1a:0001", good}, "", MALFORMED_VID},
      {{"-usb=0x5e1a:", good}, "", MALFORMED_PID},
      {{"-usb=0x5e1a", good}, "", MALFORMED_PID},
      {{"-usb=0x5e1a:zz", good}, "", MALFORMED_PID},
      {{"-usb=5e1a:10000", good}, "", MALFORMED_PID},
      {{"-usb=0x5e1a:0x00O1", good}, "", MALFORMED_PID},  // a letter O: not 0000
      {{"-usb=1:2trailing", good}, "", MALFORMED_PID},
      {{"-usb=5e1a::0001", good}, "", MALFORMED_PID},  // two separators
      {{"-usb=5e1a: 2", good}, "", MALFORMED_PID},
      {{"-usb=5e1a:0001 ", good}, "", MALFORMED_PID},
      // An empty selector would match every device without a serial number or location.
      {{"-mmcu=atmega32u4", "-usb=5e1a:1", "-serial=", good},
       "",
       "quorvel: -serial=: give the board's USB serial number, as quorvel -list shows it (see quorvel "
       "--help)\n\n"},
      {{"-mmcu=atmega32u4", "-all", "-location=", good},
       "",
       "quorvel: -location=: give the board's USB port, as quorvel -list shows it (1-2.3) (see quorvel "
       "--help)\n\n"},
      // -all gives each board's copy its own -device=: a path given with it would be dropped.
      {{"-mmcu=atmega32u4", "-usb=5e1a:1", "-all", "-device=/dev/hidraw6", good},
       "",
       "quorvel: -device= names one board: it cannot be combined with -all\nLeave out -all to program the "
       "board at /dev/hidraw6, or -device= to program every matching board\n\n"},
      {{"-mmcu=atmega32u4", bad},
       BANNER,
       "error reading intel hex file \"" + bad + "\"\nline 1: bad checksum\n"},
      {{"-mmcu=atmega32u4", missing},
       BANNER,
       "error reading intel hex file \"" + missing + "\"\nNo such file or directory\n"},
      // Without -usb= or -device= no device is looked for at all.
      {{"-mmcu=atmega32u4", good}, BANNER, NAME_THE_DEVICE},
      {{"-v", "-mmcu=atmega32u4", good},
       BANNER + "Read \"" + good + "\": 16 bytes, 0.0% usage\n" +
           checksum_lines(good, good_data, 128, {0, 256}),
       NAME_THE_DEVICE},
      {{"-v", "-mmcu=at90usb1287", "-usb=0:0", good},
       BANNER + "Read \"" + good + "\": 16 bytes, 0.0% usage\n" +
           checksum_lines(good, good_data, 256, {0, 256}),
       NAME_THE_DEVICE},
      // A file with no data would only erase the application: refused, also for a dry run.
      {{"-mmcu=atmega32u4", "-usb=5e1a:1", empty}, BANNER, "\"" + empty + NO_DATA_END},
      {{"-n", "-mmcu=atmega32u4", empty}, BANNER, "\"" + empty + NO_DATA_END},
      {{"-mmcu=atmega32u4", "-usb=5e1a:1", nothing},
       BANNER,
       "quorvel: warning: \"" + nothing + "\" has no end-of-file record: it may be cut short\n\"" + nothing +
           NO_DATA_END},
      // Two files joined: the second is ignored, and the user is told.
      {{"-mmcu=atmega32u4", joined},
       BANNER,
       "quorvel: warning: \"" + joined +
           "\": text after the end-of-file record is ignored (two files joined together?)\n" +
           NAME_THE_DEVICE},
#if !defined(_WIN32)
      {{"-mmcu=atmega32u4", "/dev/zero"},
       BANNER,
       "error reading intel hex file \"/dev/zero\"\nit is a device, not a file\n"},
#endif
      // One board is reset, so there is one board to program.
      {{"-mmcu=atmega32u4", "-usb=5e1a:1", "-all", "-touch=/dev/ttyACM0", good},
       "",
       "quorvel: -touch= resets one board: it cannot be combined with -all\nLeave out -all to reset and "
       "flash that one board, or -touch= to program every board in its bootloader\n\n"},
      {{"-mmcu=atmega32u4", "-touch=", good},
       "",
       "quorvel: -touch=: give the board's serial port, as in -touch=/dev/ttyACM0 (see quorvel --help)\n\n"},
      {{"-mmcu=atmega32u4", "-touch", "/dev/ttyACM0", good},
       "",
       "quorvel: -touch needs its value after \"=\", as in -touch=... (see quorvel --help)\n\n"},
      // Mistyped options of quorvel's own end the run before anything is read.
      {{"--dry-run", "-mmcu=atmega32u4", good},
       "",
       "quorvel: unknown option --dry-run: quorvel's options start with one dash (see quorvel --help)\n\n"},
      {{"-mmcu=atmega32u4", good, "-device", "/dev/hidraw6"},
       "",
       "quorvel: -device needs its value after \"=\", as in -device=... (see quorvel --help)\n\n"},
      {{"-mmcu", "atmega32u4", good},
       "",
       "quorvel: -mmcu needs its value after \"=\", as in -mmcu=... (see quorvel --help)\n\n"},
      {{"-usb", "5e1a:1"},
       "",
       "quorvel: -usb needs its value after \"=\", as in -usb=... (see quorvel --help)\n\n"},
      {{"-nv", "-mmcu=atmega32u4", good},
       "",
       "quorvel: -nv: give each option on its own, as in -n -v (see quorvel --help)\n\n"},
      {{"-w=soon", good},
       "",
       "quorvel: -w=soon: give the longest wait in seconds, as in -w=30 (see quorvel --help)\n\n"},
      {{"-w=-1", good},
       "",
       "quorvel: -w=-1: give the longest wait in seconds, as in -w=30 (see quorvel --help)\n\n"},
      {{"-w=0", good},
       "",
       "quorvel: -w=0: give the longest wait in seconds, as in -w=30 (see quorvel --help)\n\n"},
      {{"-w=", good},
       "",
       "quorvel: -w=: give the longest wait in seconds, as in -w=30 (see quorvel --help)\n\n"},
      {{"-all=0", good},
       "",
       "quorvel: -all=0: give the number of boards, as in -all=8 (see quorvel --help)\n\n"},
      {{"-all=2x", good},
       "",
       "quorvel: -all=2x: give the number of boards, as in -all=8 (see quorvel --help)\n\n"},
      // Other tools' options are passed over, each with a warning.
      {{"-x", "-MMCU=atmega32u4", "-mmcu=atmega32u4", good},
       BANNER,
       "quorvel: ignoring unknown option -x\nquorvel: ignoring unknown option -MMCU=atmega32u4\n" +
           NAME_THE_DEVICE},
      {{"-\x1b[2J", "-mmcu=atmega32u4", good},
       BANNER,
       "quorvel: ignoring unknown option -?[2J\n" + NAME_THE_DEVICE},
      // 16 KiB of data does not fit an 8 KiB part: refused before any device is opened.
      {{"-v", "-mmcu=atmega8u2", "-usb=0:0", big},
       BANNER + "Read \"" + big + "\": 16384 bytes, 200.0% usage\n",
       does_not_fit(8, "0x1FFF", "0x3FFF")},
      {{"-mmcu=atmega8u2", big}, BANNER, does_not_fit(8, "0x1FFF", "0x3FFF")},
      // Exactly 16 KiB fits a 16 KiB part. (IDs 0:0 never open a device.)
      {{"-mmcu=atmega16u2", "-usb=0:0", big}, BANNER, NAME_THE_DEVICE},
    };
    for (const CliCase &c : cases) {
        ProcessResult result = run_quorvel(c.arguments);
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(result.status, 1) << label;
        EXPECT_EQ(result.out, c.out) << label;
        EXPECT_EQ(result.err, c.err) << label;
    }
}

TEST(Cli, HelpVersionAndDryRun)
{
    const std::string example = example_hex_path();
    const std::string dry_header = "Dry run: no device is opened and nothing is sent\n";
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    // The example's image as avr-objcopy makes it (an independent reader),
    // in blocks filled up with 0xFF: the bytes sent.
    const std::string example_bin =
        std::string(QUORVEL_EXAMPLE_BIN).empty() ? "" : read_whole_file(QUORVEL_EXAMPLE_BIN);
    auto dry_checksums = [&](const std::string &file, size_t sent_size) {
        std::string sent =
            example_bin + std::string(sent_size - std::min(sent_size, example_bin.size()), '\xFF');
        return "SHA-256:    " + sha256_of(read_whole_file(file)) + " (file)\n            " + sha256_of(sent) +
               " (image sent)\n";
    };
    const Case cases[] = {
        {{"-h"}, USAGE},
        {{"--help"}, USAGE},
        {{"-mmcu=atmega32u4", "--help", "x.hex"}, USAGE},
        {{"--version"}, "quorvel 1.0\n"},
        {{"-n", "-mmcu=atmega32u4", example},
         BANNER + dry_header +
             "Blocks:     2 of 128 bytes\nReports:    17\nFile data:  228 bytes\nLeast time: 1.32 s\n" +
             dry_checksums(example, 256)},
        {{"-n", "-v", "-mmcu=at90usb1287", example},
         BANNER + "Read \"" + example + "\": 228 bytes, 0.2% usage\n" + dry_header +
             "  block 0x0000, 256 bytes\n"
             "Blocks:     1 of 256 bytes\nReports:    14\nFile data:  228 bytes\nLeast time: 1.31 s\n" +
             dry_checksums(example, 256)},
        // -usb= is not needed, and a device is never looked for.
        {{"-n", "-mmcu=atmega32u4", "-usb=5e1a:1",
          write_scratch_file("one.hex", ":0100000001FE\n:00000001FF\n")},
         BANNER + dry_header +
             "Blocks:     1 of 128 bytes\nReports:    10\nFile data:  1 bytes\nLeast time: 1.31 s\n" +
             "SHA-256:    " + sha256_of(":0100000001FE\n:00000001FF\n") + " (file)\n            " +
             sha256_of("\x01" + std::string(127, '\xFF')) + " (image sent)\n"},
    };
    for (const Case &c : cases) {
        ProcessResult result = run_quorvel(c.arguments);
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(result.status, 0) << label;
        EXPECT_EQ(result.out, c.out) << label;
        EXPECT_EQ(result.err, "") << label;
    }

    // The dry run checks the file as a real run does.
    ProcessResult too_big = run_quorvel(
        {"-n", "-mmcu=atmega8u2", write_scratch_file("9k.hex", hex_file_for(pattern_bytes(0, 0x2400)))});
    EXPECT_EQ(too_big.status, 1);
    EXPECT_EQ(too_big.err, does_not_fit(8, "0x1FFF", "0x23FF"));
}

// -above64k: a 100 KiB file for a 128 KiB part is taken whole; without the
// option it is refused as before, told what to do; the option is refused
// with a part that has no flash above 64 KiB, and data in the top 8 KiB
// (the bootloader's) is refused before any device is looked for.
TEST(Cli, Above64KiB)
{
    const std::map<uint32_t, uint8_t> data = pattern_bytes(0, 100 * 1024);
    const std::string app = write_scratch_file("100k.hex", hex_file_for(data));
    const std::string boot = write_scratch_file("boot.hex", hex_file_for(pattern_bytes(0x1D000, 0x1001)));
    const std::string beyond = "error reading intel hex file \"" + app + "\"\nline 4098: reaches beyond address 0xFFFF\n";
    const CliCase failing[] = {
        {{"-mmcu=at90usb1287", "-usb=0:0", app},
         BANNER,
         beyond + "The MCU has 128 KiB of flash: add -above64k to write the file above 64 KiB\n\n"},
        {{"-mmcu=atmega32u4", app},
         BANNER,
         beyond + "The MCU has 32 KiB of flash (up to 0x7FFF): check -mmcu= and that the file was built for this "
                  "MCU\n\n"},
        {{"-above64k", "-mmcu=atmega32u4", app},
         "",
         "quorvel: -above64k is for the parts with 128 KiB of flash, but -mmcu=atmega32u4 has 32 KiB\nLeave out "
         "-above64k, or give the board's MCU if it has 128 KiB (as in -mmcu=at90usb1287)\n\n"},
        {{"-mmcu=at90usb646", "-usb=0:0", "-above64k", app},
         "",
         "quorvel: -above64k is for the parts with 128 KiB of flash, but -mmcu=at90usb646 has 64 KiB\nLeave out "
         "-above64k, or give the board's MCU if it has 128 KiB (as in -mmcu=at90usb1287)\n\n"},
        {{"-above64k", "-mmcu=at90usb1286", "-usb=0:0", boot},
         BANNER,
         "Firmware reaches into the bootloader's section: nothing was written\nThe file has data at 0x1E000, in "
         "the top 8 KiB of the flash (0x1E000-0x1FFFF) that the bootloader may take, and a bootloader cannot "
         "overwrite itself: check that the file is the application, built for this MCU\n\n"},
        {{"-n", "-above64k", "-mmcu=at90usb1287", boot}, BANNER, ""},  // the dry run refuses it too
        {{"-above64k", "-mmcu=at90usb1287", "-usb=0:0", app}, BANNER, NAME_THE_DEVICE},  // loaded
    };
    for (const CliCase &c : failing) {
        ProcessResult result = run_quorvel(c.arguments);
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(result.status, 1) << label;
        EXPECT_EQ(result.out, c.out) << label;
        if (!c.err.empty())
            EXPECT_EQ(result.err, c.err) << label;
        else
            EXPECT_TRUE(result.err.starts_with("Firmware reaches into the bootloader's section")) << result.err;
    }

    // The dry run's figures for the whole file: 400 blocks of 256 bytes,
    // 11 reports each and 3 around them, 1 s + 400 x 10 ms + 0.3 s of pauses.
    std::string sent;
    for (const auto &[address, value] : data)
        sent += char(value);
    ProcessResult dry = run_quorvel({"-n", "-above64k", "-mmcu=at90usb1287", app});
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(dry.out, BANNER + "Dry run: no device is opened and nothing is sent\n"
                                "Blocks:     400 of 256 bytes\nReports:    4403\nFile data:  102400 bytes\n"
                                "Least time: 5.30 s\nSHA-256:    " +
                           sha256_of(read_whole_file(app)) + " (file)\n            " + sha256_of(sent) +
                           " (image sent)\n");
}

}  // namespace
