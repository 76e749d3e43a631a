// The -json stream as programs read it: exact lines, field order, escapes.
#include "output/events.h"

#include "output/console.h"
#include "output/finishers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

// What `emit` writes to standard output with -json (or without).
std::string written(void (*emit)(), bool json = true)
{
    output_settings = OutputSettings{};
    output_settings.json = json;
    testing::internal::CaptureStdout();
    emit();
    std::string out = testing::internal::GetCapturedStdout();
    output_settings = OutputSettings{};
    return out;
}

struct EventCase {
    const char *name;
    void (*emit)();
    std::string line;  // exactly as written
};

TEST(Events, EachEventIsOneLineWithItsFieldsInOrder)
{
    const EventCase cases[] = {
        {"touch", [] { event_touch("/dev/ttyACM0", true, "1-4"); },
         R"({"event":"touch","port":"/dev/ttyACM0","reset":true,"location":"1-4"})"},
        {"touch without a port", [] { event_touch("COM5", false, ""); },
         R"({"event":"touch","port":"COM5","reset":false,"location":""})"},
        {"device", [] { event_device("/dev/hidraw5", 0x5e1a, 0x0001, "QV-0001", "1-2.1"); },
         R"({"event":"device","path":"/dev/hidraw5","vendor_id":"5e1a","product_id":"0001","serial":"QV-0001","location":"1-2.1"})"},
        {"device IDs in lower case", [] { event_device("p", 0xABCD, 0xF, "", ""); },
         R"({"event":"device","path":"p","vendor_id":"abcd","product_id":"000f","serial":"","location":""})"},
        {"block", [] { event_block(128, 2, 2); }, R"({"event":"block","address":128,"index":2,"count":2})"},
        {"done", [] { event_done(); }, R"({"event":"done"})"},
        {"dry run",
         [] {
             event_dry_run(DryRunFigures{2, 128, 17, 228, 1.0 + 0.01 + 0.01 + 0.3});
         },
         R"({"event":"dry_run","blocks":2,"block_size":128,"reports":17,"file_bytes":228,"least_seconds":1.32})"},
        {"dry run rounded to hundredths",
         [] {
             event_dry_run(DryRunFigures{1, 256, 14, 1, 1.30999});
         },
         R"({"event":"dry_run","blocks":1,"block_size":256,"reports":14,"file_bytes":1,"least_seconds":1.31})"},
        {"error: message and detail", [] { event_error("\nUnable to open device\nNo board matches\n"); },
         R"({"event":"error","message":"Unable to open device","detail":"No board matches"})"},
        {"error of one line", [] { event_error("1 of 8 boards failed\n"); },
         R"({"event":"error","message":"1 of 8 boards failed","detail":""})"},
        {"error after a failed write, the rest of the lines in the detail",
         [] {
             events_start();
             report_failure(Failure{FAILURE_WRITE, "Error writing to device\nThe data command failed\nmore\n", 0,
                                    "data", 128});
         },
         R"({"event":"error","message":"Error writing to device","detail":"The data command failed\u000amore","command":"data","address":128})"},
        {"error outside a block",
         [] {
             events_start();
             report_failure(Failure{FAILURE_WRITE, "Error writing to device\nThe begin command failed", 0,
                                    "begin", -1});
         },
         R"({"event":"error","message":"Error writing to device","detail":"The begin command failed","command":"begin","address":-1})"},
        {"summary",
         [] {
             event_summary({{"/dev/hidraw5", "QV-0001", "1-2.1", true, ""},
                            {"/dev/hidraw6", "QV-0002", "1-2.2", false, "Error writing to device: ..."}},
                           12.345, 1);
         },
         R"({"event":"summary","boards":[{"path":"/dev/hidraw5","serial":"QV-0001","location":"1-2.1","result":"done"},{"path":"/dev/hidraw6","serial":"QV-0002","location":"1-2.2","result":"error","message":"Error writing to device: ..."}],"ok":false,"done":1,"failed":1,"seconds":12.35})"},
        {"summary of boards all done",
         [] {
             event_summary({{"a", "", "", true, ""}}, 0, 0);
         },
         R"({"event":"summary","boards":[{"path":"a","serial":"","location":"","result":"done"}],"ok":true,"done":1,"failed":0,"seconds":0.0})"},
        {"summary of boards all done, of a run whose log failed",
         [] {
             event_summary({{"a", "", "", true, ""}}, 0, 1);
         },
         R"({"event":"summary","boards":[{"path":"a","serial":"","location":"","result":"done"}],"ok":false,"done":1,"failed":0,"seconds":0.0})"},
        {"board started", [] { event_board_started("/dev/hidraw5", "QV-1", "1-2"); },
         R"({"board":"/dev/hidraw5","board_serial":"QV-1","board_location":"1-2","event":"board_started"})"},
        {"board ended",
         [] {
             event_board_ended({"/dev/hidraw5", "QV-1", "", false, "Error: x"}, 3.612);
         },
         R"({"board":"/dev/hidraw5","board_serial":"QV-1","board_location":"","event":"board_ended","result":"error","message":"Error: x","seconds":3.61})"},
    };
    for (const EventCase &c : cases)
        EXPECT_EQ(written(c.emit), c.line + "\n") << c.name;
}

