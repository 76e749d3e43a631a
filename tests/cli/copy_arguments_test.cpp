// A board's copy's command line: every option that quorvel knows is either
// passed on to the copy, replaced by the copy's own value, or kept by the
// run that starts the copies; and the copy reads back the settings passed.
#include "cli/copy_arguments.h"
#include "cli/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

// Arguments outlive the settings that point into them.
std::list<std::vector<std::string>> kept_arguments;

// Reads these arguments (after the program name) into run_options, afresh.
Failure read(const std::vector<std::string> &arguments)
{
    std::vector<std::string> &words = kept_arguments.emplace_back(arguments);
    words.insert(words.begin(), "quorvel");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    run_options = RunOptions{};
    return read_arguments(int(argv.size()), argv.data());
}

bool has(const std::vector<std::string> &arguments, const std::string &argument)
{
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

// Whether an argument is this option: its name, or its name and a value.
bool is_option(const std::string &argument, const std::string &name)
{
    return name.ends_with('=') ? argument.starts_with(name) : argument == name;
}

std::string text(const char *value)
{
    return value ? value : "(none)";
}

// How long a run with these settings waits for its board's application:
// a copy's -app-wait=, else the run's own -w=, else 5 s.
double app_wait_of(const RunOptions &o)
{
    return o.app_wait > 0 ? o.app_wait : o.wait_limit > 0 ? o.wait_limit : 5.0;
}

// The settings that a copy takes as they are, side by side for comparison.
std::string passed_settings(const RunOptions &o)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned(o.vendor_id), unsigned(o.product_id));
    return std::string("usb=") + ids + " code=" + std::to_string(o.code_size) + "/" +
           std::to_string(o.block_size) + " mcu=" + text(o.mcu) + " v=" + std::to_string(o.verbose) +
           " n=" + std::to_string(o.dry_run) + " list=" + std::to_string(o.list) +
           " touch=" + text(o.touch_port) + " app=" + std::to_string(o.expect_app) + "/" +
           std::to_string(o.app_vendor_id) + ":" + std::to_string(o.app_product_id) + "/" +
           (o.expect_app ? std::to_string(app_wait_of(o)) : "-") + " boot=" + std::to_string(o.boot) +
           " binary=" + std::to_string(o.binary) + "@" + std::to_string(o.binary_base) +
           " above64k=" + std::to_string(o.above64k) + " stamp=" + std::to_string(o.stamp.address) + "/" + std::to_string(o.stamp.format) + "/" +
           std::to_string(o.stamp.length);
}

const char *const BOARD = "/dev/hidraw7";
const char *const FILE_READ_ONCE = "/proc/self/fd/9";

struct OptionCase {
    const char *option;                 // the option table's name
    std::vector<std::string> given;     // this run's arguments that use it
    std::vector<std::string> expected;  // what the copy has instead of it, or for it
};

