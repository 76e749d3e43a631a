// The device search that every platform shares, over a table of listed
// devices and what the platform's step makes of each: which one is taken,
// how many match, and the kind and text of the failure.
#include "hid/search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the fake step answers for one listed device.
struct FakeDevice {
    std::string path;
    int matches;        // the filter lets it through
    HidOpenError kind;  // when tried: HID_OPEN_NONE takes it
};

std::vector<FakeDevice> fake_devices;
int takes_asked = 0;  // how often the search asked the step to take a device

std::vector<HidDeviceInfo> fake_list()
{
    std::vector<HidDeviceInfo> listed;
    for (const FakeDevice &device : fake_devices)
        listed.push_back(
            HidDeviceInfo{device.path, 0x5e1a, 0x0001, "", "serial-" + device.path, "1-" + device.path, ""});
    return listed;
}

DeviceLook fake_look(const DeviceFilter &, HidDeviceInfo &info, int take)
{
    for (const FakeDevice &device : fake_devices) {
        if (device.path != info.path)
            continue;
        DeviceLook look{device.matches, 0, HID_OPEN_NONE, ""};
        // A device that is not matched may still be refused with a reason
        // (a collection of another shape, on Windows): it is noted, not counted.
        if (!take || (!device.matches && device.kind == HID_OPEN_NONE))
            return look;
        takes_asked += 1;
        look.kind = device.kind;
        look.taken = device.kind == HID_OPEN_NONE;
        look.why = look.taken ? "" : device.path + " refused " + std::to_string(int(device.kind));
        return look;
    }
    ADD_FAILURE() << "the search looked at a device it was not given: " << info.path;
    return DeviceLook{0, 0, HID_OPEN_NONE, ""};
}

constexpr SearchSteps FAKE_STEPS{fake_list, fake_look};

struct SearchCase {
    const char *name;
    std::vector<FakeDevice> devices;
    int opened;          // what search_devices returns
    const char *chosen;  // device_choice().path
    int matching;        // device_choice().matching
    HidOpenError kind;   // device_open_failure()
    const char *error;   // device_open_error()
    int takes;           // how many devices the search tried to take
};

const SearchCase SEARCH_CASES[] = {
    {"nothing listed", {}, 0, "", 0, HID_OPEN_ABSENT, "", 0},
    {"nothing matches", {{"a", 0, HID_OPEN_NONE}, {"b", 0, HID_OPEN_NONE}}, 0, "", 0, HID_OPEN_ABSENT, "", 0},
    {"the only match is taken",
     {{"a", 0, HID_OPEN_NONE}, {"b", 1, HID_OPEN_NONE}},
     1,
     "b",
     1,
     HID_OPEN_NONE,
     "",
     1},
    {"the first usable is taken, the rest only counted",
     {{"a", 1, HID_OPEN_NO_PERMISSION},
      {"b", 1, HID_OPEN_NONE},
      {"c", 1, HID_OPEN_BUSY},
      {"d", 1, HID_OPEN_NONE}},
     1,
     "b",
     4,
     HID_OPEN_NONE,
     "a refused 5",
     2},
    {"a busy board passed over for a free one",
     {{"a", 1, HID_OPEN_BUSY}, {"b", 1, HID_OPEN_NONE}},
     1,
     "b",
     2,
     HID_OPEN_NONE,
     "a refused 2",
     2},
    {"every match busy: the first busy one is the error",
     {{"a", 1, HID_OPEN_NOT_HID}, {"b", 1, HID_OPEN_BUSY}, {"c", 1, HID_OPEN_BUSY}},
     0,
     "",
     3,
     HID_OPEN_BUSY,
     "b refused 2",
     3},
    {"no match usable: the first failure's kind, every reason",
     {{"a", 1, HID_OPEN_NO_PERMISSION}, {"b", 0, HID_OPEN_NONE}, {"c", 1, HID_OPEN_NOT_BOOTLOADER_SHAPE}},
     0,
     "",
     2,
     HID_OPEN_NO_PERMISSION,
     "a refused 5\nc refused 4",
     2},
    {"refused without matching: noted, yet nothing counts",
     {{"a", 0, HID_OPEN_NOT_BOOTLOADER_SHAPE}},
     0,
     "",
     0,
     HID_OPEN_ABSENT,
     "a refused 4",
     1},
    // Listed, so there, though its node is gone: it is not waited for as an
    // absent board would be.
    {"a listed device whose node is gone",
     {{"a", 1, HID_OPEN_ABSENT}, {"b", 1, HID_OPEN_NOT_HID}},
     0,
     "",
     2,
     HID_OPEN_OTHER,
     "a refused 1\nb refused 3",
     2},
};

TEST(DeviceSearch, ChoosesCountsAndSaysWhy)
{
    const DeviceFilter filter{true, 0x5e1a, 0x0001, nullptr, nullptr};
    for (const SearchCase &c : SEARCH_CASES) {
        SCOPED_TRACE(c.name);
        fake_devices = c.devices;
        takes_asked = 0;
        EXPECT_EQ(search_devices(filter, FAKE_STEPS), c.opened);
        EXPECT_EQ(device_choice().path, c.chosen);
        EXPECT_EQ(device_choice().matching, c.matching);
        EXPECT_EQ(device_open_failure(), c.kind);
        EXPECT_STREQ(device_open_error(), c.error);
        EXPECT_EQ(device_absent(), c.kind == HID_OPEN_ABSENT);
        EXPECT_EQ(device_busy(), c.kind == HID_OPEN_BUSY);
        EXPECT_EQ(takes_asked, c.takes);
        if (c.opened) {
            EXPECT_EQ(device_choice().serial, std::string("serial-") + c.chosen);
            EXPECT_EQ(device_choice().location, std::string("1-") + c.chosen);
        }
    }
}

// An open by path that failed keeps its kind and text, and a search after
// it starts from nothing.
TEST(DeviceSearch, AnOpenByPathThenASearch)
{
    open_record_clear();
    open_record_fail(HID_OPEN_BUSY, "/dev/hidraw3 is being written by another quorvel run");
    EXPECT_EQ(device_busy(), 1);
    EXPECT_STREQ(device_open_error(), "/dev/hidraw3 is being written by another quorvel run");
    fake_devices = {{"a", 1, HID_OPEN_NONE}};
    EXPECT_EQ(search_devices(DeviceFilter{true, 0x5e1a, 0x0001, nullptr, nullptr}, FAKE_STEPS), 1);
    EXPECT_EQ(device_busy(), 0);
    EXPECT_EQ(device_open_failure(), HID_OPEN_NONE);
    EXPECT_STREQ(device_open_error(), "");
}

TEST(DeviceSearch, NotTheBootloaderNamesThePathAndIds)
{
    EXPECT_EQ(
        not_bootloader_text("/dev/hidraw0", 0x046d, 0xc31c),
        "/dev/hidraw0 (046d:c31c) is a HID device that does not take the bootloader's 64-byte reports; if "
        "it is the bootloader, name its IDs with -usb=");
}

}  // namespace
