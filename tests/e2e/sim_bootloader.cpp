// A simulated HID bootloader for the end-to-end tests.
//
// It reads the reports that quorvel writes to a FIFO standing in for
// /dev/hidrawN, in 65-byte frames (report ID and 64 bytes), checks each one
// as the bootloader would (report ID 0, marker, known command, parameters in
// range, legal order), emulates the flash, and logs every frame with the time
// it was read. It runs until SIGTERM, then reads what is still in the FIFO,
// writes the flash to a file and exits.
//
// Usage: sim_bootloader FIFO LOG FLASH [--stall-after K] [--close-after K]
//                       [--pipe-size BYTES]
//   --stall-after K  stop reading after K frames, as a device that hangs
//   --close-after K  close the FIFO and remove it after K frames, as a device
//                    that is unplugged
//   --pipe-size N    shrink the FIFO's buffer so that writes block soon
//   --report-delay-us N  take N microseconds over each report, as a slower
//                    device does
//   --batch-us N     look at the FIFO every N microseconds instead of waiting
//                    on it, so that a report costs the writer no wake-up of
//                    this process (for measuring the writer's own cost)
//
// Log lines: "ready", "frame INDEX MICROSECONDS HEX", "error INDEX TEXT",
// "buffered INDEX HEX" (accepted by the kernel, never read by the device), and
// at the end "end FRAMES ERRORS".

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t FRAME_SIZE = 65;
constexpr size_t FLASH_SIZE = 0x20000;  // word addresses reach 128 KiB

volatile sig_atomic_t stop_requested = 0;

void on_terminate(int)
{
    stop_requested = 1;
}

enum Expect {
    EXPECT_BEGIN,
    EXPECT_ADDRESS_OR_FINISH,
    EXPECT_LENGTH,
    EXPECT_DATA,
    EXPECT_BLOCK_DONE,
    EXPECT_START,
    EXPECT_NOTHING
};

struct Bootloader {
    FILE *log = nullptr;
    Expect expect = EXPECT_BEGIN;
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t filled = 0;
    uint32_t block_size = 0;  // the first SET_LENGTH fixes it for the run
    std::array<uint8_t, 256> block{};
    std::vector<uint8_t> flash = std::vector<uint8_t>(FLASH_SIZE, 0xFF);
    long frames = 0;
    long errors = 0;
};

void error(Bootloader &b, const char *text)
{
    ++b.errors;
    std::fprintf(b.log, "error %ld %s\n", b.frames, text);
}

bool zero_from(const uint8_t *report, size_t first)
{
    for (size_t i = first; i < 64; ++i)
        if (report[i] != 0)
            return false;
    return true;
}

void handle_frame(Bootloader &b, const uint8_t *frame, long microseconds)
{
    ++b.frames;
    std::fprintf(b.log, "frame %ld %ld ", b.frames, microseconds);
    for (size_t i = 0; i < FRAME_SIZE; ++i)
        std::fprintf(b.log, "%02x", frame[i]);
    std::fputc('\n', b.log);

    if (frame[0] != 0)
        return error(b, "report ID is not 0");
    const uint8_t *report = frame + 1;
    if (report[0] != 0xA1)
        return error(b, "no command marker");
    int command = report[1];
    switch (command) {
    case 1:
        if (b.expect != EXPECT_BEGIN)
            return error(b, "BEGIN out of order");
        if (!zero_from(report, 2))
            return error(b, "BEGIN has parameters");
        b.expect = EXPECT_ADDRESS_OR_FINISH;
        break;
    case 2:
        if (b.expect != EXPECT_ADDRESS_OR_FINISH)
            return error(b, "SET_ADDRESS out of order");
        if (!zero_from(report, 4))
            return error(b, "SET_ADDRESS has stray bytes");
        b.address = (uint32_t(report[2]) | uint32_t(report[3]) << 8) * 2;
        b.expect = EXPECT_LENGTH;
        break;
    case 3:
        if (b.expect != EXPECT_LENGTH)
            return error(b, "SET_LENGTH out of order");
        b.length = uint32_t(report[2]) << 8 | report[3];
        if ((b.length != 128 && b.length != 256) || !zero_from(report, 4))
            return error(b, "SET_LENGTH is not 128 or 256");
        if (b.block_size == 0)
            b.block_size = b.length;
        if (b.length != b.block_size)
            return error(b, "block size changed during the run");
        if (b.address % b.length != 0)
            return error(b, "block address not aligned to the block size");
        b.filled = 0;
        b.expect = EXPECT_DATA;
        break;
    case 4:
        if (b.expect != EXPECT_DATA)
            return error(b, "DATA out of order");
        if (!zero_from(report, 34))
            return error(b, "DATA has stray bytes");
        std::memcpy(b.block.data() + b.filled, report + 2, 32);
        b.filled += 32;
        if (b.filled == b.length)
            b.expect = EXPECT_BLOCK_DONE;
        break;
    case 5:
        if (b.expect != EXPECT_BLOCK_DONE)
            return error(b, "BLOCK_DONE before the block is full");
        if (!zero_from(report, 2))
            return error(b, "BLOCK_DONE has parameters");
        std::memcpy(b.flash.data() + b.address, b.block.data(), b.length);
        b.expect = EXPECT_ADDRESS_OR_FINISH;
        break;
    case 6:
        if (b.expect != EXPECT_ADDRESS_OR_FINISH)
            return error(b, "FINISH out of order");
        b.expect = EXPECT_START;
        break;
    case 7:
        if (b.expect != EXPECT_START)
            return error(b, "START_APPLICATION out of order");
        b.expect = EXPECT_NOTHING;
        break;
    default:
        return error(b, "unknown command");
    }
}

