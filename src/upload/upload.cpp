#include "upload/upload.h"

#include "cli/console.h"
#include "cli/options.h"
#include "hid/hid_device.h"
#include "image/firmware_image.h"

#include <cstdio>
#include <cstring>

ReportInHand report_in_hand;

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

// Sends one report, noting first which it is: a failure may end the run
// from another thread while the send is still waiting.
int send_report(const UploadTransport &transport, const CommandReport &report, double limit, int32_t block)
{
    report_in_hand = ReportInHand{Command(report.bytes[1]), block};
    return transport.send(report, limit);
}

int send_command(const UploadTransport &transport, Command command, double limit, int32_t block = -1)
{
    return send_report(transport, make_command(command), limit, block);
}

// Sends one block: its address, its length, the data in 32-byte pieces and
// the block-done command.
int send_block(const UploadTransport &transport, int32_t address, int32_t block_size, bool first_block)
{
    CommandReport report = make_command(CMD_SET_ADDRESS);
    int32_t word_address = address / 2;
    report.bytes[2] = uint8_t(word_address & 0xFF);
    report.bytes[3] = uint8_t(word_address >> 8);
    if (!send_report(transport, report, SET_ADDRESS_LIMIT, address))
        return 0;

    report = make_command(CMD_SET_LENGTH);
    report.bytes[2] = uint8_t(block_size >> 8);
    report.bytes[3] = uint8_t(block_size & 0xFF);
    if (!send_report(transport, report, COMMAND_LIMIT, address))
        return 0;
    transport.block_started(address, block_size);

    uint8_t block[MAX_BLOCK_SIZE];
    image_copy_block(address, block_size, block);
    for (int32_t offset = 0; offset < block_size; offset += DATA_CHUNK) {
        report = make_command(CMD_DATA);
        std::memcpy(&report.bytes[2], block + offset, DATA_CHUNK);
        if (!send_report(transport, report, COMMAND_LIMIT, address))
            return 0;
    }

    if (!send_command(transport, CMD_BLOCK_DONE, first_block ? FIRST_BLOCK_DONE_LIMIT : COMMAND_LIMIT,
                      address))
        return 0;
    transport.pause(AFTER_BLOCK_PAUSE);
    return 1;
}

int send_report_to_device(const CommandReport &report, double timeout_seconds)
{
    return device_send(report.bytes.data(), report.bytes.size(), timeout_seconds);
}

// The blocks the upload sends: the block at address 0 always, every later
// one that holds file data.
int blocks_to_send()
{
    int blocks = 0;
    for (int32_t address = 0; address < run_options.code_size; address += run_options.block_size)
        blocks += address == 0 || image_range_used(address, address + run_options.block_size - 1);
    return blocks;
}

struct Progress {
    int sent;
    int total;
    bool bar;  // a line redrawn in place on standard error
} progress;

// A full-speed endpoint takes about one report per millisecond: with the
// pauses, what the rest of the upload takes.
constexpr double REPORT_SECONDS = 0.001;

void draw_progress_bar()
{
    const int width = 30;
    int done = progress.total > 0 ? progress.sent * width / progress.total : width;
    int left = progress.total - progress.sent;
    int reports_per_block = 3 + run_options.block_size / DATA_CHUNK;
    double seconds = left * (AFTER_BLOCK_PAUSE + reports_per_block * REPORT_SECONDS) + BEFORE_END_PAUSE +
                     (progress.sent == 0 ? AFTER_BEGIN_PAUSE : 0);
    std::fprintf(stderr, "\rProgramming %3d%% [%.*s%*s] block %d of %d, %.1f s left ",
                 progress.total > 0 ? progress.sent * 100 / progress.total : 100, done,
                 "##############################", width - done, "", progress.sent, progress.total,
                 progress.sent == progress.total ? 0.0 : seconds);
    std::fflush(stderr);
}

