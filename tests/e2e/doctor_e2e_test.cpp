// -doctor as an ordinary user (nobody) on the simulated bench: the node's
// mode and group, quorvel's udev rule present or not, the seat, a missing
// node, a held board, a keyboard. Each line's verdict and the status.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iostream>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uid_t NOBODY = 65534;

// A udev root of the test's own: empty tmpfs over the rules folders that
// exist and over /run (where the seat file and /run/udev/rules.d live), in
// the bench's private mount namespace; taken down again at the end.
struct UdevRoot {
    std::vector<std::string> mounted;

    UdevRoot()
    {
        for (const char *dir : {"/run", "/etc/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"}) {
            std::error_code error;
            const std::string real = fs::canonical(dir, error).string();
            // /lib is /usr/lib where /usr is merged: one tmpfs hides both.
            if (error || !fs::is_directory(real, error) ||
                std::find(mounted.begin(), mounted.end(), real) != mounted.end())
                continue;
            if (mount("tmpfs", real.c_str(), "tmpfs", 0, "mode=0755") == 0)
                mounted.push_back(real);
            else
                ADD_FAILURE() << "tmpfs over " << real << ": " << std::strerror(errno);
        }
        fs::create_directories("/run/udev/rules.d");
        fs::create_directories("/run/systemd/seats");
    }
    ~UdevRoot()
    {
        for (auto dir = mounted.rbegin(); dir != mounted.rend(); ++dir)
            umount2(dir->c_str(), MNT_DETACH);
    }
};

// The verdict of the line of this check ("OK", "PROBLEM", ...), and the
// line; "" when there is no such line.
std::pair<std::string, std::string> line_of(const std::string &out, const std::string &check)
{
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        // "VERDICT SUBJECT CHECK: text": no verdict or subject holds a space.
        const std::string line = out.substr(start, end - start);
        const size_t subject = line.find_first_not_of(' ', line.find(' '));
        const size_t gap = subject == std::string::npos ? subject : line.find(' ', subject);
        const size_t name = gap == std::string::npos ? gap : line.find_first_not_of(' ', gap);
        if (name != std::string::npos && line.compare(name, check.size() + 2, check + ": ") == 0)
            return {line.substr(0, line.find(' ')), line};
        start = end + 1;
    }
    return {"", ""};
}

struct DoctorCase {
    const char *name;
    SimOptions board;                // with the mode of its node
    bool dialout_node = false;       // the node's group is dialout
    bool nobody_in_dialout = false;  // nobody runs with the group dialout
    const char *rule = nullptr;      // /run/udev/rules.d/60-quorvel.rules, or none
    long seat_uid = -1;              // ACTIVE_UID of seat0, or no seat file
    bool rule_changed_later = false;  // the rule file changed after the node was set up
    bool held = false;               // another process holds the board's lock
    const char *usb = "-usb=5e1a:0001";
    std::vector<std::pair<const char *, const char *>> verdicts;  // check, verdict ("" for no such line)
    std::vector<std::pair<const char *, const char *>> says;      // check, words its line holds
    int status;
};

SimOptions node_mode(mode_t mode)
{
    SimOptions options;
    options.mode = mode;
    return options;
}

SimOptions keyboard()
{
    SimOptions options;
    options.mode = 0666;
    options.keyboard = true;
    return options;
}

SimOptions no_node()
{
    SimOptions options;
    options.node = false;
    return options;
}

const char *const UACCESS_RULE =
    "# quorvel\nSUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", TAG+=\"uaccess\"\n";
const char *const GROUP_RULE =
    "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", GROUP=\"dialout\", "
    "MODE=\"0660\"\n";
const char *const USB_RULE =
    "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", MODE=\"0666\"\n";

