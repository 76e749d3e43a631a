// Options that do not go together, and what to leave out.
#include "cli/option_rules.h"

#include "image/firmware_image.h"
#include "image/mcu_table.h"
#include "output/text.h"
#include "stamp/stamp_format.h"

namespace {

// -stamp= and where its values come from.
Failure check_stamp_rules(const RunOptions &o)
{
    const StampSettings &s = o.stamp;
    if (s.format == STAMP_NONE) {
        const char *given = s.source == STAMP_FROM_COUNTER ? "-stamp-from="
                            : s.source == STAMP_FROM_LIST  ? "-stamp-list="
                            : s.state                      ? "-stamp-state="
                            : o.stamp_value                ? "-stamp-value="
                                                           : nullptr;
        if (!given)
            return Failure{};
        return failure(FAILURE_OPTION,
                       "quorvel: %s gives the values of -stamp=, which is missing\nAdd -stamp=ADDR,FORMAT (where "
                       "and how each board's value is written), or leave out %s\n",
                       given, given);
    }
    if (o.boot)
        return failure(FAILURE_OPTION,
                       "quorvel: -stamp= writes a value into the image, and -boot writes nothing\nLeave out -boot "
                       "to write the file with each board's value, or -stamp= to start the application\n");
    if (!o.stamp_value && s.source == STAMP_FROM_NOTHING)
        return failure(FAILURE_OPTION,
                       "quorvel: -stamp= needs its values: -stamp-from=N[,STEP] (a counter) or -stamp-list=FILE "
                       "(one value a line)\nAdd one of them, with -stamp-state=FILE to keep the next value\n");
    if (!o.stamp_value && s.source == STAMP_FROM_COUNTER && !s.state)
        return failure(FAILURE_OPTION,
                       "quorvel: -stamp-from= needs -stamp-state=FILE: the file that keeps the next value, so "
                       "that no value is given twice\nAdd -stamp-state= naming one file for every run that stamps "
                       "these boards, as in -stamp-state=serial.state\n");
    // A symbol's address is known once the file is read.
    if (!s.symbol.empty())
        return Failure{};
    return check_stamp_place(o);
}

}  // namespace

Failure check_stamp_place(const RunOptions &o)
{
    // Under -above64k the image reaches the part's boot section, which the
    // image may not touch: the value must lie below it as the file must.
    const int32_t image_end = o.above64k && o.code_size > IMAGE_SIZE ? o.code_size - LARGEST_BOOT_SECTION : IMAGE_SIZE;
    return stamp_check_range(o.stamp, o.code_size, image_end, o.mcu);
}

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
    return check_stamp_rules(o);
}
