// The page (web/) in real headless Chromium (Debian's chromium, driven by
// playwright-core through drive.js) against the simulated bootloaders of the
// end-to-end bench, in its private mount namespace: Chromium finds them
// through libudev in the bench's sysfs (with sysfs_shim.so preloaded, as the
// bench's sysfs is a tmpfs), and a managed policy, written in the namespace
// only, grants the page every device without a chooser.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <fstream>
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#if !defined(WEB_DIR) || !defined(SYSFS_SHIM) || !defined(DRIVE_JS)
#error "WEB_DIR, SYSFS_SHIM and DRIVE_JS must name the built page, the shim and the driver"
#endif

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// A network namespace of its own, with its loopback up: the page is served
// there, and the device announcements below reach no one outside it.
std::string own_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        return "a network namespace of its own: " + std::string(std::strerror(errno));
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    const bool up = control >= 0 && ioctl(control, SIOCGIFFLAGS, &loopback) == 0 &&
                    (loopback.ifr_flags |= IFF_UP, ioctl(control, SIOCSIFFLAGS, &loopback) == 0);
    if (control >= 0)
        close(control);
    return up ? "" : "bringing the loopback up: " + std::string(std::strerror(errno));
}

// libudev's hash of a subsystem's name (MurmurHash2, seed 0), by which its
// monitors filter what they receive.
uint32_t subsystem_hash(std::string_view name)
{
    const uint32_t m = 0x5bd1e995;
    uint32_t h = uint32_t(name.size());
    size_t at = 0;
    for (; at + 4 <= name.size(); at += 4) {
        uint32_t k;
        std::memcpy(&k, name.data() + at, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h = h * m ^ k;
    }
    switch (name.size() - at) {
    case 3:
        h ^= uint32_t(uint8_t(name[at + 2])) << 16;
        [[fallthrough]];
    case 2:
        h ^= uint32_t(uint8_t(name[at + 1])) << 8;
        [[fallthrough]];
    case 1:
        h ^= uint8_t(name[at]);
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    return h ^ (h >> 15);
}

// Tells libudev's monitors (Chromium's among them) that hidrawN was added,
// as udev does once its rules have run: a "libudev" message with the
// device's properties to the netlink group of udev's events.
void announce_hidraw(int number)
{
    const std::string name = "hidraw" + std::to_string(number);
    const std::string syspath = fs::canonical("/sys/class/hidraw/" + name).string();
    std::string properties;
    for (const std::string &property :
         {std::string("ACTION=add"), "DEVPATH=" + syspath.substr(4), std::string("SUBSYSTEM=hidraw"),
          "DEVNAME=/dev/" + name, std::string("MAJOR=240"), "MINOR=" + std::to_string(number),
          "SEQNUM=" + std::to_string(900000 + number), std::string("USEC_INITIALIZED=1")})
        properties.append(property).push_back('\0');
    struct {
        char prefix[8] = "libudev";
        uint32_t magic = htonl(0xfeedcafe);
        uint32_t header_size = 40;
        uint32_t properties_off = 40;
        uint32_t properties_len = 0;
        uint32_t filter_subsystem_hash = 0;
        uint32_t filter_devtype_hash = 0;
        uint32_t filter_tag_bloom_hi = 0;
        uint32_t filter_tag_bloom_lo = 0;
    } header;
    static_assert(sizeof header == 40);
    header.properties_len = uint32_t(properties.size());
    header.filter_subsystem_hash = htonl(subsystem_hash("hidraw"));
    std::string message(reinterpret_cast<const char *>(&header), sizeof header);
    message += properties;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 2;  // udev's events, after its rules
    EXPECT_EQ(sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(message.size()))
        << std::strerror(errno);
    close(fd);
}

// A free port on the loopback, and the policy that grants its page every
// HID device, on a tmpfs over /etc/chromium in the bench's namespace.
std::string set_up_browser(int &port)
{
    if (const std::string problem = own_network(); !problem.empty())
        return problem;
    if (!fs::exists("/usr/lib/chromium/chromium"))
        return "Debian's chromium is missing: install it (the README's Quick start does)";
    if (!fs::exists(fs::path(DRIVE_JS).parent_path() / "node_modules/playwright-core"))
        return "playwright-core is missing: run npm ci --prefix tests/web (the README's Quick start does)";
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return "no free port on 127.0.0.1";
    port = ntohs(address.sin_port);
    close(probe);
    // Chromium's shared memory, in the bench's /dev.
    fs::create_directories("/dev/shm");
    if (mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0)
        return "tmpfs over /dev/shm: " + std::string(std::strerror(errno));
    fs::create_directories("/etc/chromium");  // only when chromium is missing, checked above
    if (mount("tmpfs", "/etc/chromium", "tmpfs", 0, "mode=0755") != 0)
        return "tmpfs over /etc/chromium: " + std::string(std::strerror(errno));
    fs::create_directories("/etc/chromium/policies/managed");
    std::ofstream("/etc/chromium/policies/managed/quorvel-test.json")
        << "{\"WebHidAllowAllDevicesForUrls\": [\"http://127.0.0.1:" << port << "\"]}\n";
    return "";
}

class Page : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (IsSkipped())
            return;
        static int port = 0;
        static const std::string problem = set_up_browser(port);
        ASSERT_EQ(problem, "");
        port_ = port;
    }

    // Opens the page in Chromium, gives it the file, the part and the IDs,
    // and does `action`; returns what the page showed.
    Json run_page(const std::string &hex, const std::string &mcu, const std::string &usb, const std::string &action,
                  const Json &more = Json::object())
    {
        Json config{{"web", WEB_DIR}, {"port", port_},   {"shim", SYSFS_SHIM}, {"hex", hex},
                    {"mcu", mcu},     {"usb", usb},       {"action", action},   {"shots", ""},
                    {"timeout_ms", 20000}, {"layout", false}, {"boards", 0}};
        config.update(more);
        ProcessResult run = run_process({NODE, DRIVE_JS, config.dump()}, kill_after(120));
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        Json shown = Json::parse(run.out, nullptr, false);
        if (shown.is_discarded())
            ADD_FAILURE() << "the driver printed no JSON: " << run.out << run.err;
        else
            EXPECT_TRUE(shown["errors"].empty()) << shown["errors"].dump() << "\n" << run.err;
        return shown;
    }

    int port_ = 0;
};

