// The -json events of several boards: the copies' lines passed on with
// their board, board_started, board_ended and the summary; what a copy's
// lines say.
#include "output/events.h"

#include "output/event_json.h"
#include "output/console.h"
#include "output/text.h"

#include <string>
#include <string_view>
#include <vector>

using namespace event_json;

void event_summary(const std::vector<BoardOutcome> &boards, double seconds, int status)
{
    Json list = Json::array();
    int done = 0;
    for (const BoardOutcome &board : boards) {
        Json entry{{"path", board.path}, {"serial", board.serial}, {"location", board.location}};
        entry["result"] = board.done ? "done" : "error";
        if (!board.done)
            entry["message"] = board.message;
        list.push_back(entry);
        done += board.done;
    }
    Json event = named("summary");
    event["boards"] = list;
    event["ok"] = status == 0;
    event["done"] = done;
    event["failed"] = int(boards.size()) - done;
    event["seconds"] = hundredths(seconds);
    write_event(event);
}

namespace {

Json board_tag(std::string_view path, std::string_view serial, std::string_view location)
{
    Json tag{{"board", path}};
    tag["board_serial"] = serial;
    tag["board_location"] = location;
    return tag;
}

// The last event of this kind in the lines, or null.
Json last_event(std::string_view lines, std::string_view kind)
{
    Json found;
    while (!lines.empty()) {
        size_t end = lines.find('\n');
        std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
        Json event = Json::parse(line, nullptr, false);
        if (event.is_object() && event.value("event", "") == kind)
            found = event;
    }
    return found;
}

}  // namespace

int last_block_event(std::string_view lines, int &index, int &count)
{
    Json event = last_event(lines, "block");
    if (!event.is_object() || !event["index"].is_number_integer() || !event["count"].is_number_integer())
        return 0;
    index = event["index"].get<int>();
    count = event["count"].get<int>();
    return 1;
}

void event_log_line(std::string_view line)
{
    Json event = named("log_line");
    event["line"] = line;
    write_event(event);
}

std::vector<std::string> log_line_events(std::string_view lines)
{
    std::vector<std::string> found;
    while (!lines.empty()) {
        size_t end = lines.find('\n');
        std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
        if (line.find("\"log_line\"") == std::string_view::npos)
            continue;  // most lines: not parsed twice
        Json event = Json::parse(line, nullptr, false);
        if (event.is_object() && event["event"] == "log_line" && event["line"].is_string())
            found.push_back(event["line"].get<std::string>());
    }
    return found;
}

int has_event(std::string_view lines, std::string_view kind)
{
    return last_event(lines, kind).is_object();
}

std::string lasting_events(std::string_view lines)
{
    std::string kept;
    while (!lines.empty()) {
        size_t end = lines.find('\n');
        std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
        Json event = Json::parse(line, nullptr, false);
        if (!event.is_object())
            continue;
        const Json &kind = event["event"];
        if (kind == "device" || kind == "application" || kind == "done" || kind == "error") {
            kept += line;
            kept += '\n';
        }
    }
    return kept;
}

std::string last_error_event(std::string_view lines)
{
    Json event = last_event(lines, "error");
    if (!event.is_object() || !event["message"].is_string())
        return "";
    std::string text = event["message"].get<std::string>();
    const Json &detail = event["detail"];
    if (detail.is_string() && !detail.get_ref<const std::string &>().empty()) {
        text += '\n';
        text += detail.get_ref<const std::string &>();
    }
    return one_line_outcome(text);
}

void event_board_started(std::string_view path, std::string_view serial, std::string_view location,
                         std::string_view stamp)
{
    Json event = board_tag(path, serial, location);
    event["event"] = "board_started";
    if (!stamp.empty())
        event["stamp"] = stamp;
    write_event(event);
}

void event_board_ended(const BoardOutcome &board, double seconds)
{
    Json event = board_tag(board.path, board.serial, board.location);
    event["event"] = "board_ended";
    event["result"] = board.done ? "done" : "error";
    if (!board.done)
        event["message"] = board.message;
    event["seconds"] = hundredths(seconds);
    write_event(event);
}

void pass_on_board_events(std::string_view copy_output, std::string_view board_path,
                          std::string_view board_serial, std::string_view board_location)
{
    if (!output_settings.json)
        return;
    while (!copy_output.empty()) {
        size_t end = copy_output.find('\n');
        std::string_view line = copy_output.substr(0, end);
        copy_output.remove_prefix(end == std::string_view::npos ? copy_output.size() : end + 1);
        Json event = Json::parse(line, nullptr, false);
        // Also a line that is not JSON at all; the copy's start event repeats this run's.
        // A log line handed back is this run's to write, not an event to pass on.
        if (!event.is_object() || event["event"] == "start" || event["event"] == "log_line")
            continue;
        Json tagged = board_tag(board_path, board_serial, board_location);
        for (auto &[key, value] : event.items())
            tagged[key] = value;
        // Block events are progress: dropped first when standard output falls behind.
        write_line(tagged, event["event"] == "block" ? OUTPUT_PROGRESS : OUTPUT_KEEP);
    }
}
