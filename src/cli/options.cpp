// The command line: the options (the MCU table is image/mcu_table) and what each gives a board's copy.
#include "cli/options.h"

#include "database/postgres.h"
#include "output/text.h"
#include "stamp/stamp_format.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <span>
#include <string_view>
#include <vector>

RunOptions run_options;

namespace {

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

Failure none()
{
    return Failure{FAILURE_NONE, "", 0, nullptr, -1};
}

// -usb=VID:PID: the vendor ID, exactly one separator (":" in the usage
// example, but any one character), the product ID, and nothing after it: a
// mistyped ID ("0x00O1") must not be read as another one.
Failure read_usb(const char *text)
{
    std::string_view value(text);
    size_t vendor_end = 0;
    int32_t vendor = read_usb_id(value, vendor_end);
    if (vendor < 0)
        return failure(FAILURE_OPTION, "Malformed VID\n%s", USB_FORM);
    std::string_view product_text = vendor_end < value.size() ? value.substr(vendor_end + 1) : "";
    size_t product_end = 0;
    int32_t product = read_usb_id(product_text, product_end);
    if (product < 0 || product_end != product_text.size())
        return failure(FAILURE_OPTION, "Malformed PID\n%s", USB_FORM);
    run_options.vendor_id = uint32_t(vendor);
    run_options.product_id = uint32_t(product);
    return none();
}

// -mmcu=NAME; an unknown name gets the forms and the sizes known.
Failure read_mcu(const char *name)
{
    if (find_mcu(name, run_options.code_size, run_options.block_size)) {
        run_options.mcu = name;
        return none();
    }
    return failure(FAILURE_OPTION, "%s", unknown_mcu_message(printable(name)).c_str());
}

// Reads the whole value of a numeric option; 0 when it is not a number from
// `low` to `high`.
template <typename Number> int read_number(std::string_view value, Number low, Number high, Number &number)
{
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    return error == std::errc() && end == value.data() + value.size() && number >= low && number <= high;
}

// Reads the whole value of an option in seconds; 0 when it is not a number
// from `low` to `high`. It takes what from_chars takes: decimal digits with
// a point and an exponent if wanted, a minus but no plus, no blanks, no hex,
// and no infinity or NaN (which no bounds would let through anyway). The
// number itself comes from strtod, correctly rounded like from_chars:
// from_chars for a double would link in the maths library, and loading
// that costs every run more time than reading its options.
int read_seconds(std::string_view value, double low, double high, double &number)
{
    size_t at = !value.empty() && value[0] == '-' ? 1 : 0;
    auto digits = [&] {
        const size_t from = at;
        while (at < value.size() && value[at] >= '0' && value[at] <= '9')
            ++at;
        return at - from;
    };
    size_t mantissa = digits();
    if (at < value.size() && value[at] == '.') {
        ++at;
        mantissa += digits();
    }
    if (mantissa == 0)
        return 0;
    if (at < value.size() && (value[at] == 'e' || value[at] == 'E')) {
        ++at;
        if (at < value.size() && (value[at] == '+' || value[at] == '-'))
            ++at;
        if (digits() == 0)
            return 0;
    }
    if (at != value.size())
        return 0;
    // The run never sets a locale, so the point is the decimal point here;
    // were it another, strtod would stop at the point and the value be refused.
    const std::string text(value);
    char *end = nullptr;
    number = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && number >= low && number <= high;
}

Failure bad_value(const char *option, std::string_view value, const char *wanted)
{
    return failure(FAILURE_OPTION, "quorvel: %s=%s: give %s (see quorvel --help)\n", option,
                   printable(value).c_str(), wanted);
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
Failure read_unknown_option(std::string_view argument)
{
    const std::string shown = printable(argument);
    if (argument.starts_with("--"))
        return failure(
            FAILURE_OPTION,
            "quorvel: unknown option %s: quorvel's options start with one dash (see quorvel --help)\n",
            shown.c_str());
    if (argument == "-mmcu" || argument == "-usb" || argument == "-device" || argument == "-serial" ||
        argument == "-location" || argument == "-touch" || argument == "-log" ||
        argument == "-stamp" || argument == "-stamp-from" || argument == "-stamp-list" || argument == "-stamp-state")
        return failure(FAILURE_OPTION,
                       "quorvel: %s needs its value after \"=\", as in %s=... (see quorvel --help)\n",
                       shown.c_str(), shown.c_str());
    if (joined_flags(argument))
        return failure(FAILURE_OPTION,
                       "quorvel: %s: give each option on its own, as in -%c -%c (see quorvel --help)\n",
                       shown.c_str(), argument[1], argument[2]);
    std::fprintf(stderr, "quorvel: ignoring unknown option %s\n", shown.c_str());
    return none();
}

// Each option's reader: `value` is what follows the option's name ("" for
// a flag), inside argv, so that the settings may point into it.

Failure read_verbose(const char *)
{
    run_options.verbose = 1;
    return none();
}

Failure read_dry_run(const char *)
{
    run_options.dry_run = 1;
    return none();
}

Failure read_wait(const char *)
{
    run_options.wait = 1;
    run_options.wait_limit = 0;
    return none();
}

// Seconds, decimals allowed: from 1 ms up.
Failure read_wait_limit(const char *value)
{
    if (!read_seconds(std::string_view(value), 0.001, 1e6, run_options.wait_limit))
        return bad_value("-w", value, "the longest wait in seconds, as in -w=30");
    run_options.wait = 1;
    return none();
}

Failure read_list(const char *)
{
    run_options.list = 1;
    return none();
}

Failure read_device(const char *value)
{
    run_options.device_path = value;
    return none();
}

Failure read_json(const char *)
{
    run_options.json = 1;
    return none();
}

Failure read_all(const char *)
{
    run_options.all = 1;
    run_options.all_count = 0;
    return none();
}

Failure read_all_count(const char *value)
{
    if (!read_number(std::string_view(value), 1, 1000, run_options.all_count))
        return bad_value("-all", value, "the number of boards, as in -all=8");
    run_options.all = 1;
    return none();
}

// An empty value would match every device that has no serial number.
Failure read_serial(const char *value)
{
    if (!*value)
        return bad_value("-serial", "", "the board's USB serial number, as quorvel -list shows it");
    run_options.serial = value;
    return none();
}

Failure read_location(const char *value)
{
    if (!*value)
        return bad_value("-location", "", "the board's USB port, as quorvel -list shows it (1-2.3)");
    run_options.location = value;
    return none();
}

Failure read_station(const char *)
{
    run_options.station = 1;
    run_options.station_count = 0;
    return none();
}

Failure read_station_count(const char *value)
{
    if (!read_number(std::string_view(value), 1, 1000000, run_options.station_count))
        return bad_value("-station", value, "the number of boards to program, as in -station=50");
    run_options.station = 1;
    return none();
}

Failure read_log(const char *value)
{
    if (!*value)
        return bad_value("-log", "", "the file to append one line per board to, as in -log=boards.log");
    // A database's URL whose table is missing or given twice: said here, in
    // one line, with the password hidden.
    DatabaseUrl url;
    const DatabaseError error = is_database_url(value) ? database_url_parse(value, "table", url) : DatabaseError{};
    if (error.kind)
        return failure(FAILURE_OPTION,
                       "quorvel: -log=%s: %s: give -log=postgresql://USER@HOST/DATABASE?table=NAME (see quorvel "
                       "--help)\n",
                       printable(url.shown).c_str(), printable(error.message).c_str());
    run_options.log_path = value;
    return none();
}

// Empty for a copy of -boot, whose lines name no file.
Failure read_log_name(const char *value)
{
    run_options.log_name = value;
    return none();
}

Failure read_board_lock(const char *value)
{
    if (!read_number(std::string_view(value), 3, 1000000, run_options.board_lock))
        return bad_value("-board-lock", value, "a descriptor number, as in -board-lock=3");
    return none();
}

Failure read_binary(const char *)
{
    run_options.binary = 1;
    run_options.binary_base = 0;
    return none();
}

// -binary=BASE: the flash address of the file's first byte, decimal or 0x hex.
Failure read_binary_base(const char *value)
{
    std::string_view text(value);
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    const std::string_view digits = hex ? text.substr(2) : text;
    uint32_t base = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), base, hex ? 16 : 10);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || base > 0x1FFFF)
        return bad_value("-binary", value,
                         "the flash address of the file's first byte, 0 to 0x1FFFF, as in -binary=0x1000");
    run_options.binary = 1;
    run_options.binary_base = base;
    return none();
}

