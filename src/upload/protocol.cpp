// The upload protocol walk: the command reports, block by block, that carry
// the firmware image to the bootloader.
#include "upload/protocol.h"

#include "image/firmware_image.h"
#include "image/sha256.h"

#include <algorithm>
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

CommandReport make_command(Command command)
{
    CommandReport report{};
    report.bytes[0] = COMMAND_MARKER;
    report.bytes[1] = command;
    return report;
}

// Sends one report, noting first which it is: the message of a failure or
// of a stop names it, or names the report before it when that one was not
// delivered after all. A stop that came during the last report or pause
// ends the walk before this one: the device never gets half of one, and
// the reports already taken are delivered first, so that the count of
// blocks is what the board has.
UploadEnd send_report(const UploadTransport &transport, const CommandReport &report, double limit,
                      int32_t block)
{
    if (int signal = transport.stop_requested ? transport.stop_requested() : 0) {
        if (!transport.drain())
            return UPLOAD_NOT_DELIVERED;  // report_in_hand still names the one that failed
        report_in_hand.stop_signal = signal;
        return UPLOAD_STOPPED;
    }
    const ReportInHand before = report_in_hand;
    report_in_hand.command = Command(report.bytes[1]);
    report_in_hand.block_address = block;
    const int sent = transport.send(report, limit);
    if (sent < 0)
        report_in_hand = before;
    return sent > 0 ? UPLOAD_DONE : UPLOAD_NOT_DELIVERED;
}

// Pauses once every report sent has been delivered: the board's time to
// act on a command counts from when it has the command.
UploadEnd pause_after(const UploadTransport &transport, double seconds)
{
    if (!transport.drain())
        return UPLOAD_NOT_DELIVERED;
    transport.pause(seconds);
    return UPLOAD_DONE;
}

UploadEnd send_command(const UploadTransport &transport, Command command, double limit, int32_t block = -1)
{
    return send_report(transport, make_command(command), limit, block);
}

// Sends one block: its address, its length, the data in 32-byte pieces and
// the block-done command.
UploadEnd send_block(const UploadTransport &transport, int32_t address, int32_t block_size, bool first_block)
{
    CommandReport report = make_command(CMD_SET_ADDRESS);
    int32_t word_address = address / 2;
    report.bytes[2] = uint8_t(word_address & 0xFF);
    report.bytes[3] = uint8_t(word_address >> 8);
    if (UploadEnd end = send_report(transport, report, SET_ADDRESS_LIMIT, address); end != UPLOAD_DONE)
        return end;

    report = make_command(CMD_SET_LENGTH);
    report.bytes[2] = uint8_t(block_size >> 8);
    report.bytes[3] = uint8_t(block_size & 0xFF);
    if (UploadEnd end = send_report(transport, report, COMMAND_LIMIT, address); end != UPLOAD_DONE)
        return end;

    uint8_t block[MAX_BLOCK_SIZE];
    image_copy_block(address, block_size, block);
    for (int32_t offset = 0; offset < block_size; offset += DATA_CHUNK) {
        report = make_command(CMD_DATA);
        std::memcpy(&report.bytes[2], block + offset, DATA_CHUNK);
        if (UploadEnd end = send_report(transport, report, COMMAND_LIMIT, address); end != UPLOAD_DONE)
            return end;
        if (offset == 0)  // the first data report taken: the length before it was delivered
            transport.block_started(address, block_size);
    }

    const double limit = first_block ? FIRST_BLOCK_DONE_LIMIT : COMMAND_LIMIT;
    if (UploadEnd end = send_command(transport, CMD_BLOCK_DONE, limit, address); end != UPLOAD_DONE)
        return end;
    if (!transport.drain())
        return UPLOAD_NOT_DELIVERED;
    ++report_in_hand.blocks_done;
    transport.pause(AFTER_BLOCK_PAUSE);
    return UPLOAD_DONE;
}

// The block at address 0 always goes; a later block only when the file
// supplied at least one of its bytes. Nothing above the image's last byte
// (0xFFFF unless -above64k made it the part's whole flash) is ever used.
bool block_is_sent(int32_t address, int32_t block_size)
{
    return address == 0 || image_range_used(address, address + block_size - 1);
}

}  // namespace

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

int blocks_to_send(const UploadPlan &plan)
{
    int blocks = 0;
    if (plan.block_size <= 0)
        return 0;
    for (int32_t address = 0; address < plan.code_size; address += plan.block_size)
        blocks += block_is_sent(address, plan.block_size);
    return blocks;
}

namespace {

// The blocks that upload_image sends, one after another, for the checksum.
struct SentBlocks {
    const UploadPlan &plan;
    int32_t block_size;
    int32_t address;
    uint8_t block[MAX_BLOCK_SIZE];
};

int next_sent_block(void *context, const uint8_t *&bytes, size_t &size)
{
    SentBlocks &sent = *static_cast<SentBlocks *>(context);
    for (; sent.block_size > 0 && sent.address < sent.plan.code_size; sent.address += sent.block_size) {
        if (!block_is_sent(sent.address, sent.block_size))
            continue;
        image_copy_block(sent.address, sent.block_size, sent.block);
        sent.address += sent.block_size;
        bytes = sent.block;
        size = size_t(sent.block_size);
        return 1;
    }
    return 0;
}

}  // namespace

std::string sent_image_sha256(const UploadPlan &plan)
{
    SentBlocks sent{plan, std::min(plan.block_size, MAX_BLOCK_SIZE), 0, {}};
    return sha256_of_pieces(next_sent_block, &sent);
}

UploadEnd upload_image(const UploadTransport &transport, const UploadPlan &plan)
{
    const int32_t code_size = plan.code_size;
    const int32_t block_size = plan.block_size;
    if (block_size <= 0 || block_size > MAX_BLOCK_SIZE || block_size % DATA_CHUNK != 0)
        return UPLOAD_NOT_DELIVERED;
    // A word address above 0xFFFF would wrap to the bottom of the flash.
    if (code_size > ADDRESSABLE_FLASH)
        return UPLOAD_NOT_DELIVERED;

    report_in_hand = ReportInHand{CMD_BEGIN, -1, 0, 0};
    UploadEnd end = send_command(transport, CMD_BEGIN, BEGIN_LIMIT);
    if (end != UPLOAD_DONE || (end = pause_after(transport, AFTER_BEGIN_PAUSE)) != UPLOAD_DONE)
        return end;

    bool first_block = true;
    for (int32_t address = 0; address < code_size; address += block_size) {
        if (!block_is_sent(address, block_size))
            continue;
        if ((end = send_block(transport, address, block_size, first_block)) != UPLOAD_DONE)
            return end;
        first_block = false;
    }

    if ((end = send_command(transport, CMD_FINISH, COMMAND_LIMIT)) != UPLOAD_DONE)
        return end;
    return start_application(transport);
}

UploadEnd start_application(const UploadTransport &transport)
{
    const UploadEnd end = send_command(transport, CMD_START_APPLICATION, COMMAND_LIMIT);
    return end == UPLOAD_DONE ? pause_after(transport, BEFORE_END_PAUSE) : end;
}
