#include "cli/options.h"

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

namespace {

struct McuCase {
    const char *name;
    int32_t code_size;  // 0: not in the table
    int32_t block_size;
};

TEST(Options, McuTable)
{
    const McuCase cases[] = {
        {"atmega32u4", 32768, 128},
        {"at90usb1287", 131072, 256},
        {"at90usb646", 65536, 256},
        {"at90usb162", 16384, 128},
        {"atmega8u2", 8192, 128},
        {"atmega16u2", 16384, 128},
        {"atmega328p", 32768, 128},
        {"atmega1284p", 131072, 256},
        {"at90usb82", 8192, 128},
        {"atmega48", 0, 0},
        {"atmega2560", 0, 0},
        {"attiny85", 0, 0},
        {"ATmega32U4", 0, 0},
        {"atmega", 0, 0},
        {"", 0, 0},
        {"xatmega32u4", 0, 0},
    };
    for (const McuCase &c : cases) {
        int32_t code_size = 0, block_size = 0;
        EXPECT_EQ(find_mcu(c.name, code_size, block_size), c.code_size != 0) << c.name;
        EXPECT_EQ(code_size, c.code_size) << c.name;
        EXPECT_EQ(block_size, c.block_size) << c.name;
    }
}

struct ArgumentsCase {
    std::vector<std::string> arguments;
    const char *hex_path;  // null: none
    uint32_t vendor_id, product_id;
    int32_t code_size;
    int32_t verbose;
};

RunOptions parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "quorvel");
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    run_options = RunOptions{};
    const Failure result = read_arguments(int(argv.size()), argv.data());
    EXPECT_EQ(result.kind, FAILURE_NONE) << result.message;
    RunOptions parsed = run_options;
    // hex_path points into `arguments`: compare it before they go away.
    static std::string path_copy;
    path_copy = parsed.hex_path ? parsed.hex_path : "";
    parsed.hex_path = parsed.hex_path ? path_copy.c_str() : nullptr;
    return parsed;
}

TEST(Options, ArgumentsFillTheSettings)
{
    const ArgumentsCase cases[] = {
        {{}, nullptr, 0, 0, 0, 0},
        {{"-usb=0x5e1a:0x0001"}, nullptr, 0x5E1A, 0x0001, 0, 0},
        {{"-usb=0x5e1a-0x0001"}, nullptr, 0x5E1A, 0x0001, 0, 0},
        // The product ID is read right after the separator, wherever that is.
        {{"-usb=5e1a:1234"}, nullptr, 0x5E1A, 0x1234, 0, 0},
        {{"-usb=16c0:05df"}, nullptr, 0x16C0, 0x05DF, 0, 0},
        {{"-usb=0X5E1A:0Xffff"}, nullptr, 0x5E1A, 0xFFFF, 0, 0},
        {{"-usb=1:2"}, nullptr, 1, 2, 0, 0},
        {{"-usb=0xffff/0x0"}, nullptr, 0xFFFF, 0, 0, 0},
        // Blanks, trailing text and a letter O are malformed (see the command-line tests).
        {{"-v"}, nullptr, 0, 0, 0, 1},
        {{"-V", "-verbose", "-x", "-MMCU=atmega32u4", "-USB=0x5e1a:0x0001"}, nullptr, 0, 0, 0, 0},
        // "-usb" without "=" is an error now (see the command-line tests).
        {{"a.hex", "b.hex"}, "b.hex", 0, 0, 0, 0},
        {{""}, "", 0, 0, 0, 0},
        {{"-mmcu=atmega32u4", "-mmcu=at90usb1287"}, nullptr, 0, 0, 131072, 0},
        {{"-usb=1:2", "-usb=3:4", "app.hex", "-v", "-mmcu=atmega8u2"}, "app.hex", 3, 4, 8192, 1},
    };
    for (const ArgumentsCase &c : cases) {
        std::string label = testing::PrintToString(c.arguments);
        RunOptions parsed = parse(c.arguments);
        if (c.hex_path)
            EXPECT_STREQ(parsed.hex_path, c.hex_path) << label;
        else
            EXPECT_EQ(parsed.hex_path, nullptr) << label;
        EXPECT_EQ(parsed.vendor_id, c.vendor_id) << label;
        EXPECT_EQ(parsed.product_id, c.product_id) << label;
        EXPECT_EQ(parsed.code_size, c.code_size) << label;
        EXPECT_EQ(parsed.verbose, c.verbose) << label;
    }
}

