// The -log= line as the command line and the page write it: exact text,
// field order, the fields that appear only for some runs.
#include "output/log_line.h"

#include "output/json_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <string>
#include <vector>

namespace {

// An upload's line has no kind (its readers see what they always saw);
// another kind of run's line names its kind last.
TEST(LogLine, FieldsInTheirOrder)
{
    const ApplicationSeen app{0x5e1a, 0x100, "Blink \"v2\"", "", "1-2", 0.456};
    const std::string common =
        R"({"time":"2026-12-09T15:32:51Z","serial":"QV-1","location":"1-2","path":"/dev/hidraw5",)"
        R"("vendor_id":"5e1a","product_id":"0001","file":"app.hex","sha256":"ab","image_sha256":"cd",)"
        R"("mcu":"atmega32u4","result":"done","seconds":1.23,"version":"1.0")";
    const struct {
        const ApplicationSeen *application;
        std::string ending;
    } cases[] = {
        // Without -expect-app the line is as it always was.
        {nullptr, "}\n"},
        {&app, R"(,"application":{"vendor_id":"5e1a","product_id":"0100","product":"Blink \"v2\"",)"
               R"("serial":"","seconds":0.46}})"
               "\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(log_line_text({"2026-12-09T15:32:51Z", "QV-1", "1-2", "/dev/hidraw5", 0x5e1a, 1, "app.hex", "ab",
                                 "cd", "atmega32u4", "done", 1.234, "1.0", c.application, "", ""}),
                  common + c.ending);
    // -stamp=: the board's value after its image's checksum; the rest as it was.
    EXPECT_EQ(log_line_text({"2026-12-09T15:32:51Z", "QV-1", "1-2", "/dev/hidraw5", 0x5e1a, 1, "app.hex", "ab",
                             "ef", "atmega32u4", "done", 1.234, "1.0", nullptr, "", "QV-\"0042\""}),
              R"({"time":"2026-12-09T15:32:51Z","serial":"QV-1","location":"1-2","path":"/dev/hidraw5",)"
              R"("vendor_id":"5e1a","product_id":"0001","file":"app.hex","sha256":"ab","image_sha256":"ef",)"
              R"("stamp":"QV-\"0042\"","mcu":"atmega32u4","result":"done","seconds":1.23,"version":"1.0"})"
              "\n");
    // -boot's line names its kind, last.
    EXPECT_EQ(log_line_text({"2026-12-09T15:32:51Z", "QV-1", "1-2", "/dev/hidraw5", 0x5e1a, 1, "", "", "", "",
                             "done", 0.304, "1.0", nullptr, "boot", ""}),
              R"({"time":"2026-12-09T15:32:51Z","serial":"QV-1","location":"1-2","path":"/dev/hidraw5",)"
              R"("vendor_id":"5e1a","product_id":"0001","file":"","sha256":"","image_sha256":"",)"
              R"("mcu":"","result":"done","seconds":0.3,"version":"1.0","kind":"boot"})"
              "\n");
}

// A name from the user's file system (the page's file, a board's serial)
// cannot break the line: quotes and control characters are escaped, a byte
// that is not UTF-8 becomes U+FFFD.
TEST(LogLine, TextFromOutsideStaysOneLine)
{
    const std::string line = log_line_text({"2026-12-09T15:32:51Z", "a\nb", "", "", 1, 2, "x\"\x01\xff.hex", "", "",
                                            "atmega32u4", "Error writing to device: the device is gone", 0, "1.0",
                                            nullptr, "", ""});
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_NE(line.find(R"("serial":"a\u000ab")"), std::string::npos) << line;
    EXPECT_NE(line.find("\"file\":\"x\\\"\\u0001\xef\xbf\xbd.hex\""), std::string::npos) << line;
    EXPECT_NE(line.find(R"("seconds":0.0,)"), std::string::npos) << line;
}

}  // namespace

// The seconds fields are rounded without the maths library: the same value
// as std::round to hundredths, halves away from zero, over a sweep of
// durations of either sign, the halves that binary fractions cannot hold
// exactly, and values the rounding leaves as they are.
TEST(LogLine, SecondsRoundLikeTheLibrary)
{
    std::vector<double> values = {0.0,    -0.0,    0.005,  0.015,   0.125,     -0.125,    1.005, 2.675,
                                  4.035,  12.3449, 12.345, 12.3451, 0.49999999999999994,   -2.5e-3,
                                  1e13,   -1e13,   std::numeric_limits<double>::infinity()};
    for (int i = -20000; i <= 20000; ++i)
        values.push_back(i * 0.0005 + i * 1e-9);
    for (double value : values) {
        const double expected = std::round(value * 100.0) / 100.0;
        EXPECT_EQ(event_json::hundredths(value), expected) << std::setprecision(17) << value;
    }
    EXPECT_TRUE(std::isnan(event_json::hundredths(std::nan(""))));
}
