// -doctor's shared part: udev rule lines against IDs, POSIX ACLs, the seat
// file, the signs of a container, and which findings keep a board from
// being flashed.
#include "hid/doctor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RuleCase {
    const char *line;
    uint32_t vendor, product;
    bool matches, other_subsystem, uaccess;
    const char *group;
    const char *mode;
};

TEST(DoctorRules, RuleLinesMatchAsUdevDoes)
{
    const RuleCase cases[] = {
        // quorvel's own rule, and the same line for other IDs.
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", TAG+="uaccess")", 0x5E1A, 1,
         true, false, true, "", ""},
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", TAG+="uaccess")", 0x5E1A, 2,
         false, false, false, "", ""},
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", TAG+="uaccess")", 0x5E1B, 1,
         false, false, false, "", ""},
        // sysfs writes lower case: an upper-case pattern never matches.
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5E1A", ATTRS{idProduct}=="0001", MODE="0666")", 0x5E1A, 1, false,
         false, false, "", "0666"},
        // Patterns: alternatives, *, ?, a class.
        {R"(KERNEL=="hidraw*", ATTRS{idVendor}=="03eb|5e1a", ATTRS{idProduct}=="00?1", GROUP="plugdev", MODE="0660")",
         0x5E1A, 0x0011, true, false, false, "plugdev", "0660"},
        {R"(KERNEL=="hidraw*", ATTRS{idVendor}=="03eb|5e1a", ATTRS{idProduct}=="00[0-2]1", GROUP="plugdev")",
         0x03EB, 0x0031, false, false, false, "", ""},
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="*", TAG+="uaccess")", 0x5E1A, 0x2FF4,
         true, false, true, "", ""},
        // != turns the comparison around.
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}!="0001", TAG+="uaccess")", 0x5E1A, 1,
         false, false, false, "", ""},
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}!="0001", TAG+="uaccess")", 0x5E1A, 2,
         true, false, true, "", ""},
        // The USB device's node, not the hidraw node: a common mistake.
        {R"(SUBSYSTEM=="usb", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", MODE="0666")", 0x5E1A, 1, false,
         true, false, "", "0666"},
        {R"(KERNEL=="ttyACM*", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", MODE="0666")", 0x5E1A, 1, false,
         true, false, "", "0666"},
        // No subsystem named: every node of the device, the hidraw node too.
        {R"(ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", TAG+="uaccess")", 0x5E1A, 1, true, false, true, "",
         ""},
        // Only the vendor: no product named, no match for these IDs.
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", TAG+="uaccess")", 0x5E1A, 1, false, false, false, "", ""},
        // Comments, blank lines and broken lines.
        {R"(# SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a", ATTRS{idProduct}=="0001", TAG+="uaccess")", 0x5E1A, 1,
         false, false, false, "", ""},
        {"   ", 0x5E1A, 1, false, false, false, "", ""},
        {R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="5e1a, ATTRS{idProduct}=="0001")", 0x5E1A, 1, false, false, false,
         "", ""},
        // Spaces around the operators and a closing carriage return.
        {"SUBSYSTEM == \"hidraw\" , ATTRS{idVendor} == \"5e1a\", ATTRS{idProduct}==\"0001\", TAG += \"uaccess\"\r",
         0x5E1A, 1, true, false, true, "", ""},
    };
    for (const RuleCase &c : cases) {
        SCOPED_TRACE(c.line);
        const UdevRuleLine rule = read_udev_rule_line(c.line, c.vendor, c.product);
        EXPECT_EQ(rule.matches, c.matches);
        EXPECT_EQ(rule.other_subsystem, c.other_subsystem);
        if (!rule.matches && !rule.other_subsystem)
            continue;
        EXPECT_EQ(rule.uaccess, c.uaccess);
        EXPECT_EQ(rule.group, c.group);
        EXPECT_EQ(rule.mode, c.mode);
    }
}

TEST(DoctorRules, AFileGivesItsFirstMatchingLine)
{
    const std::string file = "# other boards\n"
                             "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", MODE=\"0666\"\n"
                             "\n"
                             "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"03eb\", ATTRS{idProduct}==\"2ff4\", "
                             "GROUP=\"dialout\"\n"
                             "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", "
                             "GROUP=\"plugdev\"\n"
                             "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"5e1a\", ATTRS{idProduct}==\"0001\", "
                             "GROUP=\"late\"";
    const UdevRuleLine ours = read_udev_rules(file, 0x5E1A, 1);
    EXPECT_TRUE(ours.matches);
    EXPECT_EQ(ours.group, "plugdev");
    const UdevRuleLine atmel = read_udev_rules(file, 0x03EB, 0x2FF4);
    EXPECT_TRUE(atmel.matches);
    EXPECT_EQ(atmel.group, "dialout");
    // Only the usb line names these: for another subsystem.
    const UdevRuleLine usb_only = read_udev_rules(file.substr(0, file.find("\n\n")), 0x5E1A, 1);
    EXPECT_FALSE(usb_only.matches);
    EXPECT_TRUE(usb_only.other_subsystem);
    EXPECT_FALSE(read_udev_rules(file, 0x1234, 0x5678).matches);
}

