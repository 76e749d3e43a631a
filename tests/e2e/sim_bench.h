// The test bench for the end-to-end tests: simulated bootloaders presented
// to the unmodified quorvel binary through the paths a real device uses.
//
// In a private mount namespace, a tmpfs over /sys/devices (the machine's
// entries bound back in) holds each simulated device as sysfs has it (USB
// device, interface, HID device with its uevent and report_descriptor, the
// hidraw node's entry; a uevent file and a subsystem link at each level, as
// a browser's libudev wants them), /sys/class/hidraw/hidrawN (a tmpfs too)
// links to it, and a tmpfs over /dev
// (with /dev/null and friends bound back in) holds /dev/hidrawN: the file of
// a sim_bootloader process's FUSE file system, bound there. A write to it
// blocks until the simulated device has taken the report, and it answers the
// hidraw ioctl that asks for the IDs, as a real node does. This needs root.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <sys/types.h>
#include <vector>

using Frame = std::vector<uint8_t>;  // report ID and 64 bytes

struct SimOptions {
    long stall_after = -1;           // take this many reports, then hold every later write unanswered
    long unplug_after = -1;          // take this many reports, then answer every later write with ENODEV
    int in_flight_error = ENODEV;    // the errno of the first write at the unplug (the kernel's: EPROTO)
    long queued = 0;                 // reports still taken after a stall (the device's receive buffers)
    long write_timeout_ms = 0;       // a held write ends with ETIMEDOUT after this long, uninterruptible
    long report_delay_us = 0;        // answer each write this long after it arrived
    long node_delay_ms = 0;          // /dev/hidrawN appears this long after its sysfs entry
    bool ignore_interrupts = false;  // a held write stays held when its writer is killed
    int open_error = 0;              // every open of the node fails with this errno
    bool keyboard = false;           // the report descriptor of a keyboard, not of the bootloader
    bool small_reports = false;      // a vendor-defined descriptor with 8-byte output reports
    mode_t mode = 0600;
    bool node = true;  // present /dev/hidrawN at all
    const char *name = "Quorvel Test HID Bootloader";
    uint32_t ioctl_vendor_id = 0;  // the IDs the node answers with, when not those of sysfs
    uint32_t ioctl_product_id = 0;
    const char *uevent = nullptr;  // the whole uevent file, instead of one made from the IDs
    const char *serial = "";       // HID_UNIQ
    const char *location = "";     // the USB device above it in sysfs ("1-2.3"), if any
    uint32_t bus = 0x0003;         // of HID_ID: 0003 USB, 0005 Bluetooth
};

struct SimResult {
    std::vector<Frame> frames;    // taken by the device, in order
    std::vector<double> seconds;  // when each frame arrived
    std::vector<std::string> errors;
    std::vector<Frame> held;          // written, never taken nor answered
    std::vector<double> interrupted;  // when the writer of a held write gave up
    std::vector<double> timed_out;    // when a held write ended with ETIMEDOUT
    size_t queued = 0;                // taken after the stall, into no flash
    std::vector<Frame> refused;       // answered with ENODEV
    std::vector<uint8_t> flash;       // the emulated flash at the end
    double started_at = 0;  // when the simulator started, on steady_clock: frame times count from it
};

// A board that runs its application, whose USB serial port is a
// pseudo-terminal bound at `port`. When the port is set to 1200 baud and
// closed, the board resets: the port goes away and, after the
// re-enumeration delay, its bootloader appears as hidraw`bootloader` (with
// the IDs 5e1a:0001 and the same location), unless that is -1.
struct AppOptions {
    const char *port = "/dev/ttyACM0";
    const char *location = "";  // its USB port in sysfs ("1-4"); "" for a port that sysfs does not place
    double reenumerate_seconds = 1.0;
    int bootloader = -1;
};

