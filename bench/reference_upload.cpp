// The protocol's floor on a given device, measured: the same walk over the
// same image as quorvel's upload, but with the least a transport can do:
// each report is one plain write() with no time limit, and each pause ends
// at its exact end. Whatever quorvel's real upload takes beyond
// this walk's time is quorvel's own cost (start-up, loading, the device
// search and proof, the time limits, pauses that end late).
//
// Usage: reference_upload -mmcu=MCU DEVICE FILE.hex   (prints the seconds taken)
#include "cli/options.h"
#include "image/hex_reader.h"
#include "upload/protocol.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

int device = -1;

int write_report(const CommandReport &report, double)
{
    uint8_t frame[REPORT_SIZE + 1] = {0};
    std::memcpy(frame + 1, report.bytes.data(), REPORT_SIZE);
    return write(device, frame, sizeof frame) == ssize_t(sizeof frame);
}

// Sleeps to 0.3 ms short of the end (far more than this machine's timer is
// ever late by), then spins to the exact end.
void exact_pause(double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::this_thread::sleep_until(end - std::chrono::microseconds(300));
    while (std::chrono::steady_clock::now() < end) {
    }
}

int written_already()
{
    return 1;
}

void nothing(int32_t, int32_t) {}

}  // namespace

int main(int argc, char **argv)
{
    UploadPlan plan{};
    if (argc != 4 || std::strncmp(argv[1], "-mmcu=", 6) != 0 ||
        !find_mcu(argv[1] + 6, plan.code_size, plan.block_size)) {
        std::fprintf(stderr, "usage: reference_upload -mmcu=MCU DEVICE FILE.hex\n");
        return 2;
    }
    auto started = std::chrono::steady_clock::now();
    device = open(argv[2], O_RDWR | O_CLOEXEC);
    if (device < 0 || load_hex_file(argv[3]) < 0) {
        std::perror("reference_upload");
        return 1;
    }
    if (upload_image(UploadTransport{write_report, written_already, exact_pause, nothing, nullptr}, plan) !=
        UPLOAD_DONE)
        return 1;
    std::printf("%.6f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return 0;
}
