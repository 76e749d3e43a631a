// What the -json events are built with and written by: one line of JSON
// (output/json_line.h) on standard output. Only the files that build
// events include this.
#pragma once

#include "output/json_line.h"
#include "output/output_queue.h"

namespace event_json {

// One line of standard output; invalid UTF-8 becomes U+FFFD instead of
// ending the run with an exception. Progress may be dropped where output
// is queued and standard output falls behind (output/output_queue.h).
void write_line(const Json &value, OutputPiece piece = OUTPUT_KEEP);

// With -json: `event` as one line of standard output; without: nothing.
void write_event(const Json &event);

// An event with only its name: {"event":name}.
Json named(const char *name);

}  // namespace event_json