// What a board does once it has taken START_APPLICATION: its bootloader
// leaves the bus, and its application (a USB device with no HID interface
// here) appears at the same port.
struct AfterStart {
    double leave_after = 0.05;   // seconds until the bootloader leaves; < 0: it stays
    double appear_after = 0.25;  // seconds from then until the application appears; < 0: nothing appears
    uint32_t vendor_id = 0x5E1A;
    uint32_t product_id = 0x0100;
    const char *product = "Blink";
    const char *serial = "";
};

// Board number N of several: serial "QV-N", 1 ms per report, taking no
// more reports after `stall_after` of them unless that is -1.
SimOptions numbered_board(int number, long stall_after = -1);

// Sets up the mount namespace once per process; empty when it worked.
const std::string &bench_problem();

class SimulatedBench : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Stops every simulator and removes every device.
    void reset();

    // Presents a device hidrawN with these IDs and starts its simulator.
    void add_device(int number, uint32_t vendor_id, uint32_t product_id, const SimOptions &options = {});

    // Stops the simulator of hidrawN and returns what it saw.
    SimResult finish(int number);

    // Stops the simulator of hidrawN and removes the device, as when the
    // board is unplugged; returns what it saw.
    SimResult unplug(int number);

    // Changes the permission bits of /dev/hidrawN, as udev does.
    static void set_mode(int number, mode_t mode);

    // Changes the owner and group of /dev/hidrawN, as udev does.
    static void set_owner(int number, uid_t owner, gid_t group);

    // A copy of the tool that any user may run.
    static std::string public_binary();

    // Waits (20 s at most) until the board at hidrawN, plugged in at
    // `location`, has taken START_APPLICATION, then does what `after` says.
    // Returns what its simulator saw: all of it when the bootloader left,
    // else (it stays) nothing yet. Sets `taken_at` (steady_clock seconds)
    // to when it saw START_APPLICATION, -1 when it never came.
    SimResult after_start_application(int number, const char *location, const AfterStart &after,
                                      double &taken_at);

    // Starts the board's application (one per test).
    void start_app(const AppOptions &options);

    // Waits until the application has reset and its bootloader, if any, is
    // there, or was stopped. Returns when it saw the 1200-baud touch (on
    // steady_clock, in seconds) or -1 when it saw none; `presented_at` gets
    // when its bootloader appeared.
    double finish_app(double &presented_at);

  private:
    void run_app(int master, AppOptions options);
    void stop_app();

    std::thread app_;
    std::atomic<bool> app_stop_{false};
    double app_touched_at_ = -1, app_presented_at_ = -1;

    struct Device {
        int number;
        pid_t pid;
        pid_t binder;  // binds the node late, or -1
        std::string mount_dir, log_path, flash_path;
    };
    std::vector<Device> devices_;
};

// The command codes of a list of frames.
std::vector<int> commands_of(const std::vector<Frame> &frames);

// A quorvel run started in the background, with standard output and error
// in files of its own, so that several runs can overlap. A run that was not
// waited for by finish_quorvel (a test that stopped at a failed assertion)
// is killed and reaped when it goes out of scope: no test leaves a process
// behind.
struct BackgroundRun {
    pid_t pid = -1;
    std::string out_path, err_path;

    BackgroundRun() = default;
    BackgroundRun(BackgroundRun &&other) noexcept;
    BackgroundRun &operator=(BackgroundRun &&other) noexcept;
    BackgroundRun(const BackgroundRun &) = delete;
    BackgroundRun &operator=(const BackgroundRun &) = delete;
    ~BackgroundRun();
};
BackgroundRun start_quorvel(const std::vector<std::string> &arguments);
// Waits for the run to end and returns what it printed; the run is then
// reaped, and its guard has nothing left to end. With a limit, a run still
// going after that many seconds is killed (SIGKILL: status 128 + 9).
ProcessResult finish_quorvel(BackgroundRun &run, double limit_seconds = 0);

// Kills the run (SIGKILL) when it still runs and reaps it.
void end_background_run(BackgroundRun &run);

// For run_process: kills the process when it is still running after this
// many seconds (it then ends with status 128 + 9).
WhileRunning kill_after(double seconds);
