// One line of JSON as the -json events and the -log= lines are written:
// nlohmann's ordered JSON, with IDs as four hex digits. Only the files that
// build such lines include this.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace event_json {

// Fields keep the order in which they are set: the documented order.
using Json = nlohmann::ordered_json;

// An ID as the events give it: four lower-case hex digits, as a string.
std::string hex_id(uint32_t id);

// Seconds to two decimals, halves away from zero (as std::round would),
// for the "seconds" fields. Done here rather than by std::round so that
// the program needs no maths library at all: loading one costs every run
// more than all the rounding it would ever do.
double hundredths(double seconds);

// One line of JSON text with its line end; invalid UTF-8 becomes U+FFFD,
// and every control character is written as \uXXXX.
std::string line_text(const Json &value);

}  // namespace event_json