// The failure of the arguments and what was read up to it: the reading
// stops at the first bad argument, as the run ends there.
struct FailureCase {
    std::vector<std::string> arguments;
    std::string message;  // "": no failure
    int32_t verbose;      // after the reading
    int32_t json;
};

TEST(Options, TheFirstBadArgumentStopsTheReading)
{
    const std::string usb_form =
        "Give the IDs as -usb=<vid>:<pid>, each 1 to 4 hex digits, as in -usb=0x5e1a:0x0001\n";
    const FailureCase cases[] = {
        {{"-usb=0x5e1g:1"}, "Malformed PID\n" + usb_form, 0, 0},
        {{"-usb=x:1", "-v"}, "Malformed VID\n" + usb_form, 0, 0},
        {{"-v", "-usb=1:2:3"}, "Malformed PID\n" + usb_form, 1, 0},
        {{"-mmcu=atmega48", "-v"},
         "Unknown MCU type\n-mmcu=atmega48: give atmegaXXuY or at90usbXXXY, where XX is the flash in KiB: 8, "
         "16, 32, 64 or 128 (as in -mmcu=atmega32u4 or -mmcu=at90usb1287)\n",
         0,
         0},
        {{"-w=0", "-v"},
         "quorvel: -w=0: give the longest wait in seconds, as in -w=30 (see quorvel --help)\n",
         0,
         0},
        {{"-all=0"}, "quorvel: -all=0: give the number of boards, as in -all=8 (see quorvel --help)\n", 0, 0},
        {{"-expect-app=5e1a"},
         "quorvel: -expect-app=5e1a: give the application's USB IDs, each 1 to 4 hex digits, as in "
         "-expect-app=0x5e1a:0x0100 (see quorvel --help)\n",
         0,
         0},
        {{"-expect-app", "-app-wait=0"},
         "quorvel: -app-wait=0: give the longest wait for the application in seconds, as in -app-wait=5 (see "
         "quorvel --help)\n",
         0,
         0},
        {{"-station=x"},
         "quorvel: -station=x: give the number of boards to program, as in -station=50 (see quorvel "
         "--help)\n",
         0,
         0},
        {{"-serial="},
         "quorvel: -serial=: give the board's USB serial number, as quorvel -list shows it (see quorvel "
         "--help)\n",
         0,
         0},
        {{"-location="},
         "quorvel: -location=: give the board's USB port, as quorvel -list shows it (1-2.3) (see quorvel "
         "--help)\n",
         0,
         0},
        {{"-log="},
         "quorvel: -log=: give the file to append one line per board to, as in -log=boards.log (see quorvel "
         "--help)\n",
         0,
         0},
        {{"-touch="},
         "quorvel: -touch=: give the board's serial port, as in -touch=/dev/ttyACM0 (see quorvel --help)\n",
         0,
         0},
        {{"--verbose"},
         "quorvel: unknown option --verbose: quorvel's options start with one dash (see quorvel --help)\n",
         0,
         0},
        {{"-usb"}, "quorvel: -usb needs its value after \"=\", as in -usb=... (see quorvel --help)\n", 0, 0},
        {{"-nv"}, "quorvel: -nv: give each option on its own, as in -n -v (see quorvel --help)\n", 0, 0},
        // -json anywhere counts, even after the bad argument: the error is an event too.
        {{"-mmcu=x", "-json"},
         "Unknown MCU type\n-mmcu=x: give atmegaXXuY or at90usbXXXY, where XX is the flash in KiB: 8, 16, "
         "32, 64 "
         "or 128 (as in -mmcu=atmega32u4 or -mmcu=at90usb1287)\n",
         0,
         1},
        {{"-v", "-json"}, "", 1, 1},
    };
    for (const FailureCase &c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "quorvel");
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        run_options = RunOptions{};
        const Failure result = read_arguments(int(argv.size()), argv.data());
        const std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(result.kind, c.message.empty() ? FAILURE_NONE : FAILURE_OPTION) << label;
        EXPECT_EQ(result.message, c.message) << label;
        EXPECT_EQ(run_options.verbose, c.verbose) << label;
        EXPECT_EQ(run_options.json, c.json) << label;
    }
}

