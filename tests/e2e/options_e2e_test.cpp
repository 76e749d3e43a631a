// Dry run and waiting for the bootloader, against simulated bootloaders.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>

namespace {

// The number after `label` in the dry run's summary.
int figure(const std::string &out, const std::string &label)
{
    size_t at = out.find(label);
    return at == std::string::npos ? -1 : std::stoi(out.substr(at + label.size()));
}

TEST_F(SimulatedBench, DryRunFiguresMatchTheRealUpload)
{
    std::map<uint32_t, uint8_t> sparse = pattern_bytes(0, 0x300);
    sparse.merge(pattern_bytes(0x4000, 0x81));
    sparse[0x7FFF] = 0x42;
    const std::string files[] = {example_hex_path(), write_scratch_file("sparse.hex", hex_file_for(sparse))};
    for (const std::string &file : files) {
        for (const char *mcu : {"-mmcu=atmega32u4", "-mmcu=at90usb1287"}) {
            SCOPED_TRACE(file + " " + mcu);
            ProcessResult dry = run_quorvel({"-n", mcu, file});
            ASSERT_EQ(dry.status, 0) << dry.err;

            add_device(0, 0x5E1A, 0x0001);
            ProcessResult real = run_quorvel({mcu, "-usb=5e1a:1", file});
            SimResult sim = finish(0);
            reset();
            ASSERT_EQ(real.status, 0) << real.err;

            std::vector<int> commands = commands_of(sim.frames);
            EXPECT_EQ(figure(dry.out, "Reports:    "), int(sim.frames.size()));
            EXPECT_EQ(figure(dry.out, "Blocks:     "), int(std::count(commands.begin(), commands.end(), 2)));
            double least = std::stod(dry.out.substr(dry.out.find("Least time: ") + 12));
            EXPECT_GE(real.seconds, least);
        }
    }
}

// The device appears as the kernel shows it: its node some 400 ms after its
// system entry.
TEST_F(SimulatedBench, WaitFindsTheBootloaderWhenItAppears)
{
    SimOptions late_node;
    late_node.node_delay_ms = 400;
    ProcessResult run = run_quorvel({"-w", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()}, [&](int) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        add_device(0, 0x5E1A, 0x0001, late_node);
    });
    SimResult sim = finish(0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "\nDone.\n\n");
    EXPECT_NE(run.out.find("Waiting for the bootloader 5E1A:0001: press the board's reset button to start it "
                           "(Ctrl-C to stop)\n"),
              std::string::npos);
    EXPECT_EQ(sim.frames.size(), 17u);
    EXPECT_GE(run.seconds, 2.0 + 0.4 + 1.3);
}

// -w=SECONDS waits at most that long; with -device= it waits for the path
// to appear (a udev symlink per board).
TEST_F(SimulatedBench, BoundedWaitEndsOrFindsTheDevice)
{
    ProcessResult none = run_quorvel({"-w=1.5", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "Unable to open device\nNo HID device with the IDs 5e1a:0001 appeared in 1.5 s of waiting: "
              "is the board in its bootloader? (see quorvel -list)\n\n");
    EXPECT_GE(none.seconds, 1.5);
    EXPECT_LT(none.seconds, 2.5);

    ProcessResult no_path =
        run_quorvel({"-w=1", "-mmcu=atmega32u4", "-device=/dev/quorvel/none", example_hex_path()});
    EXPECT_EQ(no_path.status, 1);
    EXPECT_EQ(no_path.err,
              "Unable to open device\nNothing appeared at /dev/quorvel/none in 1 s of waiting\n\n");
    EXPECT_GE(no_path.seconds, 1.0);

    ProcessResult found =
        run_quorvel({"-w=5", "-mmcu=atmega32u4", "-device=/dev/quorvel/board", example_hex_path()}, [&](int) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            add_device(4, 0x5E1A, 0x0001);
            std::filesystem::create_directories("/dev/quorvel");
            std::filesystem::create_symlink("/dev/hidraw4", "/dev/quorvel/board");
        });
    std::filesystem::remove_all("/dev/quorvel");
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.out.find("Waiting for /dev/quorvel/board: press the board's reset button"),
              std::string::npos);
    EXPECT_EQ(finish(4).frames.size(), 17u);
}

TEST_F(SimulatedBench, WaitEndsWithCtrlC)
{
    ProcessResult run =
        run_quorvel({"-w", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()}, [](int pid) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kill(pid, SIGINT);
        });
    EXPECT_EQ(run.status, 130);
}

TEST_F(SimulatedBench, WaitGivesUpOnADeviceThatStaysUnopenable)
{
    SimOptions no_node;
    no_node.node = false;
    add_device(0, 0x5E1A, 0x0001, no_node);
    struct Case {
        const char *wait;
        double least, most;
    };
    // udev gets its time to make the node and grant access, then the error
    // is final; a shorter limit ends it sooner, with the same reason.
    for (const Case &c : {Case{"-w", 2.0, 4.0}, Case{"-w=0.5", 0.5, 1.5}}) {
        SCOPED_TRACE(c.wait);
        // Were it to wait for ever, it would be killed after 5 s and end with 128 + 9.
        ProcessResult run =
            run_quorvel({c.wait, "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()}, kill_after(5));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Unable to open device\n/dev/hidraw0: No such file or directory\n\n");
        EXPECT_GE(run.seconds, c.least);
        EXPECT_LT(run.seconds, c.most);
    }
}

// As a board is plugged in: the system's entry appears first, then udev's
// node, readable by root only, then the user's access.
TEST_F(SimulatedBench, WaitRidesOutUdevSettingUpTheNode)
{
    std::string hex = write_scratch_file("user.hex", read_whole_file(example_hex_path()));
    for (int delay_ms : {0, 300, 900}) {
        SCOPED_TRACE(delay_ms);
        ProcessResult run =
            run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                         public_binary(), "-w", "-mmcu=atmega32u4", "-usb=5e1a:1", hex},
                        [&](int) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(300));
                            SimOptions entry_only;
                            entry_only.node = false;
                            add_device(0, 0x5E1A, 0x0001, entry_only);
                            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                            add_device(0, 0x5E1A, 0x0001);  // mode 0600, owned by root
                            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                            set_mode(0, 0666);
                        });
        SimResult sim = finish(0);
        reset();
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sim.frames.size(), 17u);
    }
}

}  // namespace