void show_progress(int32_t address, int32_t)
{
    ++progress.sent;
    if (progress.bar)
        draw_progress_bar();
    log_verbose(".");
    char fields[96];
    std::snprintf(fields, sizeof fields, ",\"address\":%d,\"index\":%d,\"count\":%d", int(address),
                  progress.sent, progress.total);
    emit_event("block", fields);
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

// How long a matching device that cannot be opened is tried again while
// waiting: udev creates the node and grants access a little after the
// device appears.
constexpr double SETTLE_SECONDS = 2.0;
// How often a wait looks again: a bootloader that appears is in use within
// 50 ms, and a look reads only a few small sysfs files.
constexpr double WAIT_STEP = 0.05;

int open_device_once()
{
    const uint32_t vendor_id = run_options.vendor_id, product_id = run_options.product_id;
    if (run_options.device_path)
        return device_open_path(run_options.device_path, vendor_id != 0 || product_id != 0, vendor_id,
                                product_id);
    return device_open(DeviceFilter{vendor_id != 0 || product_id != 0, vendor_id, product_id,
                                    run_options.serial, run_options.location});
}

// Ends a wait of -w=SECONDS that saw no device appear.
// What the search looked for, for messages: "the IDs 5e1a:0001", with
// "and the serial number "X"" and "and the location "1-2"" when given.
std::string searched_for()
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "the IDs %04x:%04x", unsigned(run_options.vendor_id),
                  unsigned(run_options.product_id));
    std::string text = run_options.vendor_id || run_options.product_id ? ids : "";
    for (auto [label, value] : {std::pair{"the serial number", run_options.serial},
                                std::pair{"the location", run_options.location}}) {
        if (value)
            text += (text.empty() ? "" : " and ") + std::string(label) + " \"" + printable(value) + "\"";
    }
    return text;
}

// Ends a wait of -w=SECONDS that saw no device appear.
[[noreturn]] void fail_after_waiting(double waited)
{
    if (run_options.device_path)
        fail("Unable to open device\nNothing appeared at %s in %g s of waiting\n",
             printable(run_options.device_path).c_str(), waited);
    fail("Unable to open device\nNo HID device with %s appeared in %g s of waiting: is the board in its "
         "bootloader? (see quorvel -list)\n",
         searched_for().c_str(), waited);
}

// How long -touch= waits for the bootloader without -w: a board resets and
// its bootloader enumerates within about a second.
constexpr double TOUCH_WAIT_SECONDS = 5.0;

// What -touch= did, for the message when no bootloader appeared.
struct TouchRecord {
    int port_found;        // 1 when the port was there and was reset
    std::string location;  // where the reset board is plugged in, when known
} touch_record;

// Ends a wait after -touch= that saw no bootloader appear.
[[noreturn]] void fail_after_touch(double waited)
{
    std::string port = printable(run_options.touch_port);
    if (!touch_record.port_found)
        fail("Unable to open device\nThere is no serial port %s, and no HID device with %s appeared in %g s: "
             "is the board plugged in? (see quorvel -list)\n",
             port.c_str(), searched_for().c_str(), waited);
    fail(
        "Unable to open device\nThe board at %s did not enter its bootloader: no HID device with %s appeared "
        "in %g s after the reset. Its application may not reset on a 1200-baud touch: press the board's "
        "reset button instead, or allow longer with -w=SECONDS\n",
        port.c_str(), searched_for().c_str(), waited);
}

// -touch=PORT: resets the board's running application into its bootloader
// through its serial port. The search then looks only at the USB port the
// board is plugged in, where the system says which that is; where it does
// not, a bootloader with these IDs that is there already could be another
// board's, and the run ends rather than guess.
void touch_board()
{
    const char *port = run_options.touch_port;
    std::string shown = printable(port);
    int present = serial_port_present(port, touch_record.location);
    if (!run_options.device_path && !run_options.location && !touch_record.location.empty())
        run_options.location = touch_record.location.c_str();
    if (present && !run_options.device_path && !run_options.location && !run_options.serial &&
        (run_options.vendor_id || run_options.product_id)) {
        const DeviceFilter same_ids{true, run_options.vendor_id, run_options.product_id, nullptr, nullptr};
        for (const HidDeviceInfo &device : device_list()) {
            if (device_filter_passes(same_ids, device))
                fail(
                    "Unable to open device\nA bootloader with the IDs %04x:%04x is present already (%s), and "
                    "it cannot be told from the board at %s: pick one with -location= or -serial=, or leave "
                    "out -touch= (see quorvel -list)\n",
                    unsigned(device.vendor_id), unsigned(device.product_id), printable(device.path).c_str(),
                    shown.c_str());
        }
    }
    std::string why;
    int touched = present ? board_touch(port, why) : 0;
    if (touched < 0)
        fail("Unable to reset the board through %s\n%s: press the board's reset button instead, and leave "
             "out -touch=\n",
             shown.c_str(), printable(why).c_str());
    touch_record.port_found = touched;
    emit_event("touch", ",\"port\":" + json_string(port) + ",\"reset\":" + (touched ? "true" : "false") +
                            ",\"location\":" + json_string(touch_record.location));
    if (touched)
        std::fprintf(human_output(), "Reset the board at %s into its bootloader (1200 baud)\n",
                     shown.c_str());
    else
        std::fprintf(human_output(), "There is no serial port %s: looking for a board in its bootloader\n",
                     shown.c_str());
    std::fflush(human_output());
}

