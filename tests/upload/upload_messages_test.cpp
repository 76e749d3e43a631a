// The words of a failed upload: which command of which block, what the
// flash holds, and the advice that fits how the write failed.
#include "upload/upload_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UploadMessages, ANotDeliveredReportIsNamedWithItsBlockAndTheAdviceFitsTheTrouble)
{
    const struct {
        ReportInHand at;
        WriteTrouble trouble;
        std::string why;
        std::string message;
        int32_t address;
    } cases[] = {
        {{CMD_DATA, 0x0080, 1, 0}, WRITE_NO_ANSWER, "no answer within 50 ms",
         "Error writing to device\nThe data command of the block at 0x0080 failed: no answer within 50 ms. The "
         "flash is now only partly written. The board stopped answering: press its reset button to restart the "
         "bootloader, then run quorvel again\n",
         0x0080},
        {{CMD_BEGIN, -1, 0, 0}, WRITE_BOARD_GONE, "the device is gone (No such device)",
         "Error writing to device\nThe begin command failed: the device is gone (No such device). The flash may "
         "have been erased. The board went away: plug it in again, start its bootloader and run quorvel again\n",
         -1},
        {{CMD_FINISH, -1, 3, 0}, WRITE_OTHER, "Input/output error",
         "Error writing to device\nThe finish command failed: Input/output error. The flash is now only partly "
         "written: restart the bootloader and run quorvel again\n",
         -1},
        {{CMD_DATA, 0x0100, 2, 0}, WRITE_HOST_BUSY,
         "this computer was too busy to go on with the write for 1200 ms, the board is not at fault",
         "Error writing to device\nThe data command of the block at 0x0100 failed: this computer was too busy to "
         "go on with the write for 1200 ms, the board is not at fault. The flash is now only partly "
         "written. This computer was too busy to send the reports in time: let it finish its other work, then run "
         "quorvel again\n",
         0x0100},
        // The transport's words are printed safely, and a long one is kept whole.
        {{CMD_BLOCK_DONE, 0xFF00, 0, 0}, WRITE_OTHER, "bad\x1b[2Jtext" + std::string(300, 'x'),
         "Error writing to device\nThe block-done command of the block at 0xFF00 failed: bad?[2Jtext" +
             std::string(300, 'x') + ". The flash is now only partly written: restart the bootloader and run "
                                     "quorvel again\n",
         0xFF00},
    };
    for (const auto &c : cases) {
        const Failure f = not_delivered_failure(c.at, c.trouble, c.why);
        EXPECT_EQ(f.kind, FAILURE_WRITE);
        EXPECT_EQ(f.message, c.message);
        EXPECT_STREQ(f.command, command_name(c.at.command));
        EXPECT_EQ(f.address, c.address);
    }
}

TEST(UploadMessages, AnInterruptedUploadSaysHowFarItGotAndKeepsItsSignal)
{
    const Failure f = interrupted_failure(3, 17, 15);
    EXPECT_EQ(f.kind, FAILURE_INTERRUPTED);
    EXPECT_EQ(f.signal, 15);
    EXPECT_EQ(f.message, "quorvel: interrupted after block 3 of 17: the board's flash is only partly written\n"
                         "Run quorvel again with the whole image: the board stays in its bootloader until it is "
                         "told to start the application\n");
}

// -boot: the same first line and advice as an upload's failed start, but
// the flash is named as it is, untouched; and a stop before the command.
TEST(UploadMessages, ABootSaysTheFlashWasNotWritten)
{
    const struct {
        WriteTrouble trouble;
        std::string why;
        std::string upload_advice_end;  // what follows the flash's state, as an upload says it
    } cases[] = {
        {WRITE_NO_ANSWER, "no answer within 50 ms",
         ". The board stopped answering: press its reset button to restart the bootloader, then run quorvel "
         "again\n"},
        {WRITE_BOARD_GONE, "the device is gone (No such device)",
         ". The board went away: plug it in again, start its bootloader and run quorvel again\n"},
        {WRITE_OTHER, "Input/output error", ": restart the bootloader and run quorvel again\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        const Failure f = start_not_delivered_failure(c.trouble, c.why);
        const Failure upload = not_delivered_failure({CMD_START_APPLICATION, -1, 2, 0}, c.trouble, c.why);
        EXPECT_EQ(f.kind, FAILURE_WRITE);
        EXPECT_EQ(f.message, "Error writing to device\nThe start-application command failed: " + c.why +
                                 ". Nothing was written to the flash" + c.upload_advice_end);
        EXPECT_EQ(upload.message, "Error writing to device\nThe start-application command failed: " + c.why +
                                      ". The flash is now only partly written" + c.upload_advice_end);
        EXPECT_STREQ(f.command, upload.command);
        EXPECT_EQ(f.address, -1);
    }
    const Failure stopped = start_interrupted_failure(2);
    EXPECT_EQ(stopped.kind, FAILURE_INTERRUPTED);
    EXPECT_EQ(stopped.signal, 2);
    EXPECT_EQ(stopped.message, "quorvel: interrupted before the start-application command: nothing was sent\n"
                               "The board stays in its bootloader: run quorvel -boot again to start its "
                               "application\n");
}

}  // namespace