Failure read_touch(const char *value)
{
    if (!*value)
        return bad_value("-touch", "", "the board's serial port, as in -touch=/dev/ttyACM0");
    run_options.touch_port = value;
    return none();
}

Failure read_doctor(const char *)
{
    run_options.doctor = 1;
    return none();
}

// -expect-app, or -expect-app=VID:PID as -usb= reads IDs.
Failure read_expect_app(const char *value)
{
    run_options.expect_app = 1;
    run_options.app_vendor_id = run_options.app_product_id = 0;
    if (!*value)
        return none();
    const uint32_t vendor = run_options.vendor_id, product = run_options.product_id;
    Failure ids = read_usb(value);
    run_options.app_vendor_id = run_options.vendor_id;
    run_options.app_product_id = run_options.product_id;
    run_options.vendor_id = vendor;
    run_options.product_id = product;
    if (failed(ids))
        return bad_value("-expect-app", value,
                         "the application's USB IDs, each 1 to 4 hex digits, as in -expect-app=0x5e1a:0x0100");
    return none();
}

Failure read_app_wait(const char *value)
{
    if (!read_seconds(std::string_view(value), 0.001, 1e6, run_options.app_wait))
        return bad_value("-app-wait", value, "the longest wait for the application in seconds, as in -app-wait=5");
    return none();
}

