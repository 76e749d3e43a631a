// What a run says about the board it writes to, and where a device is said
// to be plugged in.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

namespace {

// The device event of a run: its first of that kind in the -json output.
nlohmann::json device_event(const ProcessResult &run)
{
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event["event"] == "device")
            return event;
    }
    return {};
}

// A board named by its path, alone or by -all's copy per board, is
// described as a search describes it.
TEST_F(SimulatedBench, DevicePathRunsNameTheBoardsSerialAndLocation)
{
    SimOptions board;
    board.serial = "QV-0042";
    board.location = "1-2.4";
    add_device(0, 0x5E1A, 0x0001, board);
    for (const char *selection : {"-device=/dev/hidraw0", "-usb=5e1a:1"}) {
        SCOPED_TRACE(selection);
        ProcessResult run = run_quorvel({"-json", "-mmcu=atmega32u4", selection, example_hex_path()});
        EXPECT_EQ(run.status, 0) << run.err;
        nlohmann::json event = device_event(run);
        EXPECT_EQ(event["event"], "device") << run.out;
        EXPECT_EQ(event["path"], "/dev/hidraw0");
        EXPECT_EQ(event["serial"], "QV-0042");
        EXPECT_EQ(event["location"], "1-2.4");
    }
    ProcessResult all = run_quorvel({"-json", "-all", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(all.status, 0) << all.err;
    nlohmann::json event = device_event(all);
    EXPECT_EQ(event["serial"], "QV-0042") << all.out;
    EXPECT_EQ(event["location"], "1-2.4");
}

// A HID device on another bus than USB that sysfs places below a USB
// device (a Bluetooth adapter on port 1-3) is not plugged in there.
TEST_F(SimulatedBench, OnlyUsbDevicesHaveALocation)
{
    SimOptions bluetooth;
    bluetooth.bus = 0x0005;
    bluetooth.location = "1-3";
    add_device(0, 0x5E1A, 0x0001, bluetooth);
    EXPECT_EQ(run_quorvel({"-list"}).out, "/dev/hidraw0\t5e1a:0001\t-\tQuorvel Test HID Bootloader\t\t\n");
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", "-location=1-3", example_hex_path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with(
        "Unable to open device\nNo HID device with the IDs 5e1a:0001 and the location \"1-3\" is present"))
        << run.err;
    EXPECT_TRUE(finish(0).frames.empty());
}

}  // namespace
