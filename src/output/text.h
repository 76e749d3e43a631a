// Text from devices and from the command line made safe to print.
#pragma once

#include <string>
#include <string_view>

// The text with every control character (C0, DEL, C1) and every byte that
// is not part of valid UTF-8 replaced by '?': for names and paths that come
// from a device or from the user, printed inside lines and fields.
std::string printable(std::string_view text);

// The same for text of several lines: the line ends stay.
std::string printable_lines(std::string_view text);

// A message of several lines in one line, for a table or a log: its first
// two lines joined by ": ", passing over empty lines; made printable. ""
// when there is none.
std::string one_line_outcome(std::string_view message);
