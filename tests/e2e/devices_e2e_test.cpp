// Listing the HID devices and choosing one by its path.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/sysmacros.h>

namespace {

namespace fs = std::filesystem;

TEST_F(SimulatedBench, ListShowsEveryDeviceAndMarksMatches)
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
    const std::string listing = "/dev/hidraw0\t045e:0750\t%s\tContoso Keyboard\t\t\n"
                                "/dev/hidraw1\t5e1a:0001\t%s\tQuorvel Test HID Bootloader\t\t\n"
                                "/dev/hidraw2\t5e1a:0002\t%s\tEvil?Name\t\t\n"
                                "/dev/hidraw11\t5e1a:0001\t%s\tQuorvel Test HID Bootloader\t\t\n";
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

TEST_F(SimulatedBench, DevicePathPicksOneOfIdenticalBoards)
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

TEST_F(SimulatedBench, DevicePathThatDoesNotFit)
{
    add_device(0, 0x16C0, 0x05DF);
    SimOptions keyboard;
    keyboard.keyboard = true;
    add_device(3, 0x045E, 0x0750, keyboard);
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"-usb=5e1a:1", "-device=/dev/hidraw0"},
         "Unable to open device\n/dev/hidraw0 has IDs 16c0:05df, not 5e1a:0001\n\n"},
        {{"-device=/dev/hidraw9"}, "Unable to open device\n/dev/hidraw9: No such file or directory\n\n"},
        // A path alone must lead to a device shaped like the bootloader.
        {{"-device=/dev/hidraw3"},
         "Unable to open device\n/dev/hidraw3 (045e:0750) is a HID device that does not take the "
         "bootloader's "
         "64-byte reports; if it is the bootloader, name its IDs with -usb=\n\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-mmcu=atmega32u4", example_hex_path()});
        ProcessResult run = run_quorvel(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
    }
    EXPECT_TRUE(finish(0).frames.empty());
    SimResult keyboard_saw = finish(3);
    EXPECT_TRUE(keyboard_saw.frames.empty() && keyboard_saw.held.empty());
}

