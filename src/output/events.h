// The -json stream: the events that programs read on standard output, one
// JSON object per line, and the -list -json array. The one place where JSON
// is written.
#pragma once

#include "output/log_line.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Every event function writes its line and flushes with -json, and writes
// nothing without it. Strings are passed on as they came (from a device, the
// system or the user): control characters are escaped, and bytes that are
// not valid UTF-8 become U+FFFD, so that no text can break the stream.

// A line of the stream that could not be written (a full disk, a closed
// pipe) gives one warning on standard error; from then on this is 1, and
// the run ends with status 1 where it would have ended with 0.
int events_write_failed();

// Registers the stream's part in the end of the run: a failure that ends
// it becomes its last event (an error, or an interruption by a signal),
// and a stream that could not be written turns status 0 into 1. Called
// once output_settings is set.
void events_start();

// {"event":"start","file":...,"sha256":...,"image_sha256":...,"mcu":...,"blocks":...}:
// the firmware read, before any board is touched.
void event_start(std::string_view file, std::string_view file_sha256, std::string_view image_sha256,
                 std::string_view mcu, int blocks);

// {"event":"touch","port":...,"reset":...,"location":...}: what -touch= did.
void event_touch(std::string_view port, bool reset, std::string_view location);

// {"event":"device","path":...,"vendor_id":"5e1a","product_id":"0001","serial":...,"location":...}:
// the device that the run writes to; with -stamp=, "stamp":... its value last.
void event_device(std::string_view path, uint32_t vendor_id, uint32_t product_id, std::string_view serial,
                  std::string_view location, std::string_view stamp = {});

// {"event":"block","address":...,"index":...,"count":...}: block `index` of
// `count` is under way.
void event_block(int32_t address, int index, int count);

// {"event":"application","vendor_id":...,"product_id":...,"product":...,"serial":...,"location":...,
// "seconds":...}: it appeared, before "done".
void event_application(const ApplicationSeen &application);

// {"event":"done"}: the upload ended well.
void event_done();

// What a dry run found; least_seconds goes out rounded to hundredths.
struct DryRunFigures {
    int blocks;
    int block_size;
    int reports;
    int file_bytes;
    double least_seconds;
};
void event_dry_run(const DryRunFigures &figures);

// {"event":"error","message":...,"detail":...}: the message of fail(); its
// first line (past leading line ends) is the message, the rest the detail.
void event_error(std::string_view text);

// {"event":"error","message":...,"detail":...,"interrupted":true,"signal":"SIGTERM"}:
// the run was stopped by this signal; `text` as for event_error.
void event_interrupted(std::string_view text, std::string_view signal);

// One board's outcome in the -all summary: "done", or "error" with the message.
struct BoardOutcome {
    std::string_view path;
    std::string_view serial;
    std::string_view location;
    bool done;
    std::string_view message;
};

// {"event":"summary","boards":[...],"ok":...,"done":...,"failed":...,"seconds":...}:
// the end of an -all or -station run that ends with `status`: ok exactly
// when that is 0 (every board done, and every line of the log written).
void event_summary(const std::vector<BoardOutcome> &boards, double seconds, int status);

// Passes on the event lines of one board's copy (its standard output), each
// with "board":PATH, "board_serial" and "board_location" first.
void pass_on_board_events(std::string_view copy_output, std::string_view board_path,
                          std::string_view board_serial, std::string_view board_location);

// The progress in a copy's event lines: 1 and the figures of the last block
// event among them, or 0 when they hold none.
int last_block_event(std::string_view lines, int &index, int &count);

// {"event":"log_line","line":...}: a board's copy hands the log line that
// it could not write to the run that started it (run_log_hand_back).
void event_log_line(std::string_view line);

// The lines of the log_line events among a copy's event lines, in order.
std::vector<std::string> log_line_events(std::string_view lines);

// 1 when a copy's event lines hold an event of this kind ("done", "device").
int has_event(std::string_view lines, std::string_view kind);

// The event lines worth keeping of a copy until it ends: its device, done
// and error events, in order; its progress and the rest are passed over.
std::string lasting_events(std::string_view lines);

// The last error event in a copy's event lines in one line, its message
// and the first line of its detail joined by ": " and made printable; ""
// when they hold none.
std::string last_error_event(std::string_view lines);

// {"board":PATH,"board_serial":...,"board_location":...,"event":"board_started"}:
// a board's upload began (-station); with -stamp=, "stamp":... its value last.
void event_board_started(std::string_view path, std::string_view serial, std::string_view location,
                         std::string_view stamp = {});

// {"board":PATH,...,"event":"board_ended","result":"done"|"error","message":...,"seconds":...}:
// a board's upload ended (-station); message only for an error.
void event_board_ended(const BoardOutcome &board, double seconds);

// A present HID interface as -list -json shows it.
struct ListedDevice {
    std::string_view path;
    uint32_t vendor_id;
    uint32_t product_id;
    bool match;
    std::string_view name;
    std::string_view serial;
    std::string_view location;
    bool busy;  // another quorvel run writes to it
};

// -list -json: one JSON array of the devices, on one line of standard output.
void print_device_array(const std::vector<ListedDevice> &devices);
