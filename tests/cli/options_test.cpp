#include "cli/options.h"

#include <gtest/gtest.h>

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
    read_arguments(int(argv.size()), argv.data());
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

}  // namespace