// Reads one whole frame; returns 0 when none is waiting.
bool read_frame(int fd, uint8_t *frame)
{
    size_t have = 0;
    while (have < FRAME_SIZE) {
        ssize_t got = read(fd, frame + have, FRAME_SIZE - have);
        if (got > 0) {
            have += size_t(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (have == 0)
            return false;
        if (got < 0 && errno == EAGAIN) {
            usleep(1000);  // the rest of a frame is on its way
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: sim_bootloader FIFO LOG FLASH [options]\n");
        return 2;
    }
    const char *fifo = argv[1];
    long stall_after = -1, close_after = -1, pipe_size = 0, report_delay_us = 0, batch_us = 0;
    for (int i = 4; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        long value = std::atol(argv[i + 1]);
        if (option == "--stall-after")
            stall_after = value;
        else if (option == "--close-after")
            close_after = value;
        else if (option == "--pipe-size")
            pipe_size = value;
        else if (option == "--report-delay-us")
            report_delay_us = value;
        else if (option == "--batch-us")
            batch_us = value;
    }

    struct sigaction action {};
    action.sa_handler = on_terminate;
    sigaction(SIGTERM, &action, nullptr);

    Bootloader b;
    b.log = std::fopen(argv[2], "w");
    if (!b.log)
        return 2;
    setvbuf(b.log, nullptr, _IOLBF, 0);
    int fd = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(b.log, "error 0 cannot open %s: %s\n", fifo, std::strerror(errno));
        return 2;
    }
    if (pipe_size > 0 && fcntl(fd, F_SETPIPE_SZ, int(pipe_size)) < 0)
        std::fprintf(b.log, "error 0 F_SETPIPE_SZ: %s\n", std::strerror(errno));
    std::fprintf(b.log, "ready\n");

    const auto started = std::chrono::steady_clock::now();
    uint8_t frame[FRAME_SIZE];
    bool reading = true;
    while (!stop_requested) {
        if (!reading) {
            usleep(20000);
            continue;
        }
        pollfd wait{fd, POLLIN, 0};
        if (batch_us > 0)
            usleep(useconds_t(batch_us));
        if (poll(&wait, 1, batch_us > 0 ? 0 : 20) <= 0 || !(wait.revents & POLLIN)) {
            if (wait.revents & POLLHUP)
                usleep(20000);  // no writer now: poll would not wait
            continue;
        }
        while (reading && read_frame(fd, frame)) {
            long microseconds = long(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - started)
                                         .count());
            handle_frame(b, frame, microseconds);
            if (report_delay_us > 0)
                usleep(useconds_t(report_delay_us));
            if (b.frames == stall_after)
                reading = false;
            if (b.frames == close_after) {
                close(fd);
                unlink(fifo);
                fd = -1;
                reading = false;
            }
        }
    }
    // What the kernel accepted but the device never read.
    long buffered = 0;
    while (fd >= 0 && read_frame(fd, frame)) {
        std::fprintf(b.log, "buffered %ld ", b.frames + ++buffered);
        for (size_t i = 0; i < FRAME_SIZE; ++i)
            std::fprintf(b.log, "%02x", frame[i]);
        std::fputc('\n', b.log);
    }
    if (FILE *out = std::fopen(argv[3], "wb")) {
        std::fwrite(b.flash.data(), 1, b.flash.size(), out);
        std::fclose(out);
    }
    std::fprintf(b.log, "end %ld %ld\n", b.frames, b.errors);
    std::fclose(b.log);
    return 0;
}