TEST(Events, NothingWithoutJson)
{
    for (void (*emit)() : {+[] { event_done(); }, +[] { event_block(0, 1, 1); },
                           +[] { event_error("Unable to open device\nx"); },
                           +[] { pass_on_board_events("{\"event\":\"done\"}\n", "/dev/hidraw0", "", ""); }})
        EXPECT_EQ(written(emit, false), "");
}

TEST(Events, BoardEventsCarryTheBoardFirst)
{
    std::string out = written([] {
        pass_on_board_events("{\"event\":\"block\",\"address\":0,\"index\":1,\"count\":1}\n"
                             "not an event\n"
                             "{\"event\":\"done\"}",  // the last line may lack its line end
                             "/dev/hid\"raw5", "QV-1", "1-2");
    });
    const std::string tag =
        "{\"board\":\"/dev/hid\\\"raw5\",\"board_serial\":\"QV-1\",\"board_location\":\"1-2\",";
    EXPECT_EQ(out, tag + "\"event\":\"block\",\"address\":0,\"index\":1,\"count\":1}\n" + tag +
                       "\"event\":\"done\"}\n");
    int index = 0, count = 0;
    EXPECT_EQ(
        last_block_event("{\"event\":\"block\",\"index\":1,\"count\":9}\n{\"event\":\"block\",\"index\":2,"
                         "\"count\":9}\nnot an event\n",
                         index, count),
        1);
    EXPECT_EQ(index * 10 + count, 29);
    EXPECT_EQ(last_block_event("{\"event\":\"done\"}\n", index, count), 0);
}

TEST(Events, DeviceArrayOfTheList)
{
    EXPECT_EQ(written([] { print_device_array({}); }), "[]\n");
    EXPECT_EQ(
        written([] {
            print_device_array({{"/dev/hidraw0", 0x5e1a, 1, true, "Board", "S1", "1-2", false},
                                {"/dev/hidraw1", 0x046d, 0xc52b, false, "", "", "", true}});
        }),
        R"([{"path":"/dev/hidraw0","vendor_id":"5e1a","product_id":"0001","match":true,"name":"Board","serial":"S1","location":"1-2","busy":false},)"
        R"({"path":"/dev/hidraw1","vendor_id":"046d","product_id":"c52b","match":false,"name":"","serial":"","location":"","busy":true}])"
        "\n");
}

// Names and serial numbers come from the device: whatever their bytes, the
// line stays one JSON object, and a parser gets back the text (U+FFFD for
// each bad byte sequence).
TEST(Events, TextFromADeviceCannotBreakTheStream)
{
    struct Case {
        const char *name;
        std::string serial;
        std::string parsed;
        const char *escape;  // as the line must carry it
    };
    const Case cases[] = {
        {"quotes and backslashes", "a\"b\\c", "a\"b\\c", "a\\\"b\\\\c"},
        {"control characters", "a\x01\x1fz", "a\x01\x1fz", "a\\u0001\\u001fz"},
        {"NUL", std::string("a\0b", 3), std::string("a\0b", 3), "a\\u0000b"},
        {"the short escapes come out long", "a\bb\tc\nd\fe\rf", "a\bb\tc\nd\fe\rf",
         "a\\u0008b\\u0009c\\u000ad\\u000ce\\u000df"},
        {"a backslash before a letter stays", "\\n\\\n", "\\n\\\n", "\\\\n\\\\\\u000a"},
        {"DEL", "a\x7fz", "a\x7fz", "a\\u007fz"},
        {"C1 controls, NEL among them", "\xc2\x80\xc2\x85\xc2\x9f", "\xc2\x80\xc2\x85\xc2\x9f",
         "\\u0080\\u0085\\u009f"},
        {"U+00A0 and U+0100 are not controls", "\xc2\xa0\xc4\x80", "\xc2\xa0\xc4\x80", "\xc2\xa0\xc4\x80"},
        {"UTF-8 passes", "\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"},
        {"a byte that is not UTF-8", "a\xffz", "a\xef\xbf\xbdz", "a\xef\xbf\xbdz"},
        {"a sequence cut short", "a\xe2\x82", "a\xef\xbf\xbd", "a\xef\xbf\xbd"},
    };
    static std::string serial;
    for (const Case &c : cases) {
        serial = c.serial;
        std::string out = written([] { event_device("/dev/hidraw0", 1, 2, serial, "1-1"); });
        ASSERT_TRUE(out.ends_with("\n")) << c.name;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << c.name;
        EXPECT_NE(out.find(std::string("\"serial\":\"") + c.escape + "\""), std::string::npos)
            << c.name << ": " << out;
        nlohmann::json event = nlohmann::json::parse(out, nullptr, false);
        ASSERT_TRUE(event.is_object()) << c.name << ": " << out;
        EXPECT_EQ(event["serial"], c.parsed) << c.name;
        EXPECT_EQ(event["location"], "1-1") << c.name;
    }
}

}  // namespace
