// The upload protocol: the command reports that the bootloader understands
// and the walk that sends the firmware image block by block.
#pragma once

#include <array>
#include <cstdint>
#include <string>

inline constexpr uint8_t COMMAND_MARKER = 0xA1;
inline constexpr int32_t REPORT_SIZE = 64;
inline constexpr int32_t DATA_CHUNK = 32;  // image bytes carried by one CMD_DATA
inline constexpr int32_t MAX_BLOCK_SIZE = 256;
// SET_ADDRESS carries a 16-bit word address: the flash it reaches, 128 KiB.
inline constexpr int32_t ADDRESSABLE_FLASH = 0x20000;

// Fixed pauses that give the bootloader time to act on a command.
inline constexpr double AFTER_BEGIN_PAUSE = 1.0;
inline constexpr double AFTER_BLOCK_PAUSE = 0.01;
inline constexpr double BEFORE_END_PAUSE = 0.3;

enum Command : uint8_t {
    CMD_BEGIN = 1,
    CMD_SET_ADDRESS = 2,  // word address (byte address / 2), low byte first
    CMD_SET_LENGTH = 3,   // block length in bytes, high byte first
    CMD_DATA = 4,
    CMD_BLOCK_DONE = 5,
    CMD_FINISH = 6,
    CMD_START_APPLICATION = 7,
};

// One command: marker, command code, parameters; unused bytes are 0.
struct CommandReport {
    std::array<uint8_t, REPORT_SIZE> bytes;
};

// What the walk needs to know of the part: its flash and its block size
// (from the MCU table).
struct UploadPlan {
    int32_t code_size;
    int32_t block_size;
};

// Where the walk sends its reports, how it waits, and what it shows per
// block: the HID device with real pauses for an upload, a counter for a dry run.
//
// A transport may keep one report in hand while it takes the next, so that
// the device goes from one report straight to the next: send then returns 1
// when the report was taken and every report before it was delivered, 0
// when this report was not taken, and -1 when the one before it was not
// delivered (this one is then never written). drain waits until every
// report taken has been delivered (1) or one was not (0: the last one).
struct UploadTransport {
    int (*send)(const CommandReport &report, double timeout_seconds);
    int (*drain)();
    void (*pause)(double seconds);
    void (*block_started)(int32_t address, int32_t length);  // after its length was delivered
    // Asked before each report: the number of a stop signal that came (the
    // upload then stops before that report, once the reports taken are
    // delivered), or 0 to go on. Null: nothing stops the walk.
    int (*stop_requested)();
};

// How the walk ended.
enum UploadEnd {
    UPLOAD_DONE,           // every report delivered, the application started
    UPLOAD_NOT_DELIVERED,  // a report was not delivered: report_in_hand names it
    UPLOAD_STOPPED,        // a stop signal came: report_in_hand.stop_signal names it
};

// The report that upload_image is sending, or the one it stopped at when a
// report was not delivered or a signal stopped the upload: what the message
// names.
struct ReportInHand {
    Command command;
    int32_t block_address;  // the block it belongs to, or -1 outside a block
    int blocks_done;        // the blocks wholly delivered before it
    int stop_signal;        // UPLOAD_STOPPED: the signal that stopped the walk
};
extern ReportInHand report_in_hand;

// The command's name in messages and events: "begin", "set-address", ...
const char *command_name(Command command);

// The blocks that upload_image sends for the loaded image and this part:
// the block at address 0 always, every later one that holds file data.
int blocks_to_send(const UploadPlan &plan);

// The SHA-256 of the image bytes that upload_image sends in its data
// commands, block after block: what the board's flash receives.
std::string sent_image_sha256(const UploadPlan &plan);

// Sends the loaded image for this part: the begin command, every block that
// holds file data (and always the block at address 0), then the finish and
// start-application commands. Stops at the first report that was not
// delivered, or before the next report once a stop was requested. A plan
// whose block size the reports cannot carry, or whose flash reaches past
// what SET_ADDRESS can address, sends nothing and ends as not delivered.
UploadEnd upload_image(const UploadTransport &transport, const UploadPlan &plan);

// Starts the application in the flash: the start-application command and
// the pause that gives the board the time to leave its bootloader. The end
// of upload_image, and all that -boot sends: no begin, which may erase.
// report_in_hand names the command when it was not delivered.
UploadEnd start_application(const UploadTransport &transport);
