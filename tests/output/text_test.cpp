// Text made safe to print: what survives, what becomes '?'.
#include "output/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TextCase {
    const char *name;
    std::string text;
    std::string shown;
};

TEST(Text, PrintableKeepsValidTextAndMarksTheRest)
{
    const TextCase cases[] = {
        {"plain ASCII", "/dev/hidraw0", "/dev/hidraw0"},
        {"empty", "", ""},
        {"two- three- and four-byte characters", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"C0 controls, tab and line end", std::string("a\x01\tb\nc\x1b[2J\0d", 12), "a??b?c?[2J?d"},
        {"DEL", "a\x7fz", "a?z"},
        {"C1 controls (U+0080, U+009F)", "a\xc2\x80\xc2\x9fz", "a??z"},
        {"U+00A0 is printable", "a\xc2\xa0z", "a\xc2\xa0z"},
        {"a lone continuation byte", "a\x80z", "a?z"},
        {"a sequence cut short: each byte marked", "a\xe2\x82z", "a??z"},
        {"cut short at the end", "a\xf0\x9f\x98", "a???"},
        {"overlong encodings", "\xc0\xaf \xe0\x80\xaf \xf0\x80\x80\xaf", "?? ??? ????"},
        {"UTF-16 surrogates", "\xed\xa0\x80", "???"},
        {"above U+10FFFF", "\xf4\x90\x80\x80 \xf5\x80\x80\x80", "???? ????"},
        {"U+10FFFF itself", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"bytes that never start a character", "\xfe\xff", "??"},
    };
    for (const TextCase &c : cases)
        EXPECT_EQ(printable(c.text), c.shown) << c.name;
}

TEST(Text, PrintableLinesKeepsTheLineEnds)
{
    const TextCase cases[] = {
        {"one line", "/dev/hidraw3: Permission denied", "/dev/hidraw3: Permission denied"},
        {"lines", "a\x01\nb\x7f\n", "a?\nb?\n"},
        {"empty lines stay", "\n\na\n", "\n\na\n"},
        {"other controls do not end a line", "a\r\nb\x0bz", "a?\nb?z"},
    };
    for (const TextCase &c : cases)
        EXPECT_EQ(printable_lines(c.text), c.shown) << c.name;
}

}  // namespace
