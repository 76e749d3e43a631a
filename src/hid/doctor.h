// -doctor: why a board can or cannot be flashed here and now, as values.
// Each check is one record: what was looked at, what was found (a kind that
// code decides on), the words for people and the command that puts it
// right. doctor.cpp holds what every platform shares (reading udev rules,
// ACLs, the seat file, telling a container); doctor_<platform>.cpp looks
// at the system. Nothing here prints or ends the process.
#pragma once

#include "hid/hid_device.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum DoctorFinding {
    FINDING_OK = 0,
    FINDING_NOTE,              // worth knowing; keeps nothing from working by itself
    FINDING_UNKNOWN,           // could not be looked at (the node cannot be opened)
    FINDING_NO_DEVICE,         // no HID device with the IDs is present
    FINDING_NODE_MISSING,      // the system lists the device, its node is not there
    FINDING_NOT_HIDRAW,        // the node is no hidraw node, or not this device's
    FINDING_NO_ACCESS,         // this user cannot open the node for writing
    FINDING_NO_RULE,           // no udev rule gives access to these IDs
    FINDING_RULE_NOT_APPLIED,  // the rule changed after the node was set up
    FINDING_NOT_IN_GROUP,      // the rule's group is not one of this user's
    FINDING_NOT_AT_SEAT,       // the rule gives the seat's user access, and that is someone else
    FINDING_HELD,              // another process holds the board's lock
    FINDING_WRONG_SHAPE,       // the device does not take the bootloader's reports
    FINDING_CONTAINER,         // running in a container or WSL, where nodes are often missing
};

struct DoctorCheck {
    std::string subject;  // "system", a device's path, or the IDs asked for
    std::string name;     // "node", "access", "udev rule", ...
    DoctorFinding finding;
    std::string text;  // what was found
    std::string fix;   // the command that puts it right; "" when there is nothing to do
};

// "OK", "NOTE", "UNKNOWN" or "PROBLEM": the verdict people read.
const char *finding_verdict(DoctorFinding finding);

// Whether the finding alone keeps the board from being flashed now. A
// missing udev rule does not (root needs none): the node's access does.
bool finding_blocks_flashing(DoctorFinding finding);

// A device looked at, with its checks.
struct DoctorDevice {
    std::string path;
    std::vector<DoctorCheck> checks;
};

// What -doctor found: the system's checks (and those of the IDs asked for,
// when no device has them), then each device's.
struct DoctorReport {
    std::vector<DoctorCheck> system;
    std::vector<DoctorDevice> devices;
};

// What a device's checks say together: 1 when none keeps it from being
// flashed now (a device with no checks was not looked at: 0).
int device_flashable(const std::vector<DoctorCheck> &checks);

// The devices that can be flashed now.
int flashable_devices(const DoctorReport &report);

// One line of a udev rules file, as far as access to a hidraw node goes.
struct UdevRuleLine {
    bool matches;       // it applies to a hidraw node of a device with these IDs
    bool other_subsystem;  // it names these IDs, but for another subsystem ("usb"): no hidraw node gets it
    bool uaccess;       // TAG+="uaccess": the user at the active seat gets access
    std::string group;  // GROUP="..." or ""
    std::string mode;   // MODE="..." or ""
};

// Reads one line of a rules file against these IDs. udev's own matching:
// == and != compare with shell patterns (*, ?, [...], and | between
// alternatives); ATTRS{idVendor} and ATTRS{idProduct} against the IDs as
// sysfs writes them (four lower-case hex digits); SUBSYSTEM, if named,
// must let "hidraw" through, KERNEL a name "hidrawN". A comment, a blank
// line or a line without both IDs' keys matches nothing.
UdevRuleLine read_udev_rule_line(std::string_view line, uint32_t vendor_id, uint32_t product_id);

// What a whole rules file gives these IDs: the first line that matches, or
// one that names them for another subsystem, else a line with neither.
UdevRuleLine read_udev_rules(std::string_view text, uint32_t vendor_id, uint32_t product_id);

// The rule line that gives the user at the seat access to these IDs, as
// packaging/60-quorvel.rules has it.
std::string udev_rule_for(uint32_t vendor_id, uint32_t product_id);

// An entry of a POSIX access ACL (the system.posix_acl_access attribute).
struct AclEntry {
    uint16_t tag;  // ACL_USER_OBJ 1, ACL_USER 2, ACL_GROUP_OBJ 4, ACL_GROUP 8, ACL_MASK 0x10, ACL_OTHER 0x20
    uint16_t permissions;  // 4 read, 2 write, 1 execute
    uint32_t id;           // the user or group of ACL_USER and ACL_GROUP
};

// The entries of the attribute's bytes (version 2, eight bytes an entry);
// empty when they are not such an ACL.
std::vector<AclEntry> read_posix_acl(std::string_view bytes);

// Whether an extended ACL's named entries let this user write: 1 when a
// named user or group entry (within the mask) does, 0 when none does.
int acl_lets_write(const std::vector<AclEntry> &entries, uint32_t uid, const std::vector<uint32_t> &groups);

// The ACL's named entries for people: "user 1000 rw, group 46 rw (mask rw)";
// "" when it has none.
std::string acl_text(const std::vector<AclEntry> &entries);

// The user at a logind seat, from its file (/run/systemd/seats/seat0):
// the ACTIVE_UID line's number, or -1 when it has none.
long seat_active_uid(std::string_view seat_file);

// Where this runs, from what the system shows of itself.
enum Confinement {
    CONFINED_NONE,
    CONFINED_WSL,        // Windows Subsystem for Linux
    CONFINED_CONTAINER,  // docker, podman, lxc, kubernetes ...
};
struct ConfinementSigns {
    std::string os_release;  // /proc/sys/kernel/osrelease
    std::string cgroup;      // /proc/1/cgroup
    bool dockerenv;          // /.dockerenv exists
    bool containerenv;       // /run/.containerenv exists
    std::string container;   // $container (systemd's convention: "lxc", "podman", ...)
};
Confinement read_confinement(const ConfinementSigns &signs);

// The checks of the system as a whole, then those of each device that the
// filter lets through (every device when it matches no IDs) and of the IDs
// asked for when no device has them. Opens each device to look at it and
// closes it again; takes no board and writes nothing.
DoctorReport doctor_checks(const DeviceFilter &filter);
