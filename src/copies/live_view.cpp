// The live view of the boards being programmed: redrawn in place on a
// terminal, never wider than the terminal so that no line wraps.
#include "copies/live_view.h"

#include "output/console.h"
#include "output/output_queue.h"
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

// The columns that a character takes on a terminal: 2 for the East Asian
// wide and fullwidth ranges (and the emoji blocks terminals draw wide), 0
// for combining marks and zero-width characters, else 1.
int character_columns(char32_t c)
{
    static const char32_t zero[][2] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                       {0x064B, 0x065F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
                                       {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}};
    static const char32_t wide[][2] = {{0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},
                                       {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
                                       {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
                                       {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
                                       {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
                                       {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
                                       {0x30000, 0x3FFFD}};
    for (const auto &range : zero)
        if (c >= range[0] && c <= range[1])
            return 0;
    for (const auto &range : wide)
        if (c >= range[0] && c <= range[1])
            return 2;
    return 1;
}

// The character that starts at text[at] and its length in bytes; the text
// is printable() already, so valid UTF-8.
char32_t next_character(const std::string &text, size_t at, size_t &length)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    length = std::min(length, text.size() - at);
    char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return c;
}

// The columns that the text takes on a terminal.
int text_columns(const std::string &text)
{
    int columns = 0;
    for (size_t at = 0, length = 0; at < text.size(); at += length)
        columns += character_columns(next_character(text, at, length));
    return columns;
}

// The text cut to at most `width` terminal columns.
std::string fitted(std::string text, int width)
{
    int columns = 0;
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        columns += character_columns(next_character(text, at, length));
        if (columns > width)
            return text.substr(0, at);
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
    const int name = text_columns(row.name);
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

// Redraws the live part: the lines that stay, then the status line and a
// line per board in progress, as many as the terminal's rows hold (the
// rest counted in one line), so that the status line never leaves the
// screen. The writer goes back over the live part first (output_queue.h);
// a redraw with no line that stays is progress, which may be dropped.
void redraw()
{
    const int columns = stderr_columns();
    const int width = (columns > 0 ? columns : 80) - 1;
    const int terminal_rows = stderr_rows();
    // The live part keeps one row free, so that it never scrolls.
    const int lines = std::max(1, (terminal_rows > 0 ? terminal_rows : 24) - 1);
    std::string out;
    const bool stays = !view.ended.empty();
    for (const auto &[line, error] : view.ended) {
        const bool red = error && view.colour;
        out.append(red ? "\x1b[31m" : "").append(fitted(line, width)).append(red ? "\x1b[0m\n" : "\n");
    }
    view.ended.clear();
    // The counts first: on a narrow terminal the file's name is cut.
    out += fitted(view.counts + (view.counts.empty() ? "" : " - ") + view.title, width);
    int in_progress = 0;
    for (const Row &row : view.rows)
        in_progress += !row.ended;
    const int shown = in_progress <= lines - 1 ? in_progress : std::max(0, lines - 2);
    int drawn = 1, listed = 0;
    for (const Row &row : view.rows) {
        if (row.ended || listed == shown)
            continue;
        out.append("\n").append(fitted(progress_text(row, width), width));
        ++drawn;
        ++listed;
    }
    if (in_progress > shown && lines >= 2) {
        out.append("\n").append(fitted("and " + std::to_string(in_progress - shown) + " more in progress", width));
        ++drawn;
    }
    output_frame(out, drawn, stays ? OUTPUT_KEEP : OUTPUT_PROGRESS);
    view.drawn_at = Clock::now();
}

}  // namespace

bool board_view_wanted()
{
    // A terminal that says it is dumb takes no cursor movement: it gets the plain lines.
    const char *terminal = std::getenv("TERM");
    const bool dumb = terminal && std::strcmp(terminal, "dumb") == 0;
    return !dumb && stderr_takes_escapes() && !run_options.verbose && !run_options.json;
}

void board_view_start(bool live)
{
    const LoggedFirmware &firmware = loaded_firmware();
    const std::string title = run_options.boot ? std::string("-boot")
                                               : std::filesystem::path(firmware.file).filename().string() +
                                                     " " + firmware.file_sha256.substr(0, 16);
    view = BoardView{live, live && colour_wanted(), printable(title), "", {}, {}, Clock::now()};
    if (view.live)
        redraw();
}

int board_view_add(std::string_view path, std::string_view serial, std::string_view location,
                   std::string_view stamp)
{
    std::string name = printable(location.empty() ? path : location);
    if (!serial.empty())
        name.append(" ").append(printable(serial));
    if (!stamp.empty())
        name.append(" stamp ").append(printable(stamp));
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

void board_view_tick()
{
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
        output_text(OUTPUT_STDERR, std::string(text) + "\n", OUTPUT_KEEP);
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
    output_frame_end();
    view.live = false;
}

std::string board_view_line(std::string_view path, std::string_view serial, std::string_view location,
                            std::string_view what)
{
    return printable(path) + "\t" + printable(serial) + "\t" + printable(location) + "\t" + std::string(what);
}