std::string fixture(int kib)
{
    return write_scratch_file("fixture" + std::to_string(kib) + ".hex", hex_file_for(pattern_bytes(0, uint32_t(kib) * 1024)));
}

// What the flash must hold after an upload of `hex` for a part with this
// block size: the file's bytes, erased (0xFF) elsewhere.
std::vector<uint8_t> expected_flash(const std::map<uint32_t, uint8_t> &bytes)
{
    std::vector<uint8_t> flash(0x20000, 0xFF);
    for (auto [address, value] : bytes)
        flash[address] = value;
    return flash;
}

// The dry run's lines of the command line for this file and part.
std::string cli_figures(const std::string &mcu, const std::string &hex)
{
    ProcessResult run = run_quorvel({"-n", "-mmcu=" + mcu, hex});
    std::string figures;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("Blocks:") || line.starts_with("Reports:") || line.starts_with("File data:") ||
            line.starts_with("Least time:") || line.starts_with("SHA-256:") || line.ends_with("(image sent)"))
            figures += line + "\n";
    return figures;
}

// The messages of the command line (standard error) for this file and part.
std::string cli_message(const std::string &mcu, const std::string &hex)
{
    return run_quorvel({"-n", "-mmcu=" + mcu, hex}).err;
}

// The page with its box of -above64k ticked, or not, against the command
// line with the option, or without: a 100 KiB image into an at90usb1287
// byte-exact with the same figures; the refusals in the same words.
TEST_F(Page, Above64KiBAsTheCommandLineDoesIt)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 100 * 1024);
    const std::string hex = write_scratch_file("100k.hex", hex_file_for(bytes));
    add_device(0, 0x5E1A, 0x0001, numbered_board(1));
    Json shown = run_page(hex, "at90usb1287", "0x5e1a:0x0001", "flash", {{"above64k", true}, {"timeout_ms", 120000}});
    SimResult sim = finish(0);
    reset();
    EXPECT_EQ(shown["status"], "Done.\n");
    EXPECT_TRUE(sim.errors.empty()) << sim.errors.front();
    EXPECT_TRUE(sim.flash == expected_flash(bytes)) << "the flash differs";
    const std::string result = shown["file-result"];
    ProcessResult dry = run_quorvel({"-n", "-above64k", "-mmcu=at90usb1287", hex});
    EXPECT_NE(dry.out.find("Blocks:     400 of 256 bytes\n"), std::string::npos) << dry.out;
    EXPECT_EQ(dry.out.substr(dry.out.find("Blocks:")), result.substr(result.find('\n') + 1));

    std::map<uint32_t, uint8_t> into_boot = pattern_bytes(0, 0x100);
    into_boot[0x1E000] = 0;
    const std::string boot = write_scratch_file("boot.hex", hex_file_for(into_boot));
    const struct {
        std::string hex, mcu;
        bool above64k;
    } refusals[] = {
        {hex, "at90usb1287", false},  // names the option
        {boot, "at90usb1287", true},  // the bootloader's section
        {hex, "atmega32u4", true},    // no flash above 64 KiB
    };
    for (const auto &c : refusals) {
        SCOPED_TRACE(c.mcu + (c.above64k ? " -above64k" : ""));
        std::vector<std::string> arguments{"-n", "-mmcu=" + c.mcu, c.hex};
        if (c.above64k)
            arguments.insert(arguments.begin(), "-above64k");
        const std::string cli = run_quorvel(arguments).err;
        const std::string page = std::string(run_page(c.hex, c.mcu, "", "load", {{"above64k", c.above64k}})["file-result"]) + "\n";
        // The command line names the file by its path, the page by its name: from the second line on.
        ASSERT_FALSE(cli.empty());
        EXPECT_EQ(page.substr(page.find('\n')), cli.substr(cli.find('\n'))) << page;
    }
}

