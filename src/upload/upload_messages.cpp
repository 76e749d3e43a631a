// The failures of an upload, worded once.
#include "upload/upload_messages.h"

#include "output/text.h"

#include <cstdio>

namespace {

// What to do after a report that was not delivered: a board that stopped
// answering needs its bootloader restarted, one that went away plugging in.
const char *advice(WriteTrouble trouble)
{
    return trouble == WRITE_NO_ANSWER
               ? ". The board stopped answering: press its reset button to restart the bootloader, "
                 "then run quorvel again"
           : trouble == WRITE_BOARD_GONE
               ? ". The board went away: plug it in again, start its bootloader and run quorvel again"
           : trouble == WRITE_HOST_BUSY
               ? ". This computer was too busy to send the reports in time: let it finish its other "
                 "work, then run quorvel again"
               : ": restart the bootloader and run quorvel again";
}

}  // namespace

Failure not_delivered_failure(const ReportInHand &at, WriteTrouble trouble, std::string_view why)
{
    char where[64] = "";
    if (at.block_address >= 0)
        std::snprintf(where, sizeof where, " of the block at 0x%04X", unsigned(at.block_address));
    // The bootloader may erase the flash when it takes the begin command.
    const char *state =
        at.command == CMD_BEGIN ? "The flash may have been erased" : "The flash is now only partly written";
    Failure result = failure(FAILURE_WRITE, "Error writing to device\nThe %s command%s failed: %s. %s%s\n",
                             command_name(at.command), where, printable(why).c_str(), state, advice(trouble));
    result.command = command_name(at.command);
    result.address = at.block_address;
    return result;
}

Failure start_not_delivered_failure(WriteTrouble trouble, std::string_view why)
{
    Failure result = failure(FAILURE_WRITE,
                             "Error writing to device\nThe %s command failed: %s. Nothing was written to the "
                             "flash%s\n",
                             command_name(CMD_START_APPLICATION), printable(why).c_str(), advice(trouble));
    result.command = command_name(CMD_START_APPLICATION);
    result.address = -1;
    return result;
}

Failure start_interrupted_failure(int signal)
{
    Failure result =
        failure(FAILURE_INTERRUPTED,
                "quorvel: interrupted before the %s command: nothing was sent\nThe board stays in "
                "its bootloader: run quorvel -boot again to start its application\n",
                command_name(CMD_START_APPLICATION));
    result.signal = signal;
    return result;
}

Failure interrupted_failure(int blocks_done, int blocks, int signal)
{
    Failure result = failure(
        FAILURE_INTERRUPTED,
        "quorvel: interrupted after block %d of %d: the board's flash is only partly written\nRun quorvel again "
        "with the whole image: the board stays in its bootloader until it is told to start the application\n",
        blocks_done, blocks);
    result.signal = signal;
    return result;
}
