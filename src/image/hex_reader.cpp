// The reader handles record types 00 (data), 01 (end of file), 02 (extended
// segment address) and 04 (extended linear address) and skips all others.
// Every record it handles is strict: a field that does not parse, a wrong
// length or a checksum that does not add up rejects the whole file, because
// a record skipped or misread here would put wrong bytes into the flash.

#include "image/hex_reader.h"

#include "image/firmware_image.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <sys/stat.h>

HexReadReport hex_read_report;

namespace {

// A line may hold 1,022 characters before its newline, as the line buffer of
// the original reader did (1,024 bytes: the characters, the newline, a NUL).
constexpr size_t MAX_LINE_CHARS = 1022;
constexpr int CTRL_Z = 0x1A;

enum RecordType { RECORD_DATA = 0, RECORD_END = 1, RECORD_SEGMENT = 2, RECORD_LINEAR = 4 };

enum LineStatus { LINE_NONE, LINE_READ, LINE_TOO_LONG, LINE_READ_ERROR };

struct TextLine {
    char text[MAX_LINE_CHARS + 1];
    size_t length;  // characters before the newline
    bool newline;   // the line ended in a newline (not at the end of the file)
};

struct CloseFile {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, CloseFile>;

// The file, read in pieces of 16 KiB: a byte at a time through stdio costs
// more than the whole parse, and each page of a larger buffer would cost the
// run a page fault of its own for no gain.
struct TextFile {
    FILE *file;
    size_t next = 0, end = 0;
    bool ended = false;  // at the end of the file, a Ctrl-Z, or a read error
    bool failed = false;
    int error = 0;         // errno of a read error
    bool skip_lf = false;  // the last line ended in a CR: a LF right after it belongs to it
    char buffer[1 << 14];
};

// Fills the buffer when it is used up; false at the end of the file.
bool refill(TextFile &in)
{
    if (in.next < in.end)
        return true;
    if (in.ended)
        return false;
    in.next = 0;
    in.end = std::fread(in.buffer, 1, sizeof in.buffer, in.file);
    if (in.end == 0) {
        in.error = errno;
        in.ended = true;
        in.failed = std::ferror(in.file) != 0;
    }
    return in.end > 0;
}

// Reads one line the same way on every platform. A line ends at a LF, a CR,
// or a CR and LF together: files from old Mac tools end their lines in CR
// alone, and reading those as one long line would drop all but the first
// record. A Ctrl-Z ends the file, as a text-mode read does on Windows. The
// file is opened in binary mode so that no platform adds or removes anything.
LineStatus read_text_line(TextFile &in, TextLine &line)
{
    line.length = 0;
    line.newline = false;
    while (refill(in)) {
        if (in.skip_lf) {
            in.skip_lf = false;
            if (in.buffer[in.next] == '\n') {
                ++in.next;
                continue;
            }
        }
        const char *start = in.buffer + in.next;
        size_t available = in.end - in.next;
        const char *line_end = static_cast<const char *>(std::memchr(start, '\n', available));
        size_t span = line_end ? size_t(line_end - start) : available;
        if (const char *cr = static_cast<const char *>(std::memchr(start, '\r', span))) {
            line_end = cr;
            span = size_t(cr - start);
        }
        const char *ctrl_z = static_cast<const char *>(std::memchr(start, CTRL_Z, span));
        if (ctrl_z)
            span = size_t(ctrl_z - start);
        if (line.length + span > MAX_LINE_CHARS)
            return LINE_TOO_LONG;
        std::memcpy(line.text + line.length, start, span);
        line.length += span;
        in.next += span;
        if (ctrl_z) {
            in.ended = true;
            in.next = in.end;
            break;
        }
        if (line_end) {
            in.skip_lf = *line_end == '\r';
            ++in.next;
            line.newline = true;
            break;
        }
    }
    if (in.failed)
        return LINE_READ_ERROR;
    return line.length > 0 || line.newline ? LINE_READ : LINE_NONE;
}

// The value of each character as a hex digit, or -1.
constexpr std::array<int8_t, 256> HEX_DIGITS = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i)
        table['0' + i] = int8_t(i);
    for (int i = 0; i < 6; ++i)
        table['A' + i] = table['a' + i] = int8_t(10 + i);
    return table;
}();

// Reads up to `width` hex digits starting at `at`, stopping early at the
// first character that is not one. Returns -1 when there is no digit at `at`.
int32_t read_hex_field(std::string_view text, size_t at, size_t width)
{
    int32_t value = -1;
    for (size_t i = at; i < text.size() && i < at + width; ++i) {
        int digit = HEX_DIGITS[static_cast<unsigned char>(text[i])];
        if (digit < 0)
            break;
        value = (value < 0 ? 0 : value * 16) + digit;
    }
    return value;
}