// Opens the device; with -w, waits for it to appear (with -w=SECONDS, at
// most that long); after -touch=, for TOUCH_WAIT_SECONDS unless -w says
// otherwise. A device that is there but cannot be opened is tried again
// for SETTLE_SECONDS before its error is final.
int open_device()
{
    if (open_device_once())
        return 1;
    const bool touched = run_options.touch_port != nullptr;
    if (!run_options.wait && !touched)
        return 0;
    if (touched)
        std::fprintf(human_output(), "Waiting for the bootloader (Ctrl-C to stop)\n");
    else if (run_options.device_path)
        std::fprintf(
            human_output(),
            "Waiting for %s: press the board's reset button to start its bootloader (Ctrl-C to stop)\n",
            printable(run_options.device_path).c_str());
    else if (run_options.vendor_id || run_options.product_id)
        std::fprintf(human_output(),
                     "Waiting for the bootloader %04X:%04X: press the board's reset button to start it "
                     "(Ctrl-C to stop)\n",
                     unsigned(run_options.vendor_id), unsigned(run_options.product_id));
    else
        std::fprintf(human_output(),
                     "Waiting for the HID device with %s: press the board's reset button to start its "
                     "bootloader (Ctrl-C to stop)\n",
                     searched_for().c_str());
    std::fflush(human_output());
    exit_on_interrupt(130);
    const double limit = run_options.wait ? run_options.wait_limit : TOUCH_WAIT_SECONDS;
    double waited = 0;
    double failing_for = 0;  // how long a device that is there has refused to open
    while (failing_for < SETTLE_SECONDS) {
        if (limit > 0 && waited >= limit) {
            if (!device_absent())
                return 0;  // there but not usable: the open's error says why
            if (touched)
                fail_after_touch(limit);
            fail_after_waiting(limit);
        }
        double step = limit > 0 && limit - waited < WAIT_STEP ? limit - waited : WAIT_STEP;
        pause_seconds(step);
        waited += step;
        if (open_device_once())
            return 1;
        failing_for = device_absent() ? 0 : failing_for + step;
    }
    return 0;
}

const char *command_name(Command command)
{
    switch (command) {
    case CMD_BEGIN:
        return "begin";
    case CMD_SET_ADDRESS:
        return "set-address";
    case CMD_SET_LENGTH:
        return "set-length";
    case CMD_DATA:
        return "data";
    case CMD_BLOCK_DONE:
        return "block-done";
    case CMD_FINISH:
        return "finish";
    case CMD_START_APPLICATION:
        return "start-application";
    }
    return "unknown";
}

[[noreturn]] void fail_to_open()
{
    if (!run_options.device_path && run_options.vendor_id == 0 && run_options.product_id == 0 &&
        !run_options.serial && !run_options.location)
        fail(
            "Unable to open device\nName the bootloader with -usb=<vid:pid> or -device=<path> (quorvel -list "
            "shows the HID devices present)\n");
    if (*device_open_error())
        fail("Unable to open device\n%s\n", printable_lines(device_open_error()).c_str());
    fail("Unable to open device\nNo HID device with %s is present: see quorvel -list. Start the bootloader "
         "(press the board's reset button), or add -w to wait for it\n",
         searched_for().c_str());
}

