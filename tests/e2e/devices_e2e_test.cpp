// Listing the HID devices and choosing one by its path.
#include "bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST_F(Bench, ListShowsEveryDeviceAndMarksMatches)
{
    ProcessResult empty = run_quorvel({"-list"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "No HID devices found\n");

    SimOptions keyboard, bootloader, odd_name;
    keyboard.name = "Contoso Keyboard";
    odd_name.name = "Evil\tName";
    add_device(0, 0x045E, 0x0750, keyboard);
    add_device(1, 0x5E1A, 0x0001, bootloader);
    add_device(2, 0x5E1A, 0x0002, odd_name);
    add_device(11, 0x5E1A, 0x0001, bootloader);
    const std::string listing = "/dev/hidraw0\t045e:0750\t%s\tContoso Keyboard\n"
                                "/dev/hidraw1\t5e1a:0001\t%s\tQuorvel Test HID Bootloader\n"
                                "/dev/hidraw2\t5e1a:0002\t%s\tEvil Name\n"
                                "/dev/hidraw11\t5e1a:0001\t%s\tQuorvel Test HID Bootloader\n";
    auto expected = [&](const char *a, const char *b, const char *c, const char *d) {
        char text[512];
        std::snprintf(text, sizeof text, listing.c_str(), a, b, c, d);
        return std::string(text);
    };

    ProcessResult plain = run_quorvel({"-list"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, expected("-", "-", "-", "-"));
    ProcessResult marked = run_quorvel({"-usb=5e1a:0001", "-list"});
    EXPECT_EQ(marked.status, 0);
    EXPECT_EQ(marked.out, expected("-", "match", "-", "match"));
    EXPECT_EQ(marked.err, "");
    // Listing opens nothing.
    for (int number : {0, 1, 2, 11})
        EXPECT_TRUE(finish(number).frames.empty());
}

TEST_F(Bench, DevicePathPicksOneOfIdenticalBoards)
{
    for (int number : {0, 1, 2})
        add_device(number, 0x5E1A, 0x0001);
    ProcessResult run =
        run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", "-device=/dev/hidraw2", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(finish(2).frames.size(), 17u);
    EXPECT_TRUE(finish(0).frames.empty());
    EXPECT_TRUE(finish(1).frames.empty());
    reset();

    // The path alone selects the device.
    add_device(0, 0x16C0, 0x05DF);
    ProcessResult alone = run_quorvel({"-mmcu=atmega32u4", "-device=/dev/hidraw0", example_hex_path()});
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(finish(0).frames.size(), 17u);
}

TEST_F(Bench, DevicePathThatDoesNotFit)
{
    add_device(0, 0x16C0, 0x05DF);
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"-usb=5e1a:1", "-device=/dev/hidraw0"},
         "Unable to open device\n/dev/hidraw0 has IDs 16c0:05df, not 5e1a:0001\n\n"},
        {{"-device=/dev/hidraw9"}, "Unable to open device\n/dev/hidraw9: No such file or directory\n\n"},
        {{"-usb=5e1a:1", "-device=/dev/null"},
         "Unable to open device\n/dev/null: not a hidraw device whose IDs can be read\n\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-mmcu=atmega32u4", example_hex_path()});
        ProcessResult run = run_quorvel(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
    }
    EXPECT_TRUE(finish(0).frames.empty());
}

}  // namespace