TEST_F(Page, FixturesArriveByteExactWithTheDryRunsFigures)
{
    struct Case {
        const char *name;
        std::map<uint32_t, uint8_t> bytes;
        std::string hex;
    };
    std::vector<Case> cases;
    {
        // The example as avr-objcopy makes it into a flat binary.
        std::string bin = read_whole_file(QUORVEL_EXAMPLE_BIN);
        ASSERT_FALSE(bin.empty()) << "avr-objcopy (binutils-avr) made no flat binary of the example";
        std::map<uint32_t, uint8_t> bytes;
        for (size_t i = 0; i < bin.size(); ++i)
            bytes[uint32_t(i)] = uint8_t(bin[i]);
        cases.push_back({"example", bytes, example_hex_path()});
    }
    cases.push_back({"24 KiB", pattern_bytes(0, 24 * 1024), fixture(24)});
    cases.push_back({"56 KiB", pattern_bytes(0, 56 * 1024), fixture(56)});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        add_device(0, 0x5E1A, 0x0001, numbered_board(1));
        Json shown = run_page(c.hex, "atmega64u2", "0x5e1a:0x0001", "flash",
                              {{"shots", std::string(c.name) == "56 KiB" ? scratch_dir() : ""}});
        SimResult sim = finish(0);
        reset();
        EXPECT_EQ(shown["status"], "Done.\n");
        EXPECT_EQ(shown["progress-text"], "100%");
        EXPECT_TRUE(sim.errors.empty()) << sim.errors.front();
        EXPECT_TRUE(sim.flash == expected_flash(c.bytes)) << "the flash differs";
        // The bootloader's pauses, as the board sees them: 1 s after BEGIN,
        // 10 ms after each block, never less.
        for (size_t i = 0; i + 1 < sim.frames.size(); ++i) {
            const int command = sim.frames[i][2];
            if (command == 1 || command == 5) {
                ASSERT_GE(sim.seconds[i + 1] - sim.seconds[i], command == 1 ? 1.0 : 0.010) << "after frame " << i;
            }
        }
        // The page shows the file's name, then the command line's figures.
        const std::string result = shown["file-result"];
        EXPECT_EQ(result.substr(result.find('\n') + 1), cli_figures("atmega64u2", c.hex));
        // Its log line, as -log= writes it: its fields in their order, and
        // those that a browser cannot know left empty.
        const auto line = nlohmann::ordered_json::parse(std::string(shown["log"]).substr(0, std::string(shown["log"]).find('\n')));
        std::vector<std::string> fields;
        for (const auto &field : line.items())
            fields.push_back(field.key());
        EXPECT_EQ(fields, (std::vector<std::string>{"time", "serial", "location", "path", "vendor_id", "product_id",
                                                    "file", "sha256", "image_sha256", "mcu", "result", "seconds",
                                                    "version"}));
        EXPECT_EQ(line["serial"], "");
        EXPECT_EQ(line["file"], fs::path(c.hex).filename().string());
        EXPECT_NE(result.find(std::string(line["image_sha256"]) + " (image sent)"), std::string::npos) << result;
        EXPECT_EQ(line["sha256"], sha256sum(c.hex));
        EXPECT_EQ(line["result"], "done");
        EXPECT_EQ(line["vendor_id"], "5e1a");
        EXPECT_EQ(line["mcu"], "atmega64u2");
    }
    // Before, during and after an upload.
    for (const char *shot : {"before", "during", "after"})
        EXPECT_GT(fs::exists(scratch_dir() + "/" + shot + ".png") ? fs::file_size(scratch_dir() + "/" + shot + ".png") : 0, 1000u)
            << shot;
    for (const char *shot : {"before", "during", "after"})
        fs::copy_file(scratch_dir() + "/" + shot + ".png", std::string(WEB_SHOTS) + "/" + shot + ".png",
                      fs::copy_options::overwrite_existing);
}