Failure read_boot(const char *)
{
    run_options.boot = 1;
    return none();
}

Failure read_above64k(const char *)
{
    run_options.above64k = 1;
    return none();
}

Failure read_help(const char *)
{
    run_options.show_help = 1;
    return none();
}

Failure read_version(const char *)
{
    run_options.show_version = 1;
    return none();
}

Failure read_stamp(const char *value)
{
    if (!stamp_read_place(value, run_options.stamp))
        return bad_value("-stamp", value,
                         "the address and the format of the value, as in -stamp=0x7F00,u32le (formats: u16le "
                         "u32le u64le u16be u32be u64be ascii:N utf16le:N)");
    return none();
}

// A counter or a list: one of them.
Failure read_stamp_source(StampSource source, const char *option, const char *value)
{
    const StampSource other = source == STAMP_FROM_COUNTER ? STAMP_FROM_LIST : STAMP_FROM_COUNTER;
    if (run_options.stamp.source == other)
        return failure(FAILURE_OPTION,
                       "quorvel: %s=%s: the values come from -stamp-from= or from -stamp-list=, not both (see "
                       "quorvel --help)\n",
                       option, printable(value).c_str());
    run_options.stamp.source = source;
    return none();
}

Failure read_stamp_from(const char *value)
{
    if (!stamp_read_counter(value, run_options.stamp))
        return bad_value("-stamp-from", value,
                         "the first value and the step, as in -stamp-from=1000 or -stamp-from=0x1000,2");
    return read_stamp_source(STAMP_FROM_COUNTER, "-stamp-from", value);
}

Failure read_stamp_list(const char *value)
{
    if (!*value)
        return bad_value("-stamp-list", "", "the file of values, one a line, as in -stamp-list=serials.txt");
    run_options.stamp.list_path = value;
    return read_stamp_source(STAMP_FROM_LIST, "-stamp-list", value);
}

Failure read_stamp_state(const char *value)
{
    if (!*value)
        return bad_value("-stamp-state", "", "the file that keeps the next value, as in -stamp-state=serial.state");
    run_options.stamp.state = value;
    return none();
}

Failure read_stamp_value(const char *value)
{
    run_options.stamp_value = value;
    return none();
}

// What a board's copy gets of the options that it takes as this run has them.

void pass_verbose(std::vector<std::string> &arguments)
{
    if (run_options.verbose)
        arguments.push_back("-v");
}

void pass_dry_run(std::vector<std::string> &arguments)
{
    if (run_options.dry_run)
        arguments.push_back("-n");
}

void pass_list(std::vector<std::string> &arguments)
{
    if (run_options.list)
        arguments.push_back("-list");
}

