// The tool's name and version, as the banner, the usage text and the log give them.
#pragma once

inline constexpr const char *VERSION = "1.0";
inline constexpr const char *BANNER_LINE = "quorvel 1.0 - firmware uploader for AVR USB HID bootloaders\n";
inline constexpr const char *AUTHOR_LINE = "Written by the quorvel developers\n";