TEST(CopyArguments, EveryOptionIsPassedOnReplacedOrKept)
{
    const OptionCase cases[] = {
        {"-v", {"-v"}, {"-v"}},
        {"-n", {"-n"}, {"-n"}},
        {"-list", {"-list"}, {"-list"}},
        {"-usb=", {"-usb=0x5E1A-1"}, {"-usb=5e1a:0001"}},
        {"-mmcu=", {"-mmcu=at90usb1287"}, {"-mmcu=at90usb1287"}},
        {"-touch=", {"-touch=/dev/ttyACM0"}, {"-touch=/dev/ttyACM0"}},
        {"-boot", {"-boot"}, {"-boot"}},
        {"-binary", {"-binary"}, {"-binary"}},
        {"-binary=", {"-binary=4096"}, {"-binary=0x1000"}},
        {"-above64k", {"-mmcu=at90usb1287", "-above64k"}, {"-above64k"}},
        {"-w", {"-w"}, {"-w=2"}},
        {"-w=", {"-w=30"}, {"-w=2"}},
        {"-device=", {"-device=/dev/hidraw0"}, {"-device=/dev/hidraw7"}},
        {"-json", {"-json"}, {"-json"}},
        {"-all", {"-all"}, {}},
        {"-all=", {"-all=4"}, {}},
        {"-station", {"-station"}, {"-w=2"}},
        {"-station=", {"-station=10"}, {"-w=2"}},
        {"-serial=", {"-serial=QV-1"}, {}},
        {"-location=", {"-location=1-2.3"}, {}},
        {"-log=", {"-log=boards.log"}, {"-log=boards.log"}},
        {"-log-name=", {"-log-name=other.hex"}, {}},
        {"-board-lock=", {"-board-lock=3"}, {}},
        {"-doctor", {"-doctor"}, {}},
        {"-expect-app", {"-expect-app"}, {"-expect-app"}},
        {"-expect-app=", {"-expect-app=0x1234:5678"}, {"-expect-app=1234:5678"}},
        {"-app-wait=", {"-expect-app", "-app-wait=7.5"}, {"-expect-app", "-app-wait=7.5"}},
        // The copy writes its value where the run would; the run takes the
        // values and gives each copy its own.
        {"-stamp=", {"-stamp=32512,utf16le:24"}, {"-stamp=0x7F00,utf16le:24"}},
        {"-stamp-from=", {"-stamp-from=1000,2"}, {}},
        {"-stamp-list=", {"-stamp-list=serials.txt"}, {}},
        {"-stamp-state=", {"-stamp-state=serial.state"}, {}},
        {"-stamp-value=", {"-stamp-value=1000"}, {}},
        {"-h", {"-h"}, {}},
        {"--help", {"--help"}, {}},
        {"--version", {"--version"}, {}},
    };
    for (const OptionRule &rule : option_rules()) {
        const OptionCase *found = nullptr;
        for (const OptionCase &c : cases)
            found = std::strcmp(c.option, rule.name) == 0 ? &c : found;
        ASSERT_NE(found, nullptr) << rule.name << ": a new option: say here what a board's copy gets of it";
        const OptionCase &c = *found;
        ASSERT_EQ(read(c.given).kind, FAILURE_NONE) << rule.name;
        const RunOptions parent = run_options;
        const std::vector<std::string> copy = copy_arguments(BOARD, FILE_READ_ONCE, 2.0);
        const std::string label = std::string(rule.name) + " in " + testing::PrintToString(copy);

        // Always: -json first, the board and the file last.
        ASSERT_GE(copy.size(), 3u) << label;
        EXPECT_EQ(copy.front(), "-json") << label;
        EXPECT_EQ(copy[copy.size() - 2], std::string("-device=") + BOARD) << label;
        EXPECT_EQ(copy.back(), FILE_READ_ONCE) << label;
        for (const std::string &argument : c.expected)
            EXPECT_TRUE(has(copy, argument)) << label << " lacks " << argument;
        switch (rule.copy) {
        case COPY_PASSED:
            // The option itself, and the copy reads back the same settings.
            EXPECT_EQ(std::count_if(copy.begin(), copy.end(),
                                    [&](const std::string &a) { return is_option(a, rule.name); }),
                      1)
                << label;
            ASSERT_EQ(read(copy).kind, FAILURE_NONE) << label;
            EXPECT_EQ(passed_settings(run_options), passed_settings(parent)) << label;
            break;
        case COPY_REPLACED:
            // Not this run's value: the copy's own.
            for (const std::string &argument : c.given) {
                if (!has(c.expected, argument)) {
                    EXPECT_FALSE(has(copy, argument)) << label;
                }
            }
            break;
        case COPY_KEPT:
            for (const std::string &argument : copy) {
                EXPECT_FALSE(is_option(argument, rule.name)) << label;
            }
            break;
        }
    }
}

