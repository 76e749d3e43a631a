#include "upload/upload.h"

#include "cli/console.h"
#include "cli/options.h"
#include "hid/hid_device.h"
#include "image/firmware_image.h"

#include <cstdio>
#include <cstring>

namespace {

// Time limits of the writes, in seconds. The begin command and the first
// block-done get a whole second: the bootloader may be busy (erasing)
// before it takes them.
constexpr double BEGIN_LIMIT = 1.0;
constexpr double SET_ADDRESS_LIMIT = 0.25;
constexpr double FIRST_BLOCK_DONE_LIMIT = 1.0;
constexpr double COMMAND_LIMIT = 0.05;

// Fixed pauses that give the bootloader time to act on a command.
constexpr double AFTER_BEGIN_PAUSE = 1.0;
constexpr double AFTER_BLOCK_PAUSE = 0.01;
constexpr double BEFORE_END_PAUSE = 0.3;

CommandReport make_command(Command command)
{
    CommandReport report{};
    report.bytes[0] = COMMAND_MARKER;
    report.bytes[1] = command;
    return report;
}

int send_command(const UploadTransport &transport, Command command, double limit)
{
    return transport.send(make_command(command), limit);
}

// Sends one block: its address, its length, the data in 32-byte pieces and
// the block-done command.
int send_block(const UploadTransport &transport, int32_t address, int32_t block_size, bool first_block)
{
    CommandReport report = make_command(CMD_SET_ADDRESS);
    int32_t word_address = address / 2;
    report.bytes[2] = uint8_t(word_address & 0xFF);
    report.bytes[3] = uint8_t(word_address >> 8);
    if (!transport.send(report, SET_ADDRESS_LIMIT))
        return 0;

    report = make_command(CMD_SET_LENGTH);
    report.bytes[2] = uint8_t(block_size >> 8);
    report.bytes[3] = uint8_t(block_size & 0xFF);
    if (!transport.send(report, COMMAND_LIMIT))
        return 0;
    transport.block_started(address, block_size);

    uint8_t block[MAX_BLOCK_SIZE];
    image_copy_block(address, block_size, block);
    for (int32_t offset = 0; offset < block_size; offset += DATA_CHUNK) {
        report = make_command(CMD_DATA);
        std::memcpy(&report.bytes[2], block + offset, DATA_CHUNK);
        if (!transport.send(report, COMMAND_LIMIT))
            return 0;
    }

    if (!send_command(transport, CMD_BLOCK_DONE, first_block ? FIRST_BLOCK_DONE_LIMIT : COMMAND_LIMIT))
        return 0;
    transport.pause(AFTER_BLOCK_PAUSE);
    return 1;
}

int send_report_to_device(const CommandReport &report, double timeout_seconds)
{
    return device_send(report.bytes.data(), report.bytes.size(), timeout_seconds);
}

void show_progress(int32_t, int32_t)
{
    log_verbose(".");
}

constexpr UploadTransport DEVICE_TRANSPORT{send_report_to_device, pause_seconds, show_progress};

// The dry run's transport: accepts every report and adds up what the real
// upload would send and wait.
struct DryRunTally {
    int reports;
    int blocks;
    double pause_seconds;
} dry_run_tally;

int count_report(const CommandReport &, double)
{
    ++dry_run_tally.reports;
    return 1;
}

void count_pause(double seconds)
{
    dry_run_tally.pause_seconds += seconds;
}

void list_block(int32_t address, int32_t length)
{
    ++dry_run_tally.blocks;
    log_verbose("  block 0x%04X, %d bytes\n", unsigned(address), int(length));
}

constexpr UploadTransport DRY_RUN_TRANSPORT{count_report, count_pause, list_block};

// Opens the device; with -w, waits for it to appear. A matching device that
// is present but cannot be opened is not waited for.
int open_device()
{
    const uint32_t vendor_id = run_options.vendor_id, product_id = run_options.product_id;
    if (run_options.device_path)
        return device_open_path(run_options.device_path, vendor_id != 0 || product_id != 0, vendor_id,
                                product_id);
    if (device_open(vendor_id, product_id))
        return 1;
    if (!run_options.wait || *device_open_error())
        return 0;
    std::printf("Waiting for the bootloader %04X:%04X: press the board's reset button to start it "
                "(Ctrl-C to stop)\n",
                unsigned(vendor_id), unsigned(product_id));
    std::fflush(stdout);
    exit_on_interrupt(130);
    while (!*device_open_error()) {
        pause_seconds(0.25);
        if (device_open(vendor_id, product_id))
            return 1;
    }
    return 0;
}

}  // namespace

int upload_image(const UploadTransport &transport)
{
    const int32_t code_size = run_options.code_size;
    const int32_t block_size = run_options.block_size;
    if (block_size <= 0 || block_size > MAX_BLOCK_SIZE || block_size % DATA_CHUNK != 0)
        return 0;

    if (!send_command(transport, CMD_BEGIN, BEGIN_LIMIT))
        return 0;
    transport.pause(AFTER_BEGIN_PAUSE);

    // The block at address 0 always goes; a later block only when the file
    // supplied at least one of its bytes. Nothing above 0xFFFF is ever used.
    bool first_block = true;
    for (int32_t address = 0; address < code_size; address += block_size) {
        if (address > 0 && !image_range_used(address, address + block_size - 1))
            continue;
        if (!send_block(transport, address, block_size, first_block))
            return 0;
        first_block = false;
    }

    if (!send_command(transport, CMD_FINISH, COMMAND_LIMIT) ||
        !send_command(transport, CMD_START_APPLICATION, COMMAND_LIMIT))
        return 0;
    transport.pause(BEFORE_END_PAUSE);
    return 1;
}

void run_upload()
{
    // A path names its device; a search needs IDs. Without either there is
    // nothing to look for: bootloader commands must never go to whatever
    // device happens to report 0000:0000.
    bool have_target = run_options.device_path || run_options.vendor_id != 0 || run_options.product_id != 0;
    if (!have_target || !open_device()) {
        const char *reason = have_target ? device_open_error() : "";
        if (*reason)
            fail("Unable to open device\n%s\n", reason);
        fail("Unable to open device\n");
    }
    log_verbose("Found HID Bootloader\n");
    log_verbose("Programming: ");
    std::fflush(stdout);

    if (!upload_image(DEVICE_TRANSPORT))
        fail("Error writing to device\n");
    log_verbose("\nStarting Application\n");
    device_close();

    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}

void run_dry_run()
{
    std::printf("Dry run: no device is opened and nothing is sent\n");
    std::fflush(stdout);
    dry_run_tally = DryRunTally{};
    upload_image(DRY_RUN_TRANSPORT);

    int file_bytes = 0;
    for (int32_t address = 0; address < run_options.code_size && address < IMAGE_SIZE; ++address)
        file_bytes += firmware_image.image_used[address];
    std::printf("Blocks:     %d of %d bytes\n"
                "Reports:    %d\n"
                "File data:  %d bytes\n"
                "Least time: %.2f s\n",
                dry_run_tally.blocks, int(run_options.block_size), dry_run_tally.reports, file_bytes,
                dry_run_tally.pause_seconds);
    end_process(0);
}
