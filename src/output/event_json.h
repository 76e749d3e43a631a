// What the -json events and the -log= line are built with: nlohmann's
// ordered JSON and the writing of one line. Only the files that build them
// include this.
#pragma once

#include "output/output_queue.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace event_json {

// Fields keep the order in which they are set: the documented order.
using Json = nlohmann::ordered_json;

// An ID as the events give it: four lower-case hex digits, as a string.
std::string hex_id(uint32_t id);

// One line of JSON text with its line end; invalid UTF-8 becomes U+FFFD.
std::string line_text(const Json &value);

// One line of standard output; invalid UTF-8 becomes U+FFFD instead of
// ending the run with an exception. Progress may be dropped where output
// is queued and standard output falls behind (output/output_queue.h).
void write_line(const Json &value, OutputPiece piece = OUTPUT_KEEP);

// With -json: `event` as one line of standard output; without: nothing.
void write_event(const Json &event);

// An event with only its name: {"event":name}.
Json named(const char *name);

}  // namespace event_json
