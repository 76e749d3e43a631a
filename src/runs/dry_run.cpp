// The dry run: the upload walked against a counter instead of a device.
#include "runs/run_end.h"
#include "runs/dry_run.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "image/firmware_image.h"
#include "upload/load_firmware.h"
#include "upload/protocol.h"

#include <cstdio>

namespace {

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

int nothing_in_hand()
{
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

constexpr UploadTransport DRY_RUN_TRANSPORT{count_report, nothing_in_hand, count_pause, list_block};

}  // namespace

void run_dry_run()
{
    std::fprintf(human_output(), "Dry run: no device is opened and nothing is sent\n");
    std::fflush(human_output());
    dry_run_tally = DryRunTally{};
    upload_image(DRY_RUN_TRANSPORT);

    int file_bytes = 0;
    for (int32_t address = 0; address < run_options.code_size && address < IMAGE_SIZE; ++address)
        file_bytes += firmware_image.image_used[address];
    const DryRunFigures figures{dry_run_tally.blocks, int(run_options.block_size), dry_run_tally.reports,
                                file_bytes, dry_run_tally.pause_seconds};
    std::fprintf(human_output(),
                 "Blocks:     %d of %d bytes\n"
                 "Reports:    %d\n"
                 "File data:  %d bytes\n"
                 "Least time: %.2f s\n"
                 "SHA-256:    %s (file)\n"
                 "            %s (image sent)\n",
                 figures.blocks, figures.block_size, figures.reports, figures.file_bytes,
                 figures.least_seconds, loaded_firmware().file_sha256.c_str(),
                 loaded_firmware().image_sha256.c_str());
    event_dry_run(figures);
    event_done();  // every -json run ends with done, error or summary
    end_process(0);
}