TEST(DoctorRules, TheSuggestedLineMatchesItsOwnIds)
{
    for (const auto &[vendor, product] : {std::pair{0x5E1Au, 0x0001u}, std::pair{0x03EBu, 0x2FF4u},
                                          std::pair{0x0001u, 0xFFFFu}}) {
        const std::string line = udev_rule_for(vendor, product);
        SCOPED_TRACE(line);
        const UdevRuleLine rule = read_udev_rule_line(line, vendor, product);
        EXPECT_TRUE(rule.matches);
        EXPECT_TRUE(rule.uaccess);
        EXPECT_FALSE(read_udev_rule_line(line, vendor, product ^ 1).matches);
    }
}

// The attribute's bytes: version 2, then tag, permissions and id of each
// entry, little-endian.
std::string acl_bytes(const std::vector<AclEntry> &entries, uint32_t version = 2)
{
    std::string bytes;
    auto put = [&](uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes.push_back(char((value >> (8 * i)) & 0xFF));
    };
    put(version, 4);
    for (const AclEntry &entry : entries) {
        put(entry.tag, 2);
        put(entry.permissions, 2);
        put(entry.id, 4);
    }
    return bytes;
}

struct AclCase {
    const char *name;
    std::vector<AclEntry> entries;
    uint32_t uid;
    std::vector<uint32_t> groups;
    int writes;
    const char *text;
};

TEST(DoctorAcl, NamedEntriesWithinTheMaskGiveWriteAccess)
{
    const AclEntry owner{1, 6, 0xFFFFFFFF}, group_obj{4, 0, 0xFFFFFFFF}, other{0x20, 0, 0xFFFFFFFF};
    const AclCase cases[] = {
        {"user entry", {owner, {2, 6, 1000}, group_obj, {0x10, 6, 0xFFFFFFFF}, other}, 1000, {1000}, 1,
         "user 1000 rw (mask rw)"},
        {"another user's entry", {owner, {2, 6, 1000}, group_obj, {0x10, 6, 0xFFFFFFFF}, other}, 1001, {1001}, 0,
         "user 1000 rw (mask rw)"},
        {"read only", {owner, {2, 4, 1000}, group_obj, {0x10, 6, 0xFFFFFFFF}, other}, 1000, {1000}, 0,
         "user 1000 r (mask rw)"},
        {"the mask takes write away", {owner, {2, 6, 1000}, group_obj, {0x10, 4, 0xFFFFFFFF}, other}, 1000, {1000},
         0, "user 1000 rw (mask r)"},
        {"a group entry of one of the user's groups",
         {owner, group_obj, {8, 6, 46}, {0x10, 6, 0xFFFFFFFF}, other}, 1000, {1000, 20, 46}, 1,
         "group 46 rw (mask rw)"},
        {"a group entry of another group", {owner, group_obj, {8, 6, 46}, {0x10, 6, 0xFFFFFFFF}, other}, 1000,
         {1000, 20}, 0, "group 46 rw (mask rw)"},
        {"no named entries", {owner, group_obj, other}, 1000, {1000}, 0, ""},
    };
    for (const AclCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<AclEntry> read = read_posix_acl(acl_bytes(c.entries));
        ASSERT_EQ(read.size(), c.entries.size());
        EXPECT_EQ(acl_lets_write(read, c.uid, c.groups), c.writes);
        EXPECT_EQ(acl_text(read), c.text);
    }
}

TEST(DoctorAcl, BytesThatAreNoAclGiveNoEntries)
{
    const std::string good = acl_bytes({{1, 6, 0xFFFFFFFF}, {2, 6, 1000}});
    EXPECT_EQ(read_posix_acl(good).size(), 2u);
    EXPECT_TRUE(read_posix_acl("").empty());
    EXPECT_TRUE(read_posix_acl(good.substr(0, good.size() - 1)).empty());  // a torn entry
    EXPECT_TRUE(read_posix_acl(acl_bytes({{2, 6, 1000}}, 1)).empty());     // another version
    EXPECT_EQ(read_posix_acl(good)[1].id, 1000u);
}

