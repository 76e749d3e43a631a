// One line of the -log= file, as the command line and the page write it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The application that appeared at the board's USB port after
// START_APPLICATION (-expect-app).
struct ApplicationSeen {
    uint32_t vendor_id;
    uint32_t product_id;
    std::string product;
    std::string serial;
    std::string location;  // the port, as -location= names it
    double seconds;        // from START_APPLICATION to its appearance
};

// One line of the -log= file: which firmware went into which board, and how it ended.
struct LogLine {
    std::string_view time;  // UTC, ISO 8601
    std::string_view serial;
    std::string_view location;
    std::string_view path;
    uint32_t vendor_id;
    uint32_t product_id;
    std::string_view file;
    std::string_view file_sha256;
    std::string_view image_sha256;
    std::string_view mcu;
    std::string_view result;  // "done" or the error
    double seconds;
    std::string_view version;
    const ApplicationSeen *application;  // with -expect-app, once it appeared; else null
    std::string_view kind;  // "" for an upload: no field; else "boot"
    std::string_view stamp;  // -stamp=: the board's value; "" (no field) without
};

// {"time":...,"serial":...,"location":...,"path":...,"vendor_id":...,"product_id":...,"file":...,
// "sha256":...,"image_sha256":...,["stamp":...,]"mcu":...,"result":...,"seconds":...,"version":...} and a line end;
// after "version", "application":{"vendor_id":...,"product_id":...,"product":...,"serial":...,
// "seconds":...} when one appeared.
// a line of another kind of run than an upload ends in "kind":...
std::string log_line_text(const LogLine &line);