void pass_usb(std::vector<std::string> &arguments)
{
    if (run_options.vendor_id == 0 && run_options.product_id == 0)
        return;
    char text[32];
    std::snprintf(text, sizeof text, "-usb=%04x:%04x", unsigned(run_options.vendor_id),
                  unsigned(run_options.product_id));
    arguments.push_back(text);
}

void pass_mcu(std::vector<std::string> &arguments)
{
    if (run_options.mcu)
        arguments.push_back(std::string("-mmcu=") + run_options.mcu);
}

// Each copy writes its own board's line to the log, when it ends, so that
// the log has it whatever happens to this run.
void pass_log(std::vector<std::string> &arguments)
{
    if (run_options.log_path)
        arguments.push_back(std::string("-log=") + run_options.log_path);
}

// -expect-app passes on in the form given: any device, or these IDs.
void pass_expect_any(std::vector<std::string> &arguments)
{
    if (run_options.expect_app && !run_options.app_vendor_id && !run_options.app_product_id)
        arguments.push_back("-expect-app");
}

void pass_expect_ids(std::vector<std::string> &arguments)
{
    if (!run_options.expect_app || (!run_options.app_vendor_id && !run_options.app_product_id))
        return;
    char text[48];
    std::snprintf(text, sizeof text, "-expect-app=%04x:%04x", unsigned(run_options.app_vendor_id),
                  unsigned(run_options.app_product_id));
    arguments.push_back(text);
}

// A copy waits for its board's application as long as this run would: the
// copy's own -w= is the short settle of a board that is already there.
void pass_app_wait(std::vector<std::string> &arguments)
{
    if (!run_options.expect_app)
        return;
    char text[48];
    std::snprintf(text, sizeof text, "-app-wait=%g", expect_app_seconds());
    arguments.push_back(text);
}

void pass_boot(std::vector<std::string> &arguments)
{
    if (run_options.boot)
        arguments.push_back("-boot");
}

// A copy reads the file as this run does: as a raw binary from the same
// base, -binary for 0 and -binary=BASE for any other.
void pass_binary_at_0(std::vector<std::string> &arguments)
{
    if (run_options.binary && run_options.binary_base == 0)
        arguments.push_back("-binary");
}

void pass_binary_at_base(std::vector<std::string> &arguments)
{
    if (!run_options.binary || run_options.binary_base == 0)
        return;
    char text[32];
    std::snprintf(text, sizeof text, "-binary=0x%X", unsigned(run_options.binary_base));
    arguments.push_back(text);
}

void pass_above64k(std::vector<std::string> &arguments)
{
    if (run_options.above64k)
        arguments.push_back("-above64k");
}

// The copy writes its value where this run would: its value itself comes
// from this run (-stamp-value=), which takes one per board.
void pass_stamp(std::vector<std::string> &arguments)
{
    if (run_options.stamp.format == STAMP_NONE)
        return;
    char text[32];
    std::snprintf(text, sizeof text, "-stamp=0x%04X,", unsigned(run_options.stamp.address));
    arguments.push_back(text + stamp_format_name(run_options.stamp));
}

void pass_touch(std::vector<std::string> &arguments)
{
    if (run_options.touch_port)
        arguments.push_back(std::string("-touch=") + run_options.touch_port);
}

