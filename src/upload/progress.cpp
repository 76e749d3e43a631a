// The upload's progress: the bar with its time estimate, -v dots, block events.
#include "upload/progress.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "upload/protocol.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace {

struct Progress {
    int sent;
    int total;
    bool bar;      // a line redrawn in place on standard error
    size_t drawn;  // the characters of the line drawn last
} progress;

// A full-speed endpoint takes about one report per millisecond: with the
// pauses, what the rest of the upload takes.
constexpr double REPORT_SECONDS = 0.001;

// The bar's line for a terminal of `columns` (0: not known): in full at 80
// columns or more, or where the width is not known; on a narrower terminal
// at most columns - 1 characters, so that it never wraps: the bar narrows
// (to 10), the counts shorten to "16/32", the time left goes, then the bar.
std::string progress_line(int columns, int percent, double seconds)
{
    const int full_width = 30;
    char head[32], long_counts[48], short_counts[32], time_left[32];
    std::snprintf(head, sizeof head, "Programming %3d%%", percent);
    std::snprintf(long_counts, sizeof long_counts, " block %d of %d", progress.sent, progress.total);
    std::snprintf(short_counts, sizeof short_counts, " %d/%d", progress.sent, progress.total);
    std::snprintf(time_left, sizeof time_left, ", %.1f s left", seconds);
    auto line = [&](int bar_width, const char *counts, const char *time) {
        std::string text = head;
        if (bar_width > 0) {
            int done = progress.total > 0 ? progress.sent * bar_width / progress.total : bar_width;
            text += " [" + std::string(size_t(done), '#') + std::string(size_t(bar_width - done), ' ') + "]";
        }
        return text + counts + time + " ";
    };
    if (columns <= 0 || columns >= 80)
        return line(full_width, long_counts, time_left);
    const size_t limit = size_t(columns - 1);
    const std::pair<const char *, const char *> parts[] = {
        {long_counts, time_left}, {short_counts, time_left}, {short_counts, ""}};
    for (int bar_width : {full_width, 0}) {
        for (auto [counts, time] : parts) {
            size_t rest = line(0, counts, time).size();
            int width = bar_width == 0 ? 0 : std::min(full_width, int(limit) - int(rest) - 3);
            if (bar_width == 0 ? rest <= limit : width >= 10)
                return line(width, counts, time);
        }
    }
    return std::string(head).substr(0, limit);
}

void draw_progress_bar()
{
    int left = progress.total - progress.sent;
    int reports_per_block = 3 + run_options.block_size / DATA_CHUNK;
    double seconds = left * (AFTER_BLOCK_PAUSE + reports_per_block * REPORT_SECONDS) + BEFORE_END_PAUSE +
                     (progress.sent == 0 ? AFTER_BEGIN_PAUSE : 0);
    int columns = stderr_columns();
    std::string line = progress_line(columns, progress.total > 0 ? progress.sent * 100 / progress.total : 100,
                                     progress.sent == progress.total ? 0.0 : seconds);
    // On a narrow terminal, blanks over what a longer line before left
    // (the width may have changed), within the width.
    if (columns > 0 && columns < 80 && line.size() < std::min(progress.drawn, size_t(columns - 1)))
        line.append(std::min(progress.drawn, size_t(columns - 1)) - line.size(), ' ');
    progress.drawn = line.size();
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
}

}  // namespace

void progress_start(int total)
{
    // A person at a terminal sees a bar; logs, pipes, -v and -json do not.
    progress = Progress{0, total, !run_options.verbose && !run_options.json && stderr_is_terminal(), 0};
    if (progress.bar)
        draw_progress_bar();
}

bool progress_shown()
{
    return progress.bar || run_options.verbose || run_options.json;
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