TEST_F(Page, HexErrorShowsItsLine)
{
    std::string hex = write_scratch_file("bad.hex", ":10000000000102030405060708090A0B0C0D0E0F78\n:0100100010DF\n:0100110011DE\n:00000001FF\n");
    Json shown = run_page(hex, "atmega32u4", "", "load");
    std::string cli = cli_message("atmega32u4", hex);
    // The command line names the file as given; the page by its name.
    std::string page = shown["file-result"];
    EXPECT_NE(page.find("line 3: bad checksum"), std::string::npos) << page;
    EXPECT_EQ(page.substr(page.find('\n')), cli.substr(cli.find('\n'), page.size() - page.find('\n')));
}

TEST_F(Page, ImageTooLargeForThePart)
{
    std::string hex = fixture(24);
    Json shown = run_page(hex, "atmega16u2", "", "load");
    EXPECT_EQ(std::string(shown["file-result"]) + "\n", cli_message("atmega16u2", hex));
}

TEST_F(Page, UnknownMcuAsTheCommandLineSaysIt)
{
    Json shown = run_page(example_hex_path(), "atmega99", "", "load");
    EXPECT_EQ(std::string(shown["file-result"]) + "\n", run_quorvel({"-n", "-mmcu=atmega99", example_hex_path()}).err);
}

// (Chromium hides keyboards from pages altogether: the device of another
// shape here is a vendor-defined one with 8-byte reports.)
TEST_F(Page, DeviceOfAnotherShapeIsRefused)
{
    SimOptions other;
    other.small_reports = true;
    other.name = "Contoso Gadget";
    add_device(0, 0x045E, 0x0750, other);
    Json shown = run_page(example_hex_path(), "atmega32u4", "", "flash", {{"timeout_ms", 10000}});
    SimResult sim = finish(0);
    EXPECT_EQ(shown["status"], "Unable to open device\nContoso Gadget (045e:0750) is a HID device that does not take the "
                               "bootloader's 64-byte reports; if it is the bootloader, name its IDs with -usb=\n");
    EXPECT_TRUE(sim.frames.empty());
}

// A board that the browser lists but cannot open (a node that the user may
// not open): on Linux the page says so with the browser's reason and gives
// the udev rule to install for these IDs; nothing is sent, and the log
// keeps a line.
TEST_F(Page, BoardItCannotOpenGetsTheUdevRule)
{
    SimOptions refused;
    refused.open_error = EACCES;
    add_device(0, 0x5E1A, 0x0001, refused);
    Json shown = run_page(example_hex_path(), "atmega32u4", "5e1a:0001", "flash", {{"timeout_ms", 10000}});
    SimResult sim = finish(0);
    const std::string status = shown["status"];
    EXPECT_TRUE(status.starts_with("Unable to open device\nQuorvel Test HID Bootloader: ")) << status;
    EXPECT_NE(status.find("install this udev rule as /etc/udev/rules.d/60-quorvel.rules"), std::string::npos)
        << status;
    EXPECT_NE(status.find("SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", "
                          "TAG+=\"uaccess\"\n"),
              std::string::npos)
        << status;
    EXPECT_TRUE(sim.frames.empty());
    const std::string log = shown["log"];
    ASSERT_FALSE(log.empty());
    Json line = Json::parse(log.substr(0, log.find('\n')));
    EXPECT_TRUE(std::string(line["result"]).starts_with("Unable to open device: Quorvel Test HID Bootloader: "))
        << line.dump();
}

