// The live view of the boards being programmed: redrawn in place on a
// terminal, never wider than the terminal so that no line wraps.
#include "copies/live_view.h"

#include "output/console.h"
#include "cli/options.h"
#include "output/text.h"
#include "upload/load_firmware.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
    std::string name;  // "1-2.3 QV-0042", or the path where the board has no location
    int index, count;
    Clock::time_point started;
    bool ended;
};

struct BoardView {
    bool live;
    bool colour;
    std::string title;
    std::string counts;
    std::vector<Row> rows;
    std::vector<std::pair<std::string, bool>> ended;  // lines that stay, not written yet, and if an error
    int drawn;                                        // lines of the live part on the screen
    Clock::time_point drawn_at;
} view;

// Progress is redrawn at most this often: a terminal need not show every block.
constexpr std::chrono::milliseconds REDRAW_STEP{50};

// Red where the terminal shows colour and the user did not turn it off.
bool colour_wanted()
{
    const char *no_colour = std::getenv("NO_COLOR");
    const char *terminal = std::getenv("TERM");
    return !(no_colour && *no_colour) && !(terminal && std::strcmp(terminal, "dumb") == 0);
}

// The text cut to `width` characters (UTF-8 sequences counted as one).
std::string fitted(std::string text, int width)
{
    int characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters++ == width)
            return text.substr(0, i);
    }
    return text;
}

// A board in progress in at most `width` characters: name, bar, percent
// and time left; on a narrow terminal the bar narrows, then the time left
// goes, then the bar.
std::string progress_text(const Row &row, int width)
{
    char percent[16], left[32] = "";
    std::snprintf(percent, sizeof percent, " %3d%%", row.count > 0 ? row.index * 100 / row.count : 0);
    double elapsed = std::chrono::duration<double>(Clock::now() - row.started).count();
    if (row.index > 1 && row.index < row.count)
        std::snprintf(left, sizeof left, " %.1f s left", elapsed * (row.count - row.index) / row.index);
    const int name = int(row.name.size());
    for (const char *time : {static_cast<const char *>(left), ""}) {
        int bar = std::min(20, width - name - int(std::strlen(percent) + std::strlen(time)) - 3);
        if (bar < 5)
            continue;
        int done = row.count > 0 ? row.index * bar / row.count : 0;
        return row.name + " [" + std::string(size_t(done), '#') + std::string(size_t(bar - done), ' ') + "]" +
               percent + time;
    }
    return row.name + percent;
}

// Redraws the live part: back to its first line, the lines that stay,
// then the status line and a line per board in progress.
void redraw()
{
    int columns = stderr_columns();
    int width = (columns > 0 ? columns : 80) - 1;
    std::string out = "\r";
    if (view.drawn > 1)
        out.append("\x1b[").append(std::to_string(view.drawn - 1)).append("A");
    out += "\x1b[J";
    for (const auto &[line, error] : view.ended) {
        const bool red = error && view.colour;
        out.append(red ? "\x1b[31m" : "").append(fitted(line, width)).append(red ? "\x1b[0m\n" : "\n");
    }
    view.ended.clear();
    out += fitted(view.title + ": " + view.counts, width);
    view.drawn = 1;
    for (const Row &row : view.rows) {
        if (row.ended)
            continue;
        out.append("\n").append(fitted(progress_text(row, width), width));
        ++view.drawn;
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    view.drawn_at = Clock::now();
}

}  // namespace

bool board_view_wanted()
{
    return stderr_takes_escapes() && !run_options.verbose && !run_options.json;
}

void board_view_start(bool live)
{
    const LoggedFirmware &firmware = loaded_firmware();
    const std::string title =
        std::filesystem::path(firmware.file).filename().string() + " " + firmware.file_sha256.substr(0, 16);
    view = BoardView{live, live && colour_wanted(), printable(title), "", {}, {}, 0, Clock::now()};
    if (view.live)
        redraw();
}

int board_view_add(std::string_view path, std::string_view serial, std::string_view location)
{
    std::string name = printable(location.empty() ? path : location);
    if (!serial.empty())
        name.append(" ").append(printable(serial));
    view.rows.push_back(Row{name, 0, 0, Clock::now(), false});
    if (view.live)
        redraw();
    return int(view.rows.size() - 1);
}

void board_view_progress(int row, int index, int count)
{
    view.rows[size_t(row)].index = index;
    view.rows[size_t(row)].count = count;
    if (view.live && Clock::now() - view.drawn_at >= REDRAW_STEP)
        redraw();
}

void board_view_end(int row, bool done, std::string_view error, double seconds)
{
    Row &board = view.rows[size_t(row)];
    board.ended = true;
    char text[48];
    std::snprintf(text, sizeof text, " done in %.1f s", seconds);
    view.ended.emplace_back(board.name + (done ? std::string(text) : std::string(" ").append(error)), !done);
    if (view.live)
        redraw();
}

void board_view_counts(int done, int failed, int in_progress, std::string_view note)
{
    view.counts = std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                  std::to_string(in_progress) + " in progress" + (note.empty() ? "" : ", ") +
                  std::string(note);
    if (view.live)
        redraw();
}

void board_view_note(std::string_view text)
{
    if (!view.live) {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
        return;
    }
    view.ended.emplace_back(std::string(text), false);
    redraw();
}

void board_view_finish()
{
    if (!view.live)
        return;
    redraw();
    std::fputc('\n', stderr);
    view.live = false;
}

std::string board_view_line(std::string_view path, std::string_view serial, std::string_view location,
                            std::string_view what)
{
    return printable(path) + "\t" + printable(serial) + "\t" + printable(location) + "\t" + std::string(what);
}
