// The -json stream: each event built as a JSON object and written as one line.
#include "cli/events.h"

#include "cli/options.h"
#include "cli/text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Fields keep the order in which they are set: the documented order.
using Json = nlohmann::ordered_json;

struct FailedCommand {
    const char *command;  // null: the error was not a write
    int32_t address;
} failed_command{nullptr, -1};

bool write_failed = false;

// An ID as the events give it: four lower-case hex digits, as a string.
std::string hex_id(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x", unsigned(id));
    return text;
}

// JSON text with every control character escaped as \uXXXX: nlohmann
// writes \b \t \n \f \r short and DEL and the C1 controls raw, which a
// terminal or a strict reader may act on. Only strings hold these, and the
// text is valid UTF-8 already, so C1 comes as the bytes C2 80 to C2 9F.
std::string escape_controls(std::string_view text)
{
    std::string result;
    char code[8];
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        unsigned next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        unsigned control = 0;  // 0: no control here
        if (byte == '\\') {
            std::string_view shorts = "btnfr", values = "\b\t\n\f\r";
            size_t which = shorts.find(char(next));
            if (which == std::string_view::npos) {
                result.append(text.substr(i, 2));  // any other escape, "\\" too, stays as it is
                ++i;
                continue;
            }
            control = static_cast<unsigned char>(values[which]);
        } else if (byte == 0x7F) {
            control = byte;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            control = next;
        }
        if (!control) {
            result += char(byte);
            continue;
        }
        std::snprintf(code, sizeof code, "\\u%04x", control);
        result += code;
        i += byte == 0x7F ? 0 : 1;
    }
    return result;
}

// One line of JSON text with its line end; invalid UTF-8 becomes U+FFFD.
std::string line_text(const Json &value)
{
    return escape_controls(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) + '\n';
}

// One line of standard output; invalid UTF-8 becomes U+FFFD instead of
// ending the run with an exception.
void write_line(const Json &value)
{
    const std::string line = line_text(value);
    bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    if ((std::fflush(stdout) != 0 || !written) && !write_failed) {
        write_failed = true;
        std::fprintf(stderr, "quorvel: warning: cannot write the JSON events: %s\n", std::strerror(errno));
    }
}

void write_event(const Json &event)
{
    if (run_options.json)
        write_line(event);
}

Json named(const char *name)
{
    return Json{{"event", name}};
}

}  // namespace

int events_write_failed()
{
    return write_failed;
}

void event_start(std::string_view file, std::string_view file_sha256, std::string_view image_sha256,
                 std::string_view mcu, int blocks)
{
    Json event = named("start");
    event["file"] = file;
    event["sha256"] = file_sha256;
    event["image_sha256"] = image_sha256;
    event["mcu"] = mcu;
    event["blocks"] = blocks;
    write_event(event);
}

void event_touch(std::string_view port, bool reset, std::string_view location)
{
    Json event = named("touch");
    event["port"] = port;
    event["reset"] = reset;
    event["location"] = location;
    write_event(event);
}

void event_device(std::string_view path, uint32_t vendor_id, uint32_t product_id, std::string_view serial,
                  std::string_view location)
{
    Json event = named("device");
    event["path"] = path;
    event["vendor_id"] = hex_id(vendor_id);
    event["product_id"] = hex_id(product_id);
    event["serial"] = serial;
    event["location"] = location;
    write_event(event);
}

void event_block(int32_t address, int index, int count)
{
    Json event = named("block");
    event["address"] = address;
    event["index"] = index;
    event["count"] = count;
    write_event(event);
}

void event_done()
{
    write_event(named("done"));
}

void event_dry_run(const DryRunFigures &figures)
{
    Json event = named("dry_run");
    event["blocks"] = figures.blocks;
    event["block_size"] = figures.block_size;
    event["reports"] = figures.reports;
    event["file_bytes"] = figures.file_bytes;
    event["least_seconds"] = std::round(figures.least_seconds * 100.0) / 100.0;
    write_event(event);
}

void note_failed_command(const char *command, int32_t address)
{
    failed_command = FailedCommand{command, address};
}

