// The test bench for the end-to-end tests: simulated bootloaders presented
// to the unmodified quorvel binary through the paths a real device uses.
//
// In a private mount namespace, a tmpfs over /sys/class/hidraw holds a
// hidrawN/device/uevent file per simulated device, and a tmpfs over /dev
// holds a FIFO per device named hidrawN (with /dev/null and friends bound
// back in). A sim_bootloader process reads each FIFO. This needs root.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

using Frame = std::vector<uint8_t>;  // report ID and 64 bytes

struct SimOptions {
    long stall_after = -1;  // stop reading after this many frames
    long close_after = -1;  // close and remove the node after this many frames
    long pipe_size = 0;     // shrink the FIFO so that writes block soon
    mode_t mode = 0600;
    bool node = true;  // create /dev/hidrawN at all
    const char *name = "Quorvel Test HID Bootloader";
};

struct SimResult {
    std::vector<Frame> frames;    // read by the device, in order
    std::vector<double> seconds;  // when each frame was read
    std::vector<std::string> errors;
    std::vector<Frame> buffered;  // accepted by the kernel, never read
    std::vector<uint8_t> flash;   // the emulated flash at the end
};

// Sets up the mount namespace once per process; empty when it worked.
const std::string &bench_problem();

class Bench : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Stops every simulator and removes every device.
    void reset();

    // Presents a device hidrawN with these IDs and starts its simulator.
    void add_device(int number, uint32_t vendor_id, uint32_t product_id, const SimOptions &options = {});

    // Stops the simulator of hidrawN and returns what it saw.
    SimResult finish(int number);

    // A copy of the tool that any user may run.
    static std::string public_binary();

  private:
    struct Device {
        int number;
        pid_t pid;
        std::string log_path, flash_path;
    };
    std::vector<Device> devices_;
};

// The command codes of a list of frames.
std::vector<int> commands_of(const std::vector<Frame> &frames);