// Connect opens the browser's chooser (from the click: a page may not open
// it on its own) for the IDs given, or, without IDs, for every
// vendor-defined usage page, where a bootloader's collection lies (its
// shape is checked at Flash). IDs the command line would refuse open no
// chooser and get its message. Headless, the chooser has no window and
// stays open: what it was asked is what is checked.
TEST_F(Page, ConnectAsksTheChooserForTheBoards)
{
    Json vendor_pages = Json::array();
    for (int page = 0xFF00; page <= 0xFFFF; ++page)
        vendor_pages.push_back({{"usagePage", page}});
    const struct {
        const char *usb;
        Json filters;
        const char *message;
    } cases[] = {
        {"0x5e1a:0x0001", Json::array({{{"vendorId", 0x5E1A}, {"productId", 1}}}), ""},
        {"", vendor_pages, ""},
        {"5e1a", nullptr, "Malformed PID\n"},
    };
    add_device(0, 0x5E1A, 0x0001, numbered_board(1));
    for (const auto &c : cases) {
        Json shown = run_page(example_hex_path(), "atmega32u4", c.usb, "connect");
        EXPECT_EQ(shown["errors"], Json::array()) << c.usb;
        EXPECT_EQ(shown["filters"], c.filters) << c.usb;
        EXPECT_EQ(shown["chosen"], c.filters.is_null() ? "" : "open") << c.usb;
        EXPECT_TRUE(std::string(shown["board-message"]).starts_with(c.message)) << c.usb << ": " << shown["board-message"];
    }
    EXPECT_TRUE(finish(0).frames.empty());
}

TEST_F(Page, StallEndsWithinTheLimitAndNothingAfter)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(1, 20));
    Json shown = run_page(fixture(24), "atmega32u4", "5e1a:0001", "flash");
    usleep(300000);
    SimResult sim = finish(0);
    const std::string status = shown["status"];
    EXPECT_TRUE(status.starts_with("Error writing to device\n")) << status;
    EXPECT_NE(status.find("no answer within"), std::string::npos) << status;
    EXPECT_EQ(sim.frames.size(), 20u);
    EXPECT_LE(sim.held.size(), 1u);
    EXPECT_LT(double(shown["seconds"]), 10.0);
    Json line = Json::parse(std::string(shown["log"]).substr(0, std::string(shown["log"]).find('\n')));
    EXPECT_EQ(std::string(line["result"]), status.substr(0, status.find('\n')) + ": " +
                                               status.substr(status.find('\n') + 1, status.find('\n', status.find('\n') + 1) - status.find('\n') - 1));
}

TEST_F(Page, UnplugMidUpload)
{
    SimOptions board = numbered_board(1);
    board.unplug_after = 30;
    add_device(0, 0x5E1A, 0x0001, board);
    Json shown = run_page(fixture(24), "atmega32u4", "5e1a:0001", "flash");
    SimResult sim = finish(0);
    const std::string status = shown["status"];
    EXPECT_TRUE(status.starts_with("Error writing to device\n")) << status;
    EXPECT_NE(status.find("the device is gone"), std::string::npos) << status;
    EXPECT_EQ(sim.frames.size(), 30u);
}