// Three identical boards: a serial number or a USB port picks exactly one.
TEST_F(SimulatedBench, SerialOrLocationPicksOneOfIdenticalBoards)
{
    const char *serials[] = {"QV-0001", "Board B \xc3\xa9t\xc3\xa9", "QV-0003"};
    const char *locations[] = {"1-2.1", "1-2.2", "3-1"};
    for (int number : {0, 1, 2}) {
        SimOptions board;
        board.serial = serials[number];
        board.location = locations[number];
        add_device(number, 0x5E1A, 0x0001, board);
    }
    ProcessResult listed = run_quorvel({"-usb=5e1a:1", "-list"});
    EXPECT_EQ(
        listed.out,
        "/dev/hidraw0\t5e1a:0001\tmatch\tQuorvel Test HID Bootloader\tQV-0001\t1-2.1\n"
        "/dev/hidraw1\t5e1a:0001\tmatch\tQuorvel Test HID Bootloader\tBoard B \xc3\xa9t\xc3\xa9\t1-2.2\n"
        "/dev/hidraw2\t5e1a:0001\tmatch\tQuorvel Test HID Bootloader\tQV-0003\t3-1\n");

    const struct {
        std::vector<std::string> selection;
        int board;  // the one that gets the upload
    } cases[] = {
        {{"-usb=5e1a:1", "-serial=Board B \xc3\xa9t\xc3\xa9"}, 1},
        {{"-usb=5e1a:1", "-location=3-1"}, 2},
        {{"-serial=QV-0003", "-location=3-1"}, 2},  // without IDs: a device shaped like the bootloader
        {{"-location=1-2.1"}, 0},
    };
    for (const auto &c : cases) {
        std::vector<std::string> arguments = c.selection;
        arguments.insert(arguments.end(), {"-mmcu=atmega32u4", example_hex_path()});
        ProcessResult run = run_quorvel(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        for (int number : {0, 1, 2}) {
            SimResult sim = finish(number);
            EXPECT_EQ(sim.frames.size(), number == c.board ? 17u : 0u)
                << c.selection.back() << " hidraw" << number;
            SimOptions board;
            board.serial = serials[number];
            board.location = locations[number];
            add_device(number, 0x5E1A, 0x0001, board);
        }
    }

    ProcessResult none = run_quorvel(
        {"-usb=5e1a:1", "-serial=QV-0002", "-location=3-1", "-mmcu=atmega32u4", example_hex_path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "Unable to open device\nNo HID device with the IDs 5e1a:0001 and the serial number "
              "\"QV-0002\" and the location \"3-1\" is present: see quorvel -list. Start the bootloader "
              "(press the board's reset button), or add -w to wait for it\n\n");
}

// Whatever -device= names, nothing is written unless the open descriptor
// answers as a HID device: files, pipes, terminals and disks are refused
// untouched, also when they carry a hidraw name.
TEST_F(SimulatedBench, DevicePathMustBeAHidDevice)
{
    const std::string notes = write_scratch_file("notes.txt", "my notes\n");
    fs::create_directories(scratch_dir() + "/dir");
    const std::string named_like_a_node = scratch_dir() + "/dir/hidraw0";
    write_scratch_file("dir/hidraw0", "not a device\n");
    const std::string fifo = scratch_dir() + "/pipe";
    mkfifo(fifo.c_str(), 0600);
    ASSERT_EQ(mknod("/dev/fake-disk", S_IFBLK | 0600, makedev(7, 0)), 0);     // a loop device
    ASSERT_EQ(mknod("/dev/fake-tty", S_IFCHR | 0600, makedev(5, 0)), 0);      // /dev/tty
    ASSERT_EQ(mknod("/dev/fake-serial", S_IFCHR | 0600, makedev(4, 64)), 0);  // /dev/ttyS0
    const std::string paths[] = {notes,
                                 named_like_a_node,
                                 fifo,
                                 scratch_dir() + "/dir",
                                 "/dev/null",
                                 "/dev/zero",
                                 "/dev/fake-disk",
                                 "/dev/fake-tty",
                                 "/dev/fake-serial"};
    for (const std::string &path : paths) {
        for (const char *ids : {"-usb=5e1a:1", "-v"}) {
            SCOPED_TRACE(path + " " + ids);
            ProcessResult run = run_quorvel({"-mmcu=atmega32u4", ids, "-device=" + path, example_hex_path()});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, "Unable to open device\n" + path + " is not a HID device\n\n");
        }
    }
    EXPECT_EQ(read_whole_file(notes), "my notes\n");
    EXPECT_EQ(read_whole_file(named_like_a_node), "not a device\n");
    for (const char *node : {"/dev/fake-disk", "/dev/fake-tty", "/dev/fake-serial"})
        fs::remove(node);
}

// With a controlling terminal, as a person's shell has, a character device
// of another class (a terminal, a serial port) is still not even opened:
// opening a serial port can reset the board behind it. Seen through strace,
// since such an open may well succeed here and be refused only later.
TEST_F(SimulatedBench, DevicesOfAnotherClassAreNeverOpenedFromATerminal)
{
    const std::string strace = "/usr/bin/strace";
    if (!fs::exists(strace))
        GTEST_FAIL() << "strace is missing: install Debian's strace package (the README's Quick start does)";
    ASSERT_EQ(mknod("/dev/fake-tty", S_IFCHR | 0600, makedev(5, 0)), 0);      // /dev/tty
    ASSERT_EQ(mknod("/dev/fake-serial", S_IFCHR | 0600, makedev(4, 64)), 0);  // /dev/ttyS0
    const std::string trace = scratch_dir() + "/opens.trace";
    for (const char *node : {"/dev/fake-tty", "/dev/fake-serial"}) {
        SCOPED_TRACE(node);
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        pid_t child = fork();
        if (child == 0) {
            // A session of its own whose controlling terminal is the pseudo-terminal.
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            for (int fd : {0, 1, 2})
                dup2(slave, fd);
            // LeakSanitizer cannot work under ptrace: a sanitized build leaves it out here.
            exec_program({strace, "-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "trace=open,openat", "-o",
                          trace, QUORVEL_BINARY,
                          "-mmcu=atmega32u4", "-usb=5e1a:1", std::string("-device=") + node, example_hex_path()});
        }
        close(slave);
        std::string shown;
        char buffer[512];
        for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
            shown.append(buffer, size_t(got));
        int status = 0;
        waitpid(child, &status, 0);
        close(master);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown;
        EXPECT_NE(shown.find(std::string(node) + " is not a HID device"), std::string::npos) << shown;
        const std::string opens = read_whole_file(trace);
        EXPECT_NE(opens.find("example"), std::string::npos) << "the trace saw no open at all";
        EXPECT_EQ(opens.find(std::string("\"") + node + "\""), std::string::npos) << opens;
    }
    for (const char *node : {"/dev/fake-tty", "/dev/fake-serial"})
        fs::remove(node);
}

TEST_F(SimulatedBench, DevicePathThroughASymlink)
{
    add_device(3, 0x5E1A, 0x0001);
    fs::create_directories("/dev/quorvel");
    fs::create_symlink("/dev/hidraw3", "/dev/quorvel/board-a");
    ProcessResult run = run_quorvel(
        {"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", "-device=/dev/quorvel/board-a", example_hex_path()});
    fs::remove_all("/dev/quorvel");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Device: /dev/quorvel/board-a (5e1a:0001)\n"), std::string::npos);
    EXPECT_EQ(finish(3).frames.size(), 17u);
}

// The search trusts no name: a node is used only when the open descriptor
// answers with the IDs of the system's entry it was found by.
TEST_F(SimulatedBench, SearchProvesEachNodeOnItsDescriptor)
{
    SimOptions keyboard_behind;  // the system says bootloader, the node is a keyboard
    keyboard_behind.ioctl_vendor_id = 0x045E;
    keyboard_behind.ioctl_product_id = 0x0750;
    add_device(1, 0x5E1A, 0x0001, keyboard_behind);
    // The same vendor, another product: the node is another of the vendor's
    // devices, and the product ID alone tells it apart.
    SimOptions sibling_behind;
    sibling_behind.ioctl_vendor_id = 0x5E1A;
    sibling_behind.ioctl_product_id = 0x0002;
    add_device(3, 0x5E1A, 0x0001, sibling_behind);
    // A plain file where the node should be, as in a container whose /dev
    // is not the host's.
    SimOptions entry_only;
    entry_only.node = false;
    add_device(2, 0x5E1A, 0x0001, entry_only);
    std::ofstream("/dev/hidraw2") << "a file";

    ProcessResult none = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err,
              "Unable to open device\n/dev/hidraw1 answers with IDs 045e:0750, not those of its system "
              "entry (5e1a:0001)\n/dev/hidraw2 is not a HID device\n/dev/hidraw3 answers with IDs 5e1a:0002, not "
              "those of its system entry (5e1a:0001)\n\n");
    EXPECT_EQ(read_whole_file("/dev/hidraw2"), "a file");

    add_device(5, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(finish(5).frames.size(), 17u);
    for (int number : {1, 3}) {
        SimResult lying = finish(number);
        EXPECT_TRUE(lying.frames.empty() && lying.held.empty()) << number;
    }
    EXPECT_EQ(read_whole_file("/dev/hidraw2"), "a file");
}

// What the system's entries say is read strictly: a malformed entry is no
// device, and names from devices reach the terminal only as printable text.
TEST_F(SimulatedBench, ListReadsEntriesStrictlyAndShowsNamesSafely)
{
    // A name longer than a 511-byte piece whose tail looks like an HID_ID line.
    const std::string long_name = "HID_NAME=" + std::string(502, 'x') + "HID_ID=0003:00005E1A:00000001\n";
    const std::string keyboard = "HID_ID=0003:0000045E:00000750\n" + long_name;
    const struct {
        std::string uevent;
        std::string listed;  // the line -list shows, or empty
    } cases[] = {
        {keyboard,
         "/dev/hidraw0\t045e:0750\t-\t" + std::string(502, 'x') + "HID_ID=0003:00005E1A:00000001\t\t\n"},
        {"HID_ID=0003:00005E1A:00000001\nHID_ID=0003:0000045E:00000750\nHID_NAME=two IDs\n", ""},
        {"HID_ID=0003:+0005E1A:00000001\nHID_NAME=signed\n", ""},
        {"HID_ID=0003:000005E1A:00000001\nHID_NAME=nine digits\n", ""},
        {"HID_ID=0003:5E1A:1:0\nHID_NAME=four fields\n", ""},
        {"HID_ID=0003:00005E1A:00000001 \nHID_NAME=trailing blank\n", ""},
        {"HID_ID=3:5e1a:1\nHID_NAME=Tab\there, bell\a, DEL\x7f, C1 \xc2\x85, bad \xff\xc3, ok \xc3\xa9\n",
         "/dev/hidraw0\t5e1a:0001\tmatch\tTab?here, bell?, DEL?, C1 ?, bad ??, ok \xc3\xa9\t\t\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uevent);
        SimOptions options;
        options.uevent = c.uevent.c_str();
        add_device(0, 0x5E1A, 0x0001, options);
        ProcessResult run = run_quorvel({"-usb=5e1a:1", "-list"});
        EXPECT_EQ(run.out, c.listed.empty() ? "No HID devices found\n" : c.listed);
        ProcessResult upload = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
        EXPECT_EQ(upload.status, c.listed.find("match") != std::string::npos ? 0 : 1) << upload.err;
        reset();
    }

    // Only names the kernel gives: hidraw01 is not hidraw1.
    add_device(1, 0x5E1A, 0x0001);
    fs::rename("/sys/class/hidraw/hidraw1", "/sys/class/hidraw/hidraw01");
    EXPECT_EQ(run_quorvel({"-list"}).out, "No HID devices found\n");
}

}  // namespace