TEST(DoctorSeat, TheActiveUserIsReadFromTheSeatFile)
{
    const std::pair<const char *, long> cases[] = {
        {"# This is private data. Do not parse.\nIS_SEAT0=1\nACTIVE=c2\nACTIVE_UID=1000\nUIDS=1000 1001\n", 1000},
        {"IS_SEAT0=1\nACTIVE_UID=0", 0},
        {"IS_SEAT0=1\nUIDS=\n", -1},  // nobody at the seat
        {"ACTIVE_UID=\n", -1},
        {"ACTIVE_UID=10x0\n", -1},
        {"", -1},
        {"X_ACTIVE_UID=5\nACTIVE_UID=7\n", 7},
    };
    for (const auto &[file, uid] : cases) {
        SCOPED_TRACE(file);
        EXPECT_EQ(seat_active_uid(file), uid);
    }
}

TEST(DoctorConfinement, ContainersAndWslAreToldFromTheirSigns)
{
    struct Case {
        const char *name;
        ConfinementSigns signs;
        Confinement expected;
    } const cases[] = {
        {"a machine", {"6.1.0-18-amd64\n", "0::/init.scope\n", false, false, ""}, CONFINED_NONE},
        {"WSL 2", {"5.15.133.1-microsoft-standard-WSL2\n", "0::/\n", false, false, ""}, CONFINED_WSL},
        {"WSL 1", {"4.4.0-19041-Microsoft\n", "", false, false, ""}, CONFINED_WSL},
        {"docker", {"6.1.0-18-amd64\n", "0::/\n", true, false, ""}, CONFINED_CONTAINER},
        {"podman", {"6.1.0-18-amd64\n", "0::/\n", false, true, ""}, CONFINED_CONTAINER},
        {"systemd-nspawn", {"6.1.0-18-amd64\n", "0::/\n", false, false, "systemd-nspawn"}, CONFINED_CONTAINER},
        {"cgroup v1 docker", {"5.10.0\n", "12:pids:/docker/4f1e\n", false, false, ""}, CONFINED_CONTAINER},
        {"kubernetes", {"5.10.0\n", "0::/kubepods/besteffort/pod1\n", false, false, ""}, CONFINED_CONTAINER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_confinement(c.signs), c.expected);
    }
}

TEST(DoctorVerdict, OnlyTheBoardsOwnProblemsKeepItFromBeingFlashed)
{
    auto check = [](DoctorFinding finding) { return DoctorCheck{"/dev/hidraw0", "x", finding, "", ""}; };
    const std::pair<std::vector<DoctorFinding>, int> cases[] = {
        {{FINDING_OK, FINDING_OK, FINDING_OK}, 1},
        // Root needs no rule; a rule that is not applied yet or a user who
        // is not in its group do not matter when the node opens.
        {{FINDING_OK, FINDING_NO_RULE, FINDING_RULE_NOT_APPLIED, FINDING_NOT_IN_GROUP, FINDING_NOT_AT_SEAT,
          FINDING_NOTE, FINDING_CONTAINER},
         1},
        {{FINDING_OK, FINDING_NO_ACCESS}, 0},
        {{FINDING_NODE_MISSING}, 0},
        {{FINDING_OK, FINDING_NOT_HIDRAW}, 0},
        {{FINDING_OK, FINDING_HELD}, 0},
        {{FINDING_OK, FINDING_WRONG_SHAPE}, 0},
        {{FINDING_OK, FINDING_UNKNOWN}, 0},
        {{}, 0},  // not looked at
    };
    for (const auto &[findings, flashable] : cases) {
        std::vector<DoctorCheck> checks;
        for (DoctorFinding finding : findings)
            checks.push_back(check(finding));
        EXPECT_EQ(device_flashable(checks), flashable) << testing::PrintToString(findings);
    }
    DoctorReport report;
    report.devices.push_back(DoctorDevice{"/dev/hidraw0", {check(FINDING_OK), check(FINDING_HELD)}});
    report.devices.push_back(DoctorDevice{"/dev/hidraw1", {check(FINDING_OK), check(FINDING_NO_RULE)}});
    report.devices.push_back(DoctorDevice{"/dev/hidraw2", {check(FINDING_OK)}});
    EXPECT_EQ(flashable_devices(report), 2);
    EXPECT_STREQ(finding_verdict(FINDING_OK), "OK");
    EXPECT_STREQ(finding_verdict(FINDING_CONTAINER), "NOTE");
    EXPECT_STREQ(finding_verdict(FINDING_UNKNOWN), "UNKNOWN");
    EXPECT_STREQ(finding_verdict(FINDING_HELD), "PROBLEM");
}

}  // namespace