TEST_F(SimulatedBench, DoctorTellsWhatKeepsTheBoardFromBeingFlashed)
{
    const group *dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "the tests need the group dialout";
    const std::string gid = std::to_string(dialout->gr_gid);
    const std::string test_pid = std::to_string(getpid());
    const DoctorCase cases[] = {
        {"0600, no rule", node_mode(0600), false, false, nullptr, -1, false, false, "-usb=5e1a:0001",
         {{"node", "UNKNOWN"}, {"access", "PROBLEM"}, {"udev rule", "PROBLEM"}, {"user", ""}, {"lock", "OK"},
          {"reports", "UNKNOWN"}, {"devices", "OK"}},
         {{"access", "mode 0600, owner root, group root"},
          {"access", "tee -a /etc/udev/rules.d/60-quorvel.rules"},
          {"udev rule", "no 60-quorvel.rules in"}},
         1},
        {"0660 group dialout, nobody not in it, rule names the group", node_mode(0660), true, false, GROUP_RULE,
         -1, false, false, "-usb=5e1a:0001",
         {{"access", "PROBLEM"}, {"udev rule", "OK"}, {"rule applied", "OK"}, {"user", "PROBLEM"}},
         {{"access", "group dialout"}, {"user", "sudo usermod -aG dialout nobody"}, {"access", "usermod -aG dialout"}},
         1},
        {"0660 group dialout, nobody in it", node_mode(0660), true, true, GROUP_RULE, -1, false, false,
         "-usb=5e1a:0001",
         {{"node", "OK"}, {"access", "OK"}, {"udev rule", "OK"}, {"rule applied", "OK"}, {"user", "OK"},
          {"lock", "OK"}, {"reports", "OK"}},
         {{"udev rule", "/run/udev/rules.d/60-quorvel.rules gives 5e1a:0001 to the group dialout"}},
         0},
        {"uaccess rule, nobody at the seat", node_mode(0666), false, false, UACCESS_RULE, NOBODY, false, false,
         "-usb=5e1a:0001",
         {{"access", "OK"}, {"udev rule", "OK"}, {"user", "OK"}, {"reports", "OK"}},
         {{"user", "active seat"}},
         0},
        {"uaccess rule, another user at the seat", node_mode(0600), false, false, UACCESS_RULE, 0, false, false,
         "-usb=5e1a:0001",
         {{"access", "PROBLEM"}, {"udev rule", "OK"}, {"user", "PROBLEM"}},
         {{"user", "root is"}, {"access", "GROUP=\"plugdev\""}},
         1},
        {"uaccess rule, no seat to ask", node_mode(0600), false, false, UACCESS_RULE, -1, false, false,
         "-usb=5e1a:0001",
         {{"access", "PROBLEM"}, {"udev rule", "OK"}, {"user", "NOTE"}},
         {{"access", "setfacl -m u:nobody:rw /dev/hidraw0"}},
         1},
        {"rule changed after the node was set up", node_mode(0666), false, false, UACCESS_RULE, NOBODY, true,
         false, "-usb=5e1a:0001",
         {{"access", "OK"}, {"rule applied", "PROBLEM"}, {"reports", "OK"}},
         {{"rule applied", "udevadm trigger"}},
         0},
        {"a rule for the usb subsystem only", node_mode(0600), false, false, USB_RULE, -1, false, false,
         "-usb=5e1a:0001",
         {{"udev rule", "PROBLEM"}, {"rule applied", ""}},
         {{"udev rule", "for another subsystem than hidraw"}},
         1},
        {"node missing", no_node(), false, false, UACCESS_RULE, NOBODY, false, false, "-usb=5e1a:0001",
         {{"node", "PROBLEM"}, {"access", ""}, {"lock", ""}, {"reports", ""}},
         {{"node", "/dev/hidraw0 is not there"}},
         1},
        {"held by another process", node_mode(0666), false, false, UACCESS_RULE, NOBODY, false, true,
         "-usb=5e1a:0001",
         {{"access", "OK"}, {"lock", "PROBLEM"}, {"reports", "OK"}},
         {{"lock", "kill " }},
         1},
        {"a keyboard with the IDs", keyboard(), false, false, UACCESS_RULE, NOBODY, false, false, "-usb=5e1a:0001",
         {{"access", "OK"}, {"reports", "PROBLEM"}},
         {{"reports", "no single 64-byte output report"}},
         1},
        {"no device with the IDs", node_mode(0666), false, false, nullptr, -1, false, false, "-usb=5e1a:0002",
         {{"devices", "PROBLEM"}, {"udev rule", "PROBLEM"}, {"node", ""}},
         {{"devices", "no HID device with the IDs 5e1a:0002"}, {"udev rule", "ATTRS{idProduct}==\"0002\""}},
         1},
        {"no -usb=: every device, a bootloader among them", node_mode(0666), false, false, nullptr, -1, false,
         false, nullptr,
         {{"access", "OK"}, {"reports", "OK"}, {"udev rule", "PROBLEM"}},
         {},
         0},
    };
    for (const DoctorCase &c : cases) {
        SCOPED_TRACE(c.name);
        UdevRoot root;
        if (c.rule) {
            std::ofstream("/run/udev/rules.d/60-quorvel.rules") << c.rule;
        }
        if (c.seat_uid >= 0)
            std::ofstream("/run/systemd/seats/seat0")
                << "# This is private data. Do not parse.\nIS_SEAT0=1\nACTIVE=c2\nACTIVE_UID=" << c.seat_uid
                << "\nUIDS=" << c.seat_uid << "\n";
        add_device(0, 0x5E1A, 0x0001, c.board);
        if (c.dialout_node)
            set_owner(0, 0, dialout->gr_gid);
        if (c.rule && c.rule_changed_later) {
            const time_t later = time(nullptr) + 60;
            const utimbuf times{later, later};
            ASSERT_EQ(utime("/run/udev/rules.d/60-quorvel.rules", &times), 0);
        } else if (c.rule) {
            // The rule was there before the board was plugged in.
            const time_t earlier = time(nullptr) - 60;
            const utimbuf times{earlier, earlier};
            ASSERT_EQ(utime("/run/udev/rules.d/60-quorvel.rules", &times), 0);
        }
        int lock = -1;
        if (c.held) {
            lock = open("/dev/hidraw0", O_RDONLY | O_CLOEXEC);
            ASSERT_GE(lock, 0);
            ASSERT_EQ(flock(lock, LOCK_EX), 0);
        }
        std::vector<std::string> command{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534"};
        command.push_back(c.nobody_in_dialout ? "--groups=" + gid : "--clear-groups");
        command.push_back(public_binary());
        command.push_back("-doctor");
        if (c.usb)
            command.push_back(c.usb);
        const ProcessResult run = run_process(command);
        std::cout << "$ setpriv nobody quorvel -doctor " << (c.usb ? c.usb : "") << "   # " << c.name << "\n" << run.out << "status " << run.status << "\n\n";
        if (lock >= 0)
            close(lock);
        reset();

        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        for (const auto &[check, verdict] : c.verdicts)
            EXPECT_EQ(line_of(run.out, check).first, verdict) << check << "\n" << run.out;
        for (const auto &[check, words] : c.says)
            EXPECT_NE(line_of(run.out, check).second.find(words), std::string::npos)
                << check << " should say " << words << "\n"
                << run.out;
        if (c.held) {
            EXPECT_NE(line_of(run.out, "lock").second.find("held by pid " + test_pid), std::string::npos)
                << run.out;
        }
        const bool ready = run.out.find("\nReady: ") != std::string::npos;
        EXPECT_EQ(ready, c.status == 0) << run.out;
    }
}

}  // namespace
