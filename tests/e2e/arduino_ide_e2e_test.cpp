// The board package with the real Arduino IDE (1.8, run headless): the IDE
// compiles a sketch with the Arduino AVR core and calls quorvel to upload it
// to a simulated bootloader.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// An IDE set up in a folder of its own: its settings, its sketchbook with
// the board package in hardware/, the Blink example and the build folder.
// The IDE never touches the user's home.
struct Ide {
    std::string dir = scratch_dir() + "/ide";

    Ide()
    {
        fs::remove_all(dir);
        fs::create_directories(dir + "/home");
        fs::create_directories(dir + "/sketchbook/hardware");
        fs::copy(std::string(QUORVEL_SOURCE_DIR) + "/integrations/arduino/hardware/quorvel",
                 dir + "/sketchbook/hardware/quorvel", fs::copy_options::recursive);
        fs::create_directories(dir + "/Blink");
        fs::copy_file("/usr/share/arduino/examples/01.Basics/Blink/Blink.ino", dir + "/Blink/Blink.ino");
        std::ofstream(dir + "/prefs.txt") << "sketchbook.path=" << dir << "/sketchbook\n"
                                          << "update.check=false\n"
                                          << "build.path=" << dir << "/build\n";
    }

    // Runs the IDE with quorvel's build folder first on PATH.
    ProcessResult run(const std::vector<std::string> &arguments) const
    {
        std::vector<std::string> argv{"/usr/bin/env",
                                      "PATH=" + fs::path(QUORVEL_BINARY).parent_path().string() + ":" +
                                          std::getenv("PATH"),
                                      "JAVA_TOOL_OPTIONS=-Duser.home=" + dir + "/home", "arduino"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.insert(argv.end(), {"--preferences-file", dir + "/prefs.txt"});
        return run_process(argv, kill_after(240));
    }

    std::string hex_path() const { return dir + "/build/Blink.ino.hex"; }
};

class ArduinoIde : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (IsSkipped())
            return;
        // CI installs the IDE (Debian's arduino package): there, a missing
        // IDE is a failure, not a reason to skip.
        ASSERT_EQ(run_process({"/bin/sh", "-c", "command -v arduino"}).status, 0)
            << "the Arduino IDE is not installed: install the package arduino (apt-get install arduino)";
    }
};

// The flash must hold what the IDE built: the HEX as avr-objcopy reads it.
void expect_flash_holds(const SimResult &sim, const std::string &hex_path)
{
    std::string bin = hex_path + ".bin";
    ProcessResult flat =
        run_process({"/usr/bin/env", "avr-objcopy", "-I", "ihex", "-O", "binary", hex_path, bin});
    ASSERT_EQ(flat.status, 0) << flat.err;
    std::string expected = read_whole_file(bin);
    ASSERT_GT(expected.size(), 1000u);
    ASSERT_GE(sim.flash.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(sim.flash[i], uint8_t(expected[i])) << "byte " << i;
}

TEST_F(ArduinoIde, UploadButtonFlashesTheSketch)
{
    // The lines that the IDE must pass on, in this order. The IDE writes
    // its own lines from another thread: one of them may come between two
    // of quorvel's.
    struct Case {
        const char *name;
        long stall_after;
        bool verbose;
        int status;
        std::vector<const char *> lines;
    };
    for (const Case &c :
         {Case{"upload", -1, true, 0, {"\nDone.\n"}},
          Case{"stalled device",
               10,
               false,
               1,
               {"Error writing to device\n",
                "The data command of the block at 0x0080 failed: no answer within 50 ms."}}}) {
        SCOPED_TRACE(c.name);
        reset();
        SimOptions board;
        board.stall_after = c.stall_after;
        add_device(0, 0x5e1a, 0x0001, board);
        Ide ide;
        std::vector<std::string> arguments{"--upload", ide.dir + "/Blink/Blink.ino", "--board",
                                           "quorvel:avr:atmega32u4"};
        if (c.verbose)
            arguments.push_back("--verbose-upload");
        ProcessResult run = ide.run(arguments);
        std::string output = run.out + run.err;
        EXPECT_NE(run.status == 0, c.status != 0) << output;
        size_t at = 0;
        for (const char *line : c.lines) {
            at = output.find(line, at);
            ASSERT_NE(at, std::string::npos) << "no \"" << line << "\" in:\n" << output;
        }
        SimResult sim = finish(0);
        if (c.status == 0) {
            std::printf("The IDE's output:\n%s", output.c_str());
            EXPECT_NE(output.find("Device: /dev/hidraw0 (5e1a:0001)"), std::string::npos) << output;
            expect_flash_holds(sim, ide.hex_path());
        } else {
            EXPECT_EQ(sim.frames.size(), 10u);
        }
    }
}

// The Reset menu: quorvel, or the IDE itself, resets the running sketch
// through its serial port (Tools > Port) before the upload.
TEST_F(ArduinoIde, ResetMenuResetsTheRunningBoard)
{
    for (const char *reset_by : {"quorvel", "ide"}) {
        SCOPED_TRACE(reset_by);
        reset();
        AppOptions app;
        app.location = "1-4";
        app.reenumerate_seconds = 0.8;
        app.bootloader = 0;
        start_app(app);
        Ide ide;
        ProcessResult run =
            ide.run({"--upload", ide.dir + "/Blink/Blink.ino", "--board",
                     std::string("quorvel:avr:atmega32u4:reset=") + reset_by, "--port", "/dev/ttyACM0"});
        double presented_at = -1;
        double touched_at = finish_app(presented_at);
        std::string output = run.out + run.err;
        EXPECT_EQ(run.status, 0) << output;
        EXPECT_GT(touched_at, 0) << output;
        expect_flash_holds(finish(0), ide.hex_path());
    }
}

// Every board of the package compiles Blink with the Arduino AVR core and
// fits below its bootloader.
TEST_F(ArduinoIde, EveryBoardCompilesBlink)
{
    for (const char *board : {"atmega32u4", "atmega16u4", "at90usb1286", "at90usb1287", "at90usb646",
                              "at90usb647", "at90usb162", "atmega32u2", "atmega16u2", "atmega8u2"}) {
        SCOPED_TRACE(board);
        Ide ide;
        ProcessResult run = ide.run(
            {"--verify", ide.dir + "/Blink/Blink.ino", "--board", std::string("quorvel:avr:") + board});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        ProcessResult dry = run_quorvel({std::string("-mmcu=") + board, "-n", ide.hex_path()});
        EXPECT_EQ(dry.status, 0) << dry.err;
    }
}

}  // namespace
