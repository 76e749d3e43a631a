// Options that do not go together, and what to leave out.
#include "cli/option_rules.h"

#include "image/firmware_image.h"
#include "image/mcu_table.h"
#include "output/text.h"

Failure check_option_rules(const RunOptions &o)
{
    // -boot writes nothing: a file given with it was meant to be written,
    // and starting the old application instead would hide that.
    if (o.boot && o.hex_path)
        return failure(
            FAILURE_OPTION,
            "quorvel: -boot starts the application that is in the flash and writes nothing: it takes "
            "no HEX file\nLeave out -boot to write \"%s\" and start it, or leave out the file to start "
            "the application as it is\n",
            printable(o.hex_path).c_str());
    if (o.boot && o.dry_run)
        return failure(
            FAILURE_OPTION,
            "quorvel: -n walks an upload without a board: it cannot be combined with -boot\nLeave out "
            "-n to start the board's application, or -boot to see what an upload of a file would "
            "send\n");
    if (o.all && o.touch_port)
        return failure(FAILURE_OPTION,
                       "quorvel: -touch= resets one board: it cannot be combined with -all\nLeave out -all to reset "
                       "and flash that one board, or -touch= to program every board in its bootloader\n");
    // Each copy of an -all run gets its own -device=: a path given here would be dropped.
    if (o.all && o.device_path)
        return failure(FAILURE_OPTION,
                       "quorvel: -device= names one board: it cannot be combined with -all\nLeave out -all to "
                       "program the board at %s, or -device= to program every matching board\n",
                       printable(o.device_path).c_str());
    if (o.station && (o.touch_port || o.device_path || o.all)) {
        const char *other = o.all ? "-all" : o.touch_port ? "-touch=" : "-device=";
        return failure(FAILURE_OPTION,
                       "quorvel: -station programs every matching board as it appears: it cannot be combined "
                       "with %s\nLeave out -station to program %s, or %s to keep programming boards as they are "
                       "plugged in\n",
                       other, o.all ? "the boards present now" : "that one board", other);
    }
    // Asked to write above 64 KiB, a part that has no flash there: the
    // wrong -mmcu=, or the wrong file; the option would only hide that.
    if (o.above64k && o.code_size > 0 && o.code_size <= IMAGE_SIZE)
        return failure(FAILURE_OPTION, "%s",
                       above64k_refusal(printable(o.mcu ? o.mcu : ""), o.code_size).c_str());
    return Failure{};
}