// Parses one record line and applies it to the image. Returns null, or what
// is wrong with the record.
const char *apply_record(const TextLine &line)
{
    // Everything after a NUL is invisible, as it is to C string handling.
    std::string_view text(line.text, strnlen(line.text, line.length));
    size_t counted_length = text.size() + (text.size() == line.length && line.newline ? 1 : 0);

    if (text.empty())
        return "empty line";
    if (text[0] != ':')
        return "does not start with ':'";
    if (counted_length < 11)
        return "too short for a record";
    int32_t count = read_hex_field(text, 1, 2);
    if (count < 0)
        return "byte count is not hex";
    if (counted_length < size_t(2 * count + 11))
        return "shorter than its byte count says";
    int32_t address = read_hex_field(text, 3, 4);
    int32_t type = read_hex_field(text, 7, 2);
    if (address < 0 || type < 0)
        return "address or record type is not hex";

    FirmwareImage &image = firmware_image;
    // Every record, of whatever type, must stay inside the image (64 KiB,
    // or the part's whole flash with -above64k).
    if (uint64_t{image.address_base} + uint64_t(address) + uint64_t(count) > uint64_t(image_size())) {
        static char beyond[48];
        std::snprintf(beyond, sizeof beyond, "reaches beyond address 0x%04X", unsigned(image_size() - 1));
        hex_read_report.beyond_image = true;
        return beyond;
    }

    uint32_t sum = uint32_t(address >> 8) + uint32_t(address & 0xFF) + uint32_t(count) + uint32_t(type);

    switch (type) {
    case RECORD_DATA: {
        constexpr int32_t COUNT_MAX = std::numeric_limits<int32_t>::max();
        image.data_byte_count =
            image.data_byte_count > COUNT_MAX - count ? COUNT_MAX : image.data_byte_count + count;
        for (int32_t i = 0; i < count; ++i) {
            int32_t byte = read_hex_field(text, size_t(9 + 2 * i), 2);
            if (byte < 0)
                return "data byte is not hex";
            image_store(image.address_base + uint32_t(address + i), uint8_t(byte));
            sum += uint32_t(byte);
        }
        int32_t checksum = read_hex_field(text, size_t(9 + 2 * count), 2);
        if (checksum < 0)
            return "checksum is not hex";
        return ((sum + uint32_t(checksum)) & 0xFF) == 0 ? nullptr : "bad checksum";
    }
    case RECORD_END:
        // The end record's checksum is not tested: nothing follows that it could protect.
        image.end_record_seen = true;
        return nullptr;
    case RECORD_SEGMENT:
    case RECORD_LINEAR: {
        if (count != 2)
            return "extended address record does not hold 2 bytes";
        int32_t value = read_hex_field(text, 9, 4);
        int32_t checksum = read_hex_field(text, 13, 2);
        if (value < 0 || checksum < 0)
            return "extended address or its checksum is not hex";
        sum += uint32_t(value >> 8) + uint32_t(value & 0xFF) + uint32_t(checksum);
        if ((sum & 0xFF) != 0)
            return "bad checksum";
        image.address_base = uint32_t(value) * (type == RECORD_SEGMENT ? 16u : 65536u);
        return nullptr;
    }
    default:
        return nullptr;  // types 03, 05 and unknown ones carry nothing for the flash
    }
}

int32_t failed(int32_t result, long line_number, const char *what)
{
    hex_read_report.problem = line_number > 0 ? "line " + std::to_string(line_number) + ": " + what : what;
    return result;
}

// Looks past the end record: text there is lost without a word unless the
// caller warns (two files joined into one lose the second).
bool text_follows(TextFile &in, TextLine &line)
{
    for (;;) {
        switch (read_text_line(in, line)) {
        case LINE_NONE:
        case LINE_READ_ERROR:
            return false;
        case LINE_TOO_LONG:
            return true;
        case LINE_READ:
            if (std::string_view(line.text, line.length).find_first_not_of(" \t") != std::string_view::npos)
                return true;
        }
    }
}

}  // namespace

int32_t load_hex_file(const char *path)
{
    image_reset();
    hex_read_report = HexReadReport{};
    // A device node is no HEX file, and reading one may never end (a hidraw
    // node mistaken for the file waits for input reports).
    struct stat node;
    if (stat(path, &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode)))
        return failed(HEX_READ_OPEN_FAILED, 0, "it is a device, not a file");
    FileHandle file(std::fopen(path, "rb"));
    if (!file)
        return failed(HEX_READ_OPEN_FAILED, 0, std::strerror(errno));

    static TextFile in;  // static, like the image
    in.file = file.get();
    in.next = in.end = 0;
    in.ended = in.failed = in.skip_lf = false;
    TextLine line;
    long line_number = 0;
    while (!firmware_image.end_record_seen) {
        ++line_number;
        switch (read_text_line(in, line)) {
        case LINE_NONE:
            return firmware_image.data_byte_count;
        case LINE_READ_ERROR:
            // A file that cannot be read to its end must not load as a shorter one.
            return failed(HEX_READ_OPEN_FAILED, 0, std::strerror(in.error));
        case LINE_TOO_LONG:
            return failed(HEX_READ_BAD_RECORD, line_number, "longer than 1,022 characters");
        case LINE_READ:
            break;
        }
        if (line.length > 0 && line.text[0] == '\0')
            continue;  // a piece that starts with a NUL is passed over
        if (const char *problem = apply_record(line))
            return failed(HEX_READ_BAD_RECORD, line_number, problem);
    }
    hex_read_report.text_after_end = text_follows(in, line);
    return firmware_image.data_byte_count;
}