// The values in seconds (-w= and -app-wait=): taken exactly when the C++
// library's from_chars takes the whole text as a number within the bounds,
// and read as the same double.
TEST(Options, SecondsAreTakenAsFromCharsWouldTakeThem)
{
    const char *values[] = {"30", "0.5", ".5", "5.", "1e3", "1E-3", "2.5e+2", "0.001", "0.0009999", "1e6",
                            "1000000.0000001", "-1", "-0", "0", "+1", " 1", "1 ", "0x10", "1e", "1e+", "e3",
                            ".", "-.", "", "inf", "nan", "1,5", "1.5.2", "1e999", "00000000000000000000030",
                            "0.30000000000000004441", "1.0000000000000001", "123456.789e-3", "--1"};
    for (const char *value : values) {
        const std::string text(value);
        double wanted = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), wanted);
        const bool taken = error == std::errc() && end == text.data() + text.size() && wanted >= 0.001 &&
                           wanted <= 1e6;
        for (const char *option : {"-w=", "-app-wait="}) {
            std::string argument = option + text;
            std::vector<std::string> arguments = {"quorvel", "-expect-app", argument};
            std::vector<char *> argv;
            for (std::string &each : arguments)
                argv.push_back(each.data());
            run_options = RunOptions{};
            const Failure result = read_arguments(int(argv.size()), argv.data());
            EXPECT_EQ(result.kind, taken ? FAILURE_NONE : FAILURE_OPTION) << argument;
            if (taken) {
                EXPECT_EQ(option[1] == 'w' ? run_options.wait_limit : run_options.app_wait, wanted) << argument;
            }
        }
    }
}

// -h, --help and --version: the run shows their text, and what follows them
// is not read (not even a bad argument).
TEST(Options, HelpAndVersionStopTheReading)
{
    struct Case {
        std::vector<std::string> arguments;
        int32_t show_help, show_version, verbose;
    };
    const Case cases[] = {
        {{"-h", "-v"}, 1, 0, 0},
        {{"-v", "--help", "-usb=bad"}, 1, 0, 1},
        {{"--version", "-mmcu=atmega48"}, 0, 1, 0},
        {{"-v", "--version", "-h"}, 0, 1, 1},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "quorvel");
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        run_options = RunOptions{};
        const std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(read_arguments(int(argv.size()), argv.data()).kind, FAILURE_NONE) << label;
        EXPECT_EQ(run_options.show_help, c.show_help) << label;
        EXPECT_EQ(run_options.show_version, c.show_version) << label;
        EXPECT_EQ(run_options.verbose, c.verbose) << label;
    }
}

}  // namespace

// -binary[=BASE]: decimal or 0x hex, up to the last byte of a 128 KiB flash;
// anything else is refused, never read as another base.
TEST(Options, BinaryBase)
{
    const struct {
        std::vector<std::string> arguments;
        int32_t binary;
        uint32_t base;
    } read_cases[] = {
        {{"-binary"}, 1, 0},
        {{"-binary=0"}, 1, 0},
        {{"-binary=4096"}, 1, 0x1000},
        {{"-binary=0x1000"}, 1, 0x1000},
        {{"-binary=0X1ffff"}, 1, 0x1FFFF},
        {{"-binary=0x1000", "-binary"}, 1, 0},
        {{"app.bin"}, 0, 0},
    };
    for (const auto &c : read_cases) {
        const RunOptions parsed = parse(c.arguments);
        EXPECT_EQ(parsed.binary, c.binary) << testing::PrintToString(c.arguments);
        EXPECT_EQ(parsed.binary_base, c.base) << testing::PrintToString(c.arguments);
    }
    for (const char *value : {"", "0x", "-1", "0x20000", "131072", "1000h", "0x10 ", "1e3", "0b101"}) {
        std::string argument = std::string("-binary=") + value;
        char *argv[] = {const_cast<char *>("quorvel"), argument.data()};
        run_options = RunOptions{};
        const Failure result = read_arguments(2, argv);
        EXPECT_EQ(result.kind, FAILURE_OPTION) << value;
        EXPECT_EQ(result.message, "quorvel: -binary=" + std::string(value) +
                                      ": give the flash address of the file's first byte, 0 to 0x1FFFF, as in "
                                      "-binary=0x1000 (see quorvel --help)\n")
            << value;
    }
}
