// -stamp=: what each board's copy of the image gets written into it (its
// own value, at an address, in a format) and where the values come from
// (a counter or a list, with the state that remembers the next one).
#pragma once

#include <cstdint>
#include <string>

enum StampFormatKind {
    STAMP_NONE = 0,  // no -stamp=
    STAMP_U16LE,
    STAMP_U32LE,
    STAMP_U64LE,
    STAMP_U16BE,
    STAMP_U32BE,
    STAMP_U64BE,
    STAMP_ASCII,    // `length` bytes of text, padded with NUL
    STAMP_UTF16LE,  // `length` bytes of UTF-16LE code units, padded with 0
};

enum StampSource {
    STAMP_FROM_NOTHING = 0,  // neither -stamp-from= nor -stamp-list=
    STAMP_FROM_COUNTER,      // -stamp-from=N[,STEP]
    STAMP_FROM_LIST,         // -stamp-list=FILE
};

struct StampSettings {
    StampFormatKind format;  // STAMP_NONE: the run stamps nothing
    uint32_t address;        // the flash address of the value's first byte
    // -stamp=NAME[+OFFSET],FORMAT: the ELF symbol whose flash address (plus
    // OFFSET) is `address` once the file is read; "" for a number.
    std::string symbol;
    uint32_t symbol_offset;
    uint32_t length;         // the bytes the value takes in the flash
    StampSource source;
    uint64_t start;         // STAMP_FROM_COUNTER: the first value
    uint64_t step;          // STAMP_FROM_COUNTER: added after each value taken (1 or more)
    const char *list_path;  // STAMP_FROM_LIST: the file of values, one a line
    // -stamp-state= as given: a file, or a postgresql:// URL (see
    // stamp_database.h); null when not given (a list's state file is then
    // the list's name with ".state" added).
    const char *state;
};

// One board's value.
struct StampValue {
    std::string text;  // as shown and logged: a counter's number in decimal, or the list's line
    int counted;       // 1: from a counter, `number` holds it; 0: a list's line
    uint64_t number;
};