// Every option, once: how it is read and whether a board's copy (under
// -all and -station) gets it. The main run never starts copies with -n,
// -list or -touch= (they end the run first or are refused with -all and
// -station), but a copy would take them as this run does.
constexpr OptionRule OPTION_RULES[] = {
    {"-v", COPY_PASSED, read_verbose, pass_verbose},
    {"-n", COPY_PASSED, read_dry_run, pass_dry_run},
    {"-list", COPY_PASSED, read_list, pass_list},
    {"-usb=", COPY_PASSED, read_usb, pass_usb},
    {"-mmcu=", COPY_PASSED, read_mcu, pass_mcu},
    {"-touch=", COPY_PASSED, read_touch, pass_touch},
    // The same file, read the same way by each copy.
    {"-binary", COPY_PASSED, read_binary, pass_binary_at_0},
    {"-binary=", COPY_PASSED, read_binary_base, pass_binary_at_base},
    // Each copy starts its own board's application.
    {"-boot", COPY_PASSED, read_boot, pass_boot},
    // Each copy loads the file as this run does, above 64 KiB too.
    {"-above64k", COPY_PASSED, read_above64k, pass_above64k},
    // The copy gets -w= of the settle wait instead, when this run waited
    // or is a station (copy_arguments).
    {"-w", COPY_REPLACED, read_wait, nullptr},
    {"-w=", COPY_REPLACED, read_wait_limit, nullptr},
    // Its own board's path.
    {"-device=", COPY_REPLACED, read_device, nullptr},
    // Every copy speaks -json to this run, which reads its events.
    {"-json", COPY_REPLACED, read_json, nullptr},
    // Each copy appends its own board's line to the same log.
    {"-log=", COPY_PASSED, read_log, pass_log},
    // The copy reads the file as this run read it once (a path of its own):
    // its log line names the file by the name this run was given.
    {"-log-name=", COPY_REPLACED, read_log_name, nullptr},
    // Each copy waits for its own board's application.
    {"-expect-app", COPY_PASSED, read_expect_app, pass_expect_any},
    {"-expect-app=", COPY_PASSED, read_expect_app, pass_expect_ids},
    {"-app-wait=", COPY_PASSED, read_app_wait, pass_app_wait},
    // Each copy writes its board's value at the same place; this run takes
    // the values (from the counter or the list, with their state) and
    // gives each copy its own.
    {"-stamp=", COPY_PASSED, read_stamp, pass_stamp},
    {"-stamp-from=", COPY_KEPT, read_stamp_from, nullptr},
    {"-stamp-list=", COPY_KEPT, read_stamp_list, nullptr},
    {"-stamp-state=", COPY_KEPT, read_stamp_state, nullptr},
    {"-stamp-value=", COPY_REPLACED, read_stamp_value, nullptr},
    // A station's copy: the descriptor on which the station holds its board.
    {"-board-lock=", COPY_REPLACED, read_board_lock, nullptr},
    // This run picks the boards.
    {"-all", COPY_KEPT, read_all, nullptr},
    {"-all=", COPY_KEPT, read_all_count, nullptr},
    {"-station", COPY_KEPT, read_station, nullptr},
    {"-station=", COPY_KEPT, read_station_count, nullptr},
    {"-serial=", COPY_KEPT, read_serial, nullptr},
    {"-location=", COPY_KEPT, read_location, nullptr},
    // These end the run before any copy starts.
    {"-doctor", COPY_KEPT, read_doctor, nullptr},
    {"-h", COPY_KEPT, read_help, nullptr},
    {"--help", COPY_KEPT, read_help, nullptr},
    {"--version", COPY_KEPT, read_version, nullptr},
};

// The rule whose name the argument is (a flag) or starts with (an option
// that takes a value after "="), or null.
const OptionRule *rule_for(std::string_view argument)
{
    for (const OptionRule &rule : OPTION_RULES) {
        std::string_view name(rule.name);
        if (name.ends_with('=') ? argument.starts_with(name) : argument == name)
            return &rule;
    }
    return nullptr;
}

}  // namespace

double expect_app_seconds()
{
    if (run_options.app_wait > 0)
        return run_options.app_wait;
    return run_options.wait_limit > 0 ? run_options.wait_limit : 5.0;
}

std::span<const OptionRule> option_rules()
{
    return OPTION_RULES;
}

Failure read_arguments(int argc, char **argv)
{
    // -json first: an error in any argument before it must end as an event too.
    for (int i = 1; i < argc; ++i)
        run_options.json |= std::string_view(argv[i]) == "-json";
    for (int i = 1; i < argc; ++i) {
        std::string_view argument(argv[i]);
        if (!argument.starts_with('-')) {
            run_options.hex_path = argv[i];
            continue;
        }
        const OptionRule *rule = rule_for(argument);
        Failure result =
            rule ? rule->read(argv[i] + std::string_view(rule->name).size()) : read_unknown_option(argument);
        if (failed(result))
            return result;
        // -h, --help and --version: the run shows their text and ends.
        if (run_options.show_help || run_options.show_version)
            break;
    }
    return none();
}