TEST_F(Page, StationFlashesEachBoardAndOneFailsAlone)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(1));
    add_device(1, 0x5E1A, 0x0001, numbered_board(2, 25));
    add_device(2, 0x5E1A, 0x0001, numbered_board(3));
    std::string hex = fixture(24);
    Json shown = run_page(hex, "atmega32u4", "5e1a:0001", "station", {{"boards", 3}});
    EXPECT_EQ(shown["summary"], "2 done, 1 failed, 0 in progress") << shown["rows"].dump();
    const std::vector<uint8_t> expected = expected_flash(pattern_bytes(0, 24 * 1024));
    for (int number : {0, 2}) {
        SimResult sim = finish(number);
        EXPECT_TRUE(sim.flash == expected) << "board " << number;
    }
    EXPECT_EQ(finish(1).frames.size(), 25u);
    // One log line per board, each that parses.
    std::istringstream lines{std::string(shown["log"])};
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_EQ(Json::parse(line)["sha256"], sha256sum(hex));
    EXPECT_EQ(count, 3);
}

// Station mode as a bench uses it: the boards are plugged in one after the
// other while the page runs, each is flashed once as it appears, and one
// that stalls fails alone.
TEST_F(Page, StationFlashesBoardsAsTheyArePluggedIn)
{
    const std::string hex = fixture(8);
    const std::string ready = scratch_dir() + "/station-ready";
    fs::remove(ready);
    const long stalls[] = {-1, 25, -1};
    const auto plug_in_turn = [&](int) {
        for (int wait = 0; wait < 400 && !fs::exists(ready); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fs::exists(ready)) << "the page never went into station mode";
        for (int number = 0; number < 3; ++number) {
            add_device(number, 0x5E1A, 0x0001, numbered_board(number + 1, stalls[number]));
            announce_hidraw(number);
            // The next board comes once this one is done (its START_APPLICATION) or stuck.
            AfterStart stays;
            stays.leave_after = -1;
            double taken_at = -1;
            if (stalls[number] < 0)
                after_start_application(number, "", stays, taken_at);
            else
                std::this_thread::sleep_for(std::chrono::seconds(2));
        }
    };
    Json config{{"web", WEB_DIR},  {"port", port_},     {"shim", SYSFS_SHIM}, {"hex", hex},      {"mcu", "atmega32u4"},
                {"usb", "5e1a:0001"}, {"action", "station"}, {"shots", ""},   {"timeout_ms", 60000}, {"layout", false},
                {"boards", 3},       {"ready", ready}};
    ProcessResult run = run_process({NODE, DRIVE_JS, config.dump()}, plug_in_turn);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    Json shown = Json::parse(run.out, nullptr, false);
    ASSERT_FALSE(shown.is_discarded()) << run.out << run.err;
    EXPECT_TRUE(shown["errors"].empty()) << shown["errors"].dump() << "\n" << run.err;
    EXPECT_EQ(shown["devices"], 0) << "no board was there when the page started";
    EXPECT_EQ(shown["summary"], "2 done, 1 failed, 0 in progress") << shown["rows"].dump();
    const std::vector<uint8_t> expected = expected_flash(pattern_bytes(0, 8 * 1024));
    for (int number : {0, 2})
        EXPECT_TRUE(finish(number).flash == expected) << "board " << number;
    EXPECT_EQ(finish(1).frames.size(), 25u);
}

// Where the page cannot flash, it says why and what to use instead; the
// file is still read and checked.
TEST_F(Page, SaysWhatTheBrowserLacks)
{
    const struct {
        const char *variant;
        const char *says;
    } cases[] = {
        {"no-webhid", "This browser has no WebHID (Firefox and Safari do not have it): use Chrome, Edge or Opera, "
                      "or the quorvel command line."},
        {"insecure", "This page needs a secure context to reach USB devices: open it through https, or from "
                     "localhost."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.variant);
        Json shown = run_page(example_hex_path(), "atmega32u4", "", "load", {{"variant", c.variant}});
        EXPECT_EQ(shown["support"], c.says);
        EXPECT_EQ(shown["devices"], -1) << "no WebHID there";
        EXPECT_NE(std::string(shown["file-result"]).find("Blocks:"), std::string::npos) << shown["file-result"];
    }
}

