// The upload's progress: the bar with its time estimate, -v dots, block events.
#include "upload/progress.h"

#include "cli/console.h"
#include "cli/events.h"
#include "cli/options.h"
#include "upload/upload.h"

#include <cstdio>

namespace {

struct Progress {
    int sent;
    int total;
    bool bar;  // a line redrawn in place on standard error
} progress;

// A full-speed endpoint takes about one report per millisecond: with the
// pauses, what the rest of the upload takes.
constexpr double REPORT_SECONDS = 0.001;

void draw_progress_bar()
{
    const int width = 30;
    int done = progress.total > 0 ? progress.sent * width / progress.total : width;
    int left = progress.total - progress.sent;
    int reports_per_block = 3 + run_options.block_size / DATA_CHUNK;
    double seconds = left * (AFTER_BLOCK_PAUSE + reports_per_block * REPORT_SECONDS) + BEFORE_END_PAUSE +
                     (progress.sent == 0 ? AFTER_BEGIN_PAUSE : 0);
    std::fprintf(stderr, "\rProgramming %3d%% [%.*s%*s] block %d of %d, %.1f s left ",
                 progress.total > 0 ? progress.sent * 100 / progress.total : 100, done,
                 "##############################", width - done, "", progress.sent, progress.total,
                 progress.sent == progress.total ? 0.0 : seconds);
    std::fflush(stderr);
}

}  // namespace

void progress_start(int total)
{
    // A person at a terminal sees a bar; logs, pipes, -v and -json do not.
    progress = Progress{0, total, !run_options.verbose && !run_options.json && stderr_is_terminal()};
    if (progress.bar)
        draw_progress_bar();
}

void progress_block(int32_t address, int32_t)
{
    ++progress.sent;
    if (progress.bar)
        draw_progress_bar();
    log_verbose(".");
    event_block(address, progress.sent, progress.total);
}

void progress_end_line()
{
    if (progress.bar)
        std::fputc('\n', stderr);
}
