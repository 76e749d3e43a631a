// The command line: the MCU table, the option parser and the usage text.
#include "runs/run_end.h"
#include "cli/options.h"

#include "output/console.h"
#include "output/events.h"
#include "output/text.h"
#include "output/version.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

RunOptions run_options;

namespace {

struct McuSize {
    std::string_view suffix;
    int32_t code_size;
    int32_t block_size;
};

// Tried in this order, each as a prefix of what follows the family name:
// "128" must come before "16" and "8", and anything after the size is ignored.
constexpr std::array<McuSize, 5> MCU_SIZES{{
    {"128", 0x20000, 256},
    {"64", 0x10000, 256},
    {"32", 0x8000, 128},
    {"16", 0x4000, 128},
    {"8", 0x2000, 128},
}};

constexpr std::array<std::string_view, 2> MCU_FAMILIES{"at90usb", "atmega"};

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads one USB ID at the start of `text`: an optional 0x or 0X, then one to
// four hex digits. Sets `end` to the index after the last digit. Returns -1
// for anything else: no digit, or five and more (no USB ID is that long).
int32_t read_usb_id(std::string_view text, size_t &end)
{
    size_t at = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    const size_t first = at;
    int32_t value = 0;
    for (; at < text.size() && hex_digit_value(text[at]) >= 0; ++at)
        if (at - first < 4)  // more digits only make it malformed: no overflow
            value = value * 16 + hex_digit_value(text[at]);
    end = at;
    return at == first || at - first > 4 ? -1 : value;
}

constexpr const char *USB_FORM =
    "Give the IDs as -usb=<vid>:<pid>, each 1 to 4 hex digits, as in -usb=0x5e1a:0x0001\n";

// -usb=VID:PID: the vendor ID, exactly one separator (":" in the usage
// example, but any one character), the product ID, and nothing after it: a
// mistyped ID ("0x00O1") must not be read as another one.
void read_usb_option(std::string_view value)
{
    size_t vendor_end = 0;
    int32_t vendor = read_usb_id(value, vendor_end);
    if (vendor < 0)
        fail("Malformed VID\n%s", USB_FORM);
    std::string_view product_text = vendor_end < value.size() ? value.substr(vendor_end + 1) : "";
    size_t product_end = 0;
    int32_t product = read_usb_id(product_text, product_end);
    if (product < 0 || product_end != product_text.size())
        fail("Malformed PID\n%s", USB_FORM);
    run_options.vendor_id = uint32_t(vendor);
    run_options.product_id = uint32_t(product);
}

// The second line for an unknown -mmcu=: the forms and the sizes known.
[[noreturn]] void fail_mcu(std::string_view name)
{
    static std::string sizes, shown;  // static: fail() does not return to free them
    sizes.clear();
    shown = printable(name);
    for (size_t i = MCU_SIZES.size(); i-- > 0;)
        sizes += std::string(MCU_SIZES[i].suffix) + (i > 1 ? ", " : i == 1 ? " or " : "");
    fail(
        "Unknown MCU type\n-mmcu=%s: give atmegaXXuY or at90usbXXXY, where XX is the flash in KiB: %s (as in "
        "-mmcu=atmega32u4 or -mmcu=at90usb1287)\n",
        shown.c_str(), sizes.c_str());
}

// Reads the whole value of a numeric option; 0 when it is not a number from
// `low` to `high`. (from_chars fails NaN and infinity on these bounds too.)
template <typename Number> int read_number(std::string_view value, Number low, Number high, Number &number)
{
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    return error == std::errc() && end == value.data() + value.size() && number >= low && number <= high;
}

[[noreturn]] void fail_value(const char *option, std::string_view value, const char *wanted)
{
    static std::string shown;  // static: fail() does not return to free it
    shown = printable(value);
    fail("quorvel: %s=%s: give %s (see quorvel --help)\n", option, shown.c_str(), wanted);
}

// An argument made only of quorvel's own flag letters, run together ("-nv"):
// it asks for those options, and quietly ignoring it would run a real upload
// where a dry run was meant.
bool joined_flags(std::string_view argument)
{
    return argument.size() > 2 && argument.find_first_not_of("nvw", 1) == std::string_view::npos;
}

// Options that quorvel does not know: another tool's single-dash options are
// passed over with a warning; a mistyped one of quorvel's own is an error.
void read_unknown_option(std::string_view argument)
{
    static std::string shown;  // static: fail() does not return to free it
    shown = printable(argument);
    if (argument.starts_with("--"))
        fail("quorvel: unknown option %s: quorvel's options start with one dash (see quorvel --help)\n",
             shown.c_str());
    if (argument == "-mmcu" || argument == "-usb" || argument == "-device" || argument == "-serial" ||
        argument == "-location" || argument == "-touch" || argument == "-log")
        fail("quorvel: %s needs its value after \"=\", as in %s=... (see quorvel --help)\n", shown.c_str(),
             shown.c_str());
    if (joined_flags(argument))
        fail("quorvel: %s: give each option on its own, as in -%c -%c (see quorvel --help)\n", shown.c_str(),
             argument[1], argument[2]);
    std::fprintf(stderr, "quorvel: ignoring unknown option %s\n", shown.c_str());
}

void write_usage(FILE *out)
{
    std::fputs("Usage: quorvel -mmcu=<MCU> [-v] -usb=<vid:pid> <file.hex>\n"
               "\t-v : Verbose output\n"
               "\n<MCU> = atmegaXXuY or at90usbXXXY"
               "\n<vid:pid> = vid:pid of HID device in hex (eg. -usb=0x5e1a:0x0001)"
               "\n",
               out);
    std::fputs(BANNER_LINE, out);
    std::fputs(AUTHOR_LINE, out);
    std::fputs(
        "\nFor support and more information, please visit:\n"
        "https://example.org/quorvel\n"
        "\nBuilt on the Linux hidraw interface, the Windows HID class library and the C++ standard library\n"
        "https://docs.kernel.org/hid/hidraw.html\n",
        out);
    std::fputs("\nMore options:\n"
               "\t-n : Dry run: read the file and show what would be sent, without a device\n"
               "\t-w : Wait for the bootloader to appear (press the board's reset button)\n"
               "\t-w=<seconds> : Wait for it at most this long (for scripts and IDEs)\n"
               "\t-h, --help : Show this text\n"
               "\t--version : Show the version\n"
               "\t-list : List the HID devices: path, vid:pid, \"match\" or \"-\", name, serial number,\n"
               "\t        location (tab-separated)\n"
               "\t-device=<path> : Use the HID device at this path (one of identical boards); with -usb=\n"
               "\t                 its IDs must match too. Only a HID device is ever written to\n"
               "\t-serial=<text> : Only the device with this USB serial number (see -list)\n"
               "\t-location=<port> : Only the device plugged in at this USB port, such as 1-2.3 (see -list)\n"
               "\t-all : Program every matching board at once; one line per board at the end\n"
               "\t-all=<n> : The same for exactly n boards (with -w, wait until n are present)\n"
               "\t-json : Standard output carries only JSON events, one object per line, for programs\n"
               "\t-touch=<port> : First reset the running board into its bootloader through its USB\n"
               "\t                serial port (1200 baud), then wait for it (5 s, or -w=<seconds>)\n"
               "\t-station : Program each matching board as it appears, once, until Ctrl-C; a board\n"
               "\t           is written again only after it went away and came back\n"
               "\t-station=<n> : The same, ending after n boards\n"
               "\t-log=<file> : Append one JSON line per board programmed: board, firmware\n"
               "\t              SHA-256, result (also for single runs and -all)\n",
               out);
}

}  // namespace