TEST_F(Page, LayoutFitsAPhoneAndADesktop)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(1));
    Json shown = run_page(example_hex_path(), "atmega32u4", "", "flash",
                          {{"layout", true}, {"shots", scratch_dir()}, {"keyboard", true}});
    // Flashed with the keyboard alone: every control on the way is reached by Tab.
    EXPECT_EQ(shown["status"], "Done.\n") << shown["status"];
    const std::vector<std::string> order = shown["tab_order"];
    for (const char *control : {"file", "mcu", "usb", "connect", "station", "flash"})
        EXPECT_NE(std::find(order.begin(), order.end(), control), order.end()) << control << " in " << shown["tab_order"].dump();
    // Readable in both modes: WCAG AA's 4.5:1 for text.
    for (const char *mode : {"light", "dark"})
        EXPECT_GE(shown["contrast"][mode]["ratio"].get<double>(), 4.5) << mode << ": " << shown["contrast"][mode].dump();
    EXPECT_EQ(shown["dark"], "rgb(18, 18, 18)");  // the dark mode's background
    fs::copy_file(scratch_dir() + "/dark-400.png", std::string(WEB_SHOTS) + "/dark-400.png",
                  fs::copy_options::overwrite_existing);
    for (const char *width : {"1280", "400"}) {
        EXPECT_EQ(shown["layout"][width]["scroll"], 0) << width;
        EXPECT_TRUE(shown["layout"][width]["outside"].empty()) << width << shown["layout"][width]["outside"].dump();
    }
}

}  // namespace

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// For bench/run (not a test: run with --gtest_also_run_disabled_tests):
// the page's upload of the 56 KiB fixture against the command line's, on
// the same simulated board at 1 ms per report, interleaved; prints the
// medians as one line "page-bench {...}". QUORVEL_BENCH_ROUNDS rounds (5).
// Where an upload's time went at the board: the time between two reports
// that follow each other at once (a gap under 5 ms: 1 ms is the board's
// own), and the time from a block's last report to the next block's first
// (the 10 ms pause and what the uploader adds to it); medians, in ms.
struct Gaps {
    double within, between;
    double first_to_last;  // s, from the first report's arrival to the last's
};

Gaps gaps_of(const SimResult &sim)
{
    std::vector<double> within, between;
    for (size_t i = 1; i < sim.seconds.size(); ++i) {
        const double gap = (sim.seconds[i] - sim.seconds[i - 1]) * 1000;
        (gap < 5 ? within : between).push_back(gap);
    }
    return Gaps{within.empty() ? 0 : median(within), between.empty() ? 0 : median(between),
                sim.seconds.empty() ? 0 : sim.seconds.back() - sim.seconds.front()};
}

TEST_F(Page, DISABLED_BenchUploadAgainstTheCommandLine)
{
    const char *rounds_text = std::getenv("QUORVEL_BENCH_ROUNDS");
    const int rounds = rounds_text ? std::atoi(rounds_text) : 5;
    const std::string hex = fixture(56);
    std::vector<double> page, cli, page_within, cli_within, page_between, cli_between, page_reports, cli_reports;
    for (int round = 0; round < rounds; ++round) {
        add_device(0, 0x5E1A, 0x0001, numbered_board(1));
        ProcessResult run = run_quorvel({"-mmcu=at90usb646", "-usb=5e1a:0001", hex});
        ASSERT_EQ(run.status, 0) << run.err;
        Gaps gaps = gaps_of(finish(0));
        reset();
        cli.push_back(run.seconds);
        cli_within.push_back(gaps.within);
        cli_between.push_back(gaps.between);
        cli_reports.push_back(gaps.first_to_last);
        add_device(0, 0x5E1A, 0x0001, numbered_board(1));
        Json shown = run_page(hex, "at90usb646", "5e1a:0001", "flash");
        gaps = gaps_of(finish(0));
        reset();
        ASSERT_EQ(shown["status"], "Done.\n");
        page.push_back(double(shown["seconds"]));
        page_within.push_back(gaps.within);
        page_between.push_back(gaps.between);
        page_reports.push_back(gaps.first_to_last);
    }
    std::printf("page-bench {\"page\":%.4f,\"cli\":%.4f,\"rounds\":%d,\"page_within_ms\":%.3f,\"cli_within_ms\":%.3f,"
                "\"page_between_ms\":%.3f,\"cli_between_ms\":%.3f,\"page_reports\":%.4f,\"cli_reports\":%.4f}\n",
                median(page), median(cli), rounds, median(page_within), median(cli_within), median(page_between),
                median(cli_between), median(page_reports), median(cli_reports));
}

}  // namespace
