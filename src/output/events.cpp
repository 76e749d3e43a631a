// The -json stream: each event built as a JSON object and written as one
// line; the events of a single run, errors and the -list array.
#include "output/events.h"

#include "output/event_json.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/finishers.h"
#include "output/output_queue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct FailedCommand {
    const char *command;  // null: the error was not a write
    int32_t address;
} failed_command{nullptr, -1};

}  // namespace

namespace event_json {

// One line of standard output; invalid UTF-8 becomes U+FFFD instead of
// ending the run with an exception. Where output is queued (several
// boards), the line goes out when standard output takes it, and the writer
// warns of a failed write; else it goes out now and this warns. Either
// way the warning comes once.
void write_line(const Json &value, OutputPiece piece)
{
    int error = 0;
    const bool failed_before = output_failed(OUTPUT_STDOUT, error);
    output_text(OUTPUT_STDOUT, line_text(value), piece);
    if (!output_queued() && !failed_before && output_failed(OUTPUT_STDOUT, error))
        std::fprintf(stderr, "quorvel: warning: cannot write the JSON events: %s\n", std::strerror(error));
}

void write_event(const Json &event)
{
    if (output_settings.json)
        write_line(event);
}

Json named(const char *name)
{
    return Json{{"event", name}};
}

}  // namespace event_json

using namespace event_json;

int events_write_failed()
{
    int error = 0;
    return output_failed(OUTPUT_STDOUT, error);
}

namespace {

// The failure that ends the run, as the last event.
void report_to_stream(const Failure &failure)
{
    if (failure.kind == FAILURE_INTERRUPTED) {
        event_interrupted(failure.message, signal_name(failure.signal));
        return;
    }
    failed_command = FailedCommand{failure.command, failure.address};
    event_error(failure.message);
    failed_command = FailedCommand{nullptr, -1};
}

// A stream that could not be written turns a status of 0 into 1.
void finish_stream(int &status)
{
    if (status == 0 && events_write_failed())
        status = 1;
}

}  // namespace

void events_start()
{
    on_failure(report_to_stream);
    at_end(finish_stream);
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
                  std::string_view location, std::string_view stamp)
{
    Json event = named("device");
    event["path"] = path;
    event["vendor_id"] = hex_id(vendor_id);
    event["product_id"] = hex_id(product_id);
    event["serial"] = serial;
    event["location"] = location;
    if (!stamp.empty())
        event["stamp"] = stamp;
    write_event(event);
}

void event_application(const ApplicationSeen &application)
{
    Json event = named("application");
    event["vendor_id"] = hex_id(application.vendor_id);
    event["product_id"] = hex_id(application.product_id);
    event["product"] = application.product;
    event["serial"] = application.serial;
    event["location"] = application.location;
    event["seconds"] = hundredths(application.seconds);
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
    event["least_seconds"] = hundredths(figures.least_seconds);
    write_event(event);
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
