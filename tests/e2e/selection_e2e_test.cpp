// Which board a run writes to when the selection could name more than one:
// clones with one serial number, several boards with the same IDs, a
// keyboard that matches a search without -usb=, and -touch= next to other
// bootloaders.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Present {
    int number;
    uint32_t vendor_id, product_id;
    bool keyboard;
    const char *serial;
    const char *location;
};

struct SelectionCase {
    const char *name;
    std::vector<Present> devices;
    std::vector<std::string> arguments;  // before -mmcu= and the file
    int status;
    std::vector<std::string> err_has;  // parts of standard error, each found
    std::vector<int> written;          // the devices that get the upload
    std::string out_has = "";          // part of standard output; empty: not checked
};

TEST_F(SimulatedBench, SelectionNeverGuessesAmongBoards)
{
    const Present keyboard{0, 0x046D, 0xC31C, true, "QV-1", "1-1"};
    const Present unnamed_keyboard{0, 0x046D, 0xC31C, true, "", "1-1"};
    const std::vector<SelectionCase> cases{
        {"a keyboard with the serial number asked for is never the board",
         {keyboard, {1, 0x5E1A, 1, false, "QV-1", "1-2"}},
         {"-serial=QV-1"},
         0,
         {},
         {1}},
        {"nor under -all: it is not counted",
         {keyboard, {1, 0x5E1A, 1, false, "QV-1", "1-2"}},
         {"-all", "-serial=QV-1"},
         0,
         {"Programming 1 board at once\n"},
         {1},
         "/dev/hidraw1\tQV-1\t1-2\tDone\n"},
        {"under -all with only a keyboard there is no board",
         {keyboard},
         {"-all", "-location=1-1"},
         1,
         {"No board matches"},
         {}},
        {"an empty serial number matches nothing: refused before the search",
         {unnamed_keyboard, {1, 0x5E1A, 1, false, "", "1-2"}},
         {"-all", "-serial="},
         1,
         {"quorvel: -serial=: give the board's USB serial number"},
         {}},
        {"clones with one serial number: refused, with where they are",
         {{0, 0x5E1A, 1, false, "CLONE", "1-1"}, {1, 0x5E1A, 1, false, "CLONE", "1-2"}},
         {"-usb=5e1a:1", "-serial=CLONE"},
         1,
         {"Unable to open device\n2 devices have the serial number \"CLONE\" (at 1-1, 1-2): add -location= "
          "to pick one, or use -all to program them all (see quorvel -list)\n\n"},
         {}},
        {"clones without -usb= too",
         {{0, 0x5E1A, 1, false, "CLONE", "1-1"}, {1, 0x5E1A, 1, false, "CLONE", ""}},
         {"-serial=CLONE"},
         1,
         {"2 devices have the serial number \"CLONE\" (at 1-1, /dev/hidraw1)"},
         {}},
        {"a location picks one of the clones",
         {{0, 0x5E1A, 1, false, "CLONE", "1-1"}, {1, 0x5E1A, 1, false, "CLONE", "1-2"}},
         {"-usb=5e1a:1", "-serial=CLONE", "-location=1-2"},
         0,
         {},
         {1}},
        {"IDs alone: the first board, with a warning and the reason under -v",
         {{0, 0x5E1A, 1, false, "A", "1-1"}, {1, 0x5E1A, 1, false, "B", "1-2"}},
         {"-usb=5e1a:1"},
         0,
         {"quorvel: warning: 2 devices have the IDs 5e1a:0001; writing to the first, /dev/hidraw0. Pick one "
          "with -serial=, -location= or -device=, or program them all with -all (see quorvel -list)\n"},
         {0},
         "Chosen: /dev/hidraw0, the first usable of 2 devices with the IDs 5e1a:0001\n"},
        {"-touch= with no port and two bootloaders there: refused",
         {{0, 0x5E1A, 1, false, "A", "1-1"}, {1, 0x5E1A, 1, false, "B", "1-2"}},
         {"-usb=5e1a:1", "-touch=/dev/ttyACM0"},
         1,
         {"Unable to open device\n2 bootloaders with the IDs 5e1a:0001 are present after the reset through "
          "/dev/ttyACM0 (at 1-1, 1-2), and the system does not say where that port is plugged in: nothing "
          "was written. Add -location= to pick the board (see quorvel -list)\n\n"},
         {}},
    };
    for (const SelectionCase &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        for (const Present &device : c.devices) {
            SimOptions options;
            options.keyboard = device.keyboard;
            options.serial = device.serial;
            options.location = device.location;
            add_device(device.number, device.vendor_id, device.product_id, options);
        }
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-v", "-mmcu=atmega32u4", example_hex_path()});
        ProcessResult run = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(run.status, c.status) << run.err;
        for (const std::string &part : c.err_has)
            EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
        if (!c.out_has.empty()) {
            EXPECT_NE(run.out.find(c.out_has), std::string::npos) << run.out;
        }
        for (const Present &device : c.devices) {
            SimResult sim = finish(device.number);
            bool written = std::find(c.written.begin(), c.written.end(), device.number) != c.written.end();
            EXPECT_EQ(sim.frames.size(), written ? 17u : 0u) << "hidraw" << device.number;
            EXPECT_TRUE(sim.held.empty()) << "hidraw" << device.number;
        }
    }
}

// A -touch= port whose USB location is not the one -location= names: a
// usage error, and the board is not reset.
TEST_F(SimulatedBench, TouchAtAnotherLocationResetsNothing)
{
    AppOptions app;
    app.location = "1-4";
    app.bootloader = 1;
    start_app(app);
    ProcessResult run = run_quorvel(
        {"-mmcu=atmega32u4", "-usb=5e1a:1", "-touch=/dev/ttyACM0", "-location=1-2", example_hex_path()},
        kill_after(10));
    double presented_at = -1;
    EXPECT_LT(finish_app(presented_at), 0) << "the board was reset";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "quorvel: -touch=/dev/ttyACM0 is plugged in at 1-4, not at -location=1-2\nGive the "
                       "serial port of the board at 1-2, or leave out -location= (see quorvel -list)\n\n");
}

}  // namespace