// A whole -all run: the copy gets the upload's settings, its own board and
// wait, the log to write its own line in, and nothing of the selection or
// the run's kind.
TEST(CopyArguments, TheCopyReadsBackTheUploadSettings)
{
    struct Case {
        std::vector<std::string> given;
        int32_t wait;          // the copy's: with the settle wait of 2 s
        const char *log_name;  // the copy's file name for its log line, or null without a log
    };
    const Case cases[] = {
        {{"-v", "-usb=0x5e1a:0x0001", "-mmcu=atmega32u4", "-all", "-serial=QV", "-log=b.log", "app.hex"},
         0,
         "app.hex"},
        {{"-json", "-usb=16c0:05df", "-mmcu=atmega16u2", "-all=2", "-w=30", "-location=1-2", "x.hex"},
         1,
         nullptr},
        {{"-mmcu=at90usb646", "-usb=1:2", "-station=5", "-x", "app.hex"}, 1, nullptr},
        // The copy waits for its application as long as the run's -w= says.
        {{"-mmcu=atmega32u4", "-usb=5e1a:1", "-all", "-w=30", "-expect-app=5e1a:100", "app.hex"}, 1, nullptr},
        {{"-mmcu=atmega32u4", "-usb=5e1a:1", "-station", "-expect-app", "app.hex"}, 1, nullptr},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(read(c.given).kind, FAILURE_NONE);
        const RunOptions parent = run_options;
        const std::vector<std::string> copy = copy_arguments(BOARD, FILE_READ_ONCE, 2.0);
        const std::string label = testing::PrintToString(copy);
        ASSERT_EQ(read(copy).kind, FAILURE_NONE) << label;
        const RunOptions &o = run_options;
        EXPECT_EQ(passed_settings(o), passed_settings(parent)) << label;
        EXPECT_EQ(o.json, 1) << label;
        EXPECT_EQ(text(o.device_path), BOARD) << label;
        EXPECT_EQ(text(o.hex_path), FILE_READ_ONCE) << label;
        EXPECT_EQ(o.wait, c.wait) << label;
        EXPECT_EQ(o.wait_limit, c.wait ? 2.0 : 0.0) << label;
        EXPECT_EQ(o.all + o.station + o.all_count + o.station_count, 0) << label;
        EXPECT_EQ(o.serial, nullptr) << label;
        EXPECT_EQ(o.location, nullptr) << label;
        // The log is the run's, each copy writing its own board's line in
        // it, naming the file as the run was given it.
        EXPECT_EQ(text(o.log_path), text(parent.log_path)) << label;
        EXPECT_EQ(text(o.log_name), text(c.log_name)) << label;
    }
}

// -boot reads no file: its copies get none (an empty argument would be
// read as a file name), and under -log= an empty -log-name=, which makes
// each copy a board's copy that hands back a line it cannot write.
TEST(CopyArguments, ABootCopyGetsNoFile)
{
    const struct {
        std::vector<std::string> given;
        const char *log_name;
    } cases[] = {
        {{"-boot", "-all", "-usb=5e1a:1"}, nullptr},
        {{"-boot", "-station", "-usb=5e1a:1", "-log=b.log"}, ""},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(read(c.given).kind, FAILURE_NONE);
        const RunOptions parent = run_options;
        const std::vector<std::string> copy = copy_arguments(BOARD, "", 2.0);
        const std::string label = testing::PrintToString(copy);
        EXPECT_EQ(copy.back(), std::string("-device=") + BOARD) << label;
        ASSERT_EQ(read(copy).kind, FAILURE_NONE) << label;
        EXPECT_EQ(passed_settings(run_options), passed_settings(parent)) << label;
        EXPECT_EQ(run_options.boot, 1) << label;
        EXPECT_EQ(run_options.hex_path, nullptr) << label;
        EXPECT_EQ(text(run_options.log_name), text(c.log_name)) << label;
    }
}

}  // namespace