// Says in -v output which device is used, and what else the search saw.
void describe_device()
{
    const DeviceChoice &choice = device_choice();
    log_verbose("Device: %s (%04x:%04x)\n", printable(choice.path).c_str(), unsigned(choice.vendor_id),
                unsigned(choice.product_id));
    if (choice.matching > 1)
        log_verbose("Note: %d devices have these IDs and this is the first; pick one with -device= (see "
                    "quorvel -list)\n",
                    choice.matching);
    if (*device_open_error())
        log_verbose("Passed over: %s\n", printable_lines(device_open_error()).c_str());
}

[[noreturn]] void fail_to_write()
{
    const ReportInHand &at = report_in_hand;
    char where[64] = "", fields[96];
    if (at.block_address >= 0)
        std::snprintf(where, sizeof where, " of the block at 0x%04X", unsigned(at.block_address));
    std::snprintf(fields, sizeof fields, ",\"command\":\"%s\",\"address\":%d", command_name(at.command),
                  int(at.block_address));
    set_failure_fields(fields);
    if (progress.bar)
        std::fputc('\n', stderr);  // end the bar's line
    // The bootloader may erase the flash when it takes the begin command.
    const char *state =
        at.command == CMD_BEGIN ? "The flash may have been erased" : "The flash is now only partly written";
    fail("Error writing to device\nThe %s command%s failed: %s. %s: restart the bootloader and run quorvel "
         "again\n",
         command_name(at.command), where, device_send_error(), state);
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
    // A path names its device; a search needs IDs, a serial number or a
    // location. Without any there is nothing to look for: bootloader
    // commands must never go to whatever device happens to report 0000:0000.
    bool have_target = run_options.device_path || run_options.vendor_id != 0 || run_options.product_id != 0 ||
                       run_options.serial || run_options.location;
    if (have_target && run_options.touch_port)
        touch_board();
    if (!have_target || !open_device())
        fail_to_open();
    log_verbose("Found HID Bootloader\n");
    describe_device();
    const DeviceChoice &choice = device_choice();
    char ids[64];
    std::snprintf(ids, sizeof ids, ",\"vendor_id\":\"%04x\",\"product_id\":\"%04x\"",
                  unsigned(choice.vendor_id), unsigned(choice.product_id));
    emit_event("device", ",\"path\":" + json_string(choice.path) + ids + ",\"serial\":" +
                             json_string(choice.serial) + ",\"location\":" + json_string(choice.location));
    // A person at a terminal sees a bar; logs, pipes, -v and -json do not.
    progress =
        Progress{0, blocks_to_send(), !run_options.verbose && !run_options.json && stderr_is_terminal()};
    if (progress.bar)
        draw_progress_bar();
    log_verbose("Programming: ");
    std::fflush(stdout);

    device_on_write_timeout(fail_to_write);
    if (!upload_image(DEVICE_TRANSPORT))
        fail_to_write();
    log_verbose("\nStarting Application\n");
    device_close();

    emit_event("done");
    if (progress.bar)
        std::fputc('\n', stderr);
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}

void run_dry_run()
{
    std::fprintf(human_output(), "Dry run: no device is opened and nothing is sent\n");
    std::fflush(human_output());
    dry_run_tally = DryRunTally{};
    upload_image(DRY_RUN_TRANSPORT);

    int file_bytes = 0;
    for (int32_t address = 0; address < run_options.code_size && address < IMAGE_SIZE; ++address)
        file_bytes += firmware_image.image_used[address];
    std::fprintf(human_output(),
                 "Blocks:     %d of %d bytes\n"
                 "Reports:    %d\n"
                 "File data:  %d bytes\n"
                 "Least time: %.2f s\n",
                 dry_run_tally.blocks, int(run_options.block_size), dry_run_tally.reports, file_bytes,
                 dry_run_tally.pause_seconds);
    char fields[160];
    std::snprintf(fields, sizeof fields,
                  ",\"blocks\":%d,\"block_size\":%d,\"reports\":%d,\"file_bytes\":%d,\"least_seconds\":%.2f",
                  dry_run_tally.blocks, int(run_options.block_size), dry_run_tally.reports, file_bytes,
                  dry_run_tally.pause_seconds);
    emit_event("dry_run", fields);
    end_process(0);
}
