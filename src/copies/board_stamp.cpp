// Each board's value, taken by the run that starts the boards' copies.
#include "copies/board_stamp.h"

#include "cli/options.h"
#include "stamp/stamp_state.h"
#include "upload/load_firmware.h"
#include "upload/stamp_image.h"

#include <algorithm>

Failure board_stamp_take(const UploadPlan &plan, std::vector<std::string> &arguments, BoardStamp &stamp)
{
    stamp = BoardStamp{};
    if (run_options.stamp.format == STAMP_NONE)
        return Failure{};
    StampValue value{};
    if (Failure none_left = stamp_take(run_options.stamp, value); failed(none_left))
        return none_left;
    stamp.value = value.text;
    stamp.image_sha256 = stamped_image_sha256(plan, run_options.stamp, value);
    // Before -device= and the file, which end the copy's arguments.
    auto device = std::find_if(arguments.begin(), arguments.end(),
                               [](const std::string &argument) { return argument.starts_with("-device="); });
    arguments.insert(device, "-stamp-value=" + value.text);
    return Failure{};
}