int find_mcu(const char *name, int32_t &code_size, int32_t &block_size)
{
    std::string_view text(name);
    for (std::string_view family : MCU_FAMILIES) {
        if (!text.starts_with(family))
            continue;
        std::string_view size = text.substr(family.size());
        for (const McuSize &entry : MCU_SIZES) {
            if (size.starts_with(entry.suffix)) {
                code_size = entry.code_size;
                block_size = entry.block_size;
                return 1;
            }
        }
        return 0;
    }
    return 0;
}

void read_arguments(int argc, char **argv)
{
    // -json first: an error in any argument before it must end as an event too.
    for (int i = 1; i < argc; ++i)
        run_options.json |= std::string_view(argv[i]) == "-json";
    for (int i = 1; i < argc; ++i) {
        std::string_view argument(argv[i]);
        if (!argument.starts_with('-')) {
            run_options.hex_path = argv[i];
        } else if (argument == "-v") {
            run_options.verbose = 1;
        } else if (argument == "-n") {
            run_options.dry_run = 1;
        } else if (argument == "-w") {
            run_options.wait = 1;
            run_options.wait_limit = 0;
        } else if (argument.starts_with("-w=")) {
            // Seconds, decimals allowed: from 1 ms up.
            if (!read_number(argument.substr(3), 0.001, 1e6, run_options.wait_limit))
                fail_value("-w", argument.substr(3), "the longest wait in seconds, as in -w=30");
            run_options.wait = 1;
        } else if (argument == "-list") {
            run_options.list = 1;
        } else if (argument.starts_with("-device=")) {
            run_options.device_path = argv[i] + 8;
        } else if (argument == "-json") {
            run_options.json = 1;
        } else if (argument == "-all") {
            run_options.all = 1;
            run_options.all_count = 0;
        } else if (argument.starts_with("-all=")) {
            if (!read_number(argument.substr(5), 1, 1000, run_options.all_count))
                fail_value("-all", argument.substr(5), "the number of boards, as in -all=8");
            run_options.all = 1;
        } else if (argument.starts_with("-serial=")) {
            // An empty value would match every device that has no serial number.
            if (argument.size() == 8)
                fail_value("-serial", "", "the board's USB serial number, as quorvel -list shows it");
            run_options.serial = argv[i] + 8;
        } else if (argument.starts_with("-location=")) {
            if (argument.size() == 10)
                fail_value("-location", "", "the board's USB port, as quorvel -list shows it (1-2.3)");
            run_options.location = argv[i] + 10;
        } else if (argument == "-station") {
            run_options.station = 1;
            run_options.station_count = 0;
        } else if (argument.starts_with("-station=")) {
            if (!read_number(argument.substr(9), 1, 1000000, run_options.station_count))
                fail_value("-station", argument.substr(9),
                           "the number of boards to program, as in -station=50");
            run_options.station = 1;
        } else if (argument.starts_with("-log=")) {
            if (argument.size() == 5)
                fail_value("-log", "", "the file to append one line per board to, as in -log=boards.log");
            run_options.log_path = argv[i] + 5;
        } else if (argument.starts_with("-touch=")) {
            if (argument.size() == 7)
                fail_value("-touch", "", "the board's serial port, as in -touch=/dev/ttyACM0");
            run_options.touch_port = argv[i] + 7;
        } else if (argument == "-h" || argument == "--help") {
            write_usage(human_output());  // with -json, standard output carries only events
            end_process(0);
        } else if (argument == "--version") {
            std::fprintf(human_output(), "quorvel %s\n", VERSION);
            end_process(0);
        } else if (argument.starts_with("-usb=")) {
            read_usb_option(argument.substr(5));
        } else if (argument.starts_with("-mmcu=")) {
            if (!find_mcu(argv[i] + 6, run_options.code_size, run_options.block_size))
                fail_mcu(argument.substr(6));
            run_options.mcu = argv[i] + 6;
        } else {
            read_unknown_option(argument);
        }
    }
}

void print_usage(const char *problem)
{
    std::fprintf(stderr, "%s\n\n", problem);
    write_usage(stderr);
    static std::string event_text;  // static: end_process() does not return to free it
    event_text = std::string(problem) + "\nquorvel --help shows how to run quorvel";
    event_error(event_text);
    end_process(1);
}
