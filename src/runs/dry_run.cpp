// The dry run: the upload walked against a counter instead of a device.
#include "runs/dry_run.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "runs/run_end.h"
#include "stamp/stamp_state.h"
#include "upload/stamp_image.h"
#include "upload/load_firmware.h"
#include "upload/tally.h"

#include <cstdio>

namespace {

void list_block(int32_t address, int32_t length)
{
    log_verbose_held("  block 0x%04X, %d bytes\n", unsigned(address), int(length));
}

}  // namespace

void run_dry_run(const UploadPlan &plan)
{
    std::fprintf(human_output(), "Dry run: no device is opened and nothing is sent\n");
    std::fflush(human_output());
    // -stamp=: the first board's value, as the next run would take it; it
    // is not taken. The figures are of the image with it.
    std::string image_sha256 = loaded_firmware().image_sha256;
    if (run_options.stamp.format != STAMP_NONE) {
        StampValue first{};
        if (run_options.stamp_value)
            first = StampValue{run_options.stamp_value, 0, 0};
        else if (Failure none_left = stamp_peek(run_options.stamp, first); failed(none_left))
            fail_with(none_left);
        if (Failure unfit = stamp_image(run_options.stamp, first); failed(unfit))
            fail_with(unfit);
        image_sha256 = sent_image_sha256(plan);
        std::fprintf(human_output(), "Stamp: %s, the next value (not taken: a dry run takes none)\n",
                     stamp_shown(run_options.stamp, first).c_str());
    }
    const UploadTally tally = tally_upload(plan, list_block);
    std::fputs(tally_figures_text(tally, loaded_firmware().file_sha256, image_sha256).c_str(), human_output());
    std::fflush(stdout);
    event_dry_run(DryRunFigures{tally.blocks, tally.block_size, tally.reports, tally.file_bytes,
                                tally.least_seconds});
    event_done();  // every -json run ends with done, error or summary
    end_process(0);
}
