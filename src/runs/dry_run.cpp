// The dry run: the upload walked against a counter instead of a device.
#include "runs/dry_run.h"

#include "output/console.h"
#include "output/events.h"
#include "runs/run_end.h"
#include "upload/load_firmware.h"
#include "upload/tally.h"

#include <cstdio>

namespace {

void list_block(int32_t address, int32_t length)
{
    log_verbose("  block 0x%04X, %d bytes\n", unsigned(address), int(length));
}

}  // namespace

void run_dry_run(const UploadPlan &plan)
{
    std::fprintf(human_output(), "Dry run: no device is opened and nothing is sent\n");
    std::fflush(human_output());
    const UploadTally tally = tally_upload(plan, list_block);
    std::fputs(tally_figures_text(tally, loaded_firmware().file_sha256, loaded_firmware().image_sha256).c_str(),
               human_output());
    event_dry_run(DryRunFigures{tally.blocks, tally.block_size, tally.reports, tally.file_bytes,
                                tally.least_seconds});
    event_done();  // every -json run ends with done, error or summary
    end_process(0);
}