namespace {

Json error_event(std::string_view text)
{
    while (text.starts_with('\n'))
        text.remove_prefix(1);
    while (text.ends_with('\n'))
        text.remove_suffix(1);
    size_t end = text.find('\n');
    Json event = named("error");
    event["message"] = text.substr(0, end);
    event["detail"] = end == std::string_view::npos ? "" : text.substr(end + 1);
    if (failed_command.command) {
        event["command"] = failed_command.command;
        event["address"] = failed_command.address;
    }
    return event;
}

}  // namespace

void event_error(std::string_view text)
{
    write_event(error_event(text));
}

void event_interrupted(std::string_view text, std::string_view signal)
{
    Json event = error_event(text);
    event["interrupted"] = true;
    event["signal"] = signal;
    write_event(event);
}

void event_summary(const std::vector<BoardOutcome> &boards, double seconds)
{
    Json list = Json::array();
    bool ok = true;
    int done = 0;
    for (const BoardOutcome &board : boards) {
        Json entry{{"path", board.path}, {"serial", board.serial}, {"location", board.location}};
        entry["result"] = board.done ? "done" : "error";
        if (!board.done)
            entry["message"] = board.message;
        list.push_back(entry);
        ok = ok && board.done;
        done += board.done;
    }
    Json event = named("summary");
    event["boards"] = list;
    event["ok"] = ok;
    event["done"] = done;
    event["failed"] = int(boards.size()) - done;
    event["seconds"] = std::round(seconds * 100.0) / 100.0;
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

}  // namespace

namespace {

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

std::string last_error_event(std::string_view lines)
{
    Json event = last_event(lines, "error");
    if (!event.is_object() || !event["message"].is_string())
        return "";
    std::string text = event["message"].get<std::string>();
    if (event["detail"].is_string() && !event["detail"].get<std::string>().empty())
        text += "\n" + event["detail"].get<std::string>();
    return one_line_outcome(text);
}

void event_board_started(std::string_view path, std::string_view serial, std::string_view location)
{
    Json event = board_tag(path, serial, location);
    event["event"] = "board_started";
    write_event(event);
}

void event_board_ended(const BoardOutcome &board, double seconds)
{
    Json event = board_tag(board.path, board.serial, board.location);
    event["event"] = "board_ended";
    event["result"] = board.done ? "done" : "error";
    if (!board.done)
        event["message"] = board.message;
    event["seconds"] = std::round(seconds * 100.0) / 100.0;
    write_event(event);
}

void pass_on_board_events(std::string_view copy_output, std::string_view board_path,
                          std::string_view board_serial, std::string_view board_location)
{
    if (!run_options.json)
        return;
    while (!copy_output.empty()) {
        size_t end = copy_output.find('\n');
        std::string_view line = copy_output.substr(0, end);
        copy_output.remove_prefix(end == std::string_view::npos ? copy_output.size() : end + 1);
        Json event = Json::parse(line, nullptr, false);
        // Also a line that is not JSON at all; the copy's start event repeats this run's.
        if (!event.is_object() || event["event"] == "start")
            continue;
        Json tagged = board_tag(board_path, board_serial, board_location);
        for (auto &[key, value] : event.items())
            tagged[key] = value;
        write_line(tagged);
    }
}

std::string log_line_text(const LogLine &line)
{
    Json entry{{"time", line.time}};
    entry["serial"] = line.serial;
    entry["location"] = line.location;
    entry["path"] = line.path;
    entry["vendor_id"] = hex_id(line.vendor_id);
    entry["product_id"] = hex_id(line.product_id);
    entry["file"] = line.file;
    entry["sha256"] = line.file_sha256;
    entry["image_sha256"] = line.image_sha256;
    entry["mcu"] = line.mcu;
    entry["result"] = line.result;
    entry["seconds"] = std::round(line.seconds * 100.0) / 100.0;
    entry["version"] = line.version;
    return line_text(entry);
}

void print_device_array(const std::vector<ListedDevice> &devices)
{
    Json list = Json::array();
    for (const ListedDevice &device : devices) {
        Json entry{{"path", device.path}};
        entry["vendor_id"] = hex_id(device.vendor_id);
        entry["product_id"] = hex_id(device.product_id);
        entry["match"] = device.match;
        entry["name"] = device.name;
        entry["serial"] = device.serial;
        entry["location"] = device.location;
        entry["busy"] = device.busy;
        list.push_back(entry);
    }
    write_line(list);
}
