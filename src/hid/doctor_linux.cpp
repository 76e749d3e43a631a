// -doctor on Linux: the hidraw node, the user's access to it (mode, owner,
// group, ACL), quorvel's udev rule, the seat, the board's lock and its
// report shape, and whether this is a container or WSL.

#include "hid/doctor.h"

#include "hid/device_lock_linux.h"
#include "hid/report_shape.h"
#include "hid/search.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <linux/hidraw.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Where udev reads rules from, the one that wins a name first.
constexpr const char *RULE_DIRS[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d",
                                     "/usr/lib/udev/rules.d"};
constexpr const char *RULE_NAME = "60-quorvel.rules";
constexpr const char *SEAT_FILE = "/run/systemd/seats/seat0";
constexpr const char *RELOAD = "sudo udevadm control --reload && sudo udevadm trigger --action=add "
                               "--subsystem-match=hidraw";

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool exists(const char *path)
{
    struct stat status;
    return stat(path, &status) == 0;
}

std::string user_name(uid_t uid)
{
    const passwd *entry = getpwuid(uid);
    return entry ? entry->pw_name : "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid)
{
    const group *entry = getgrgid(gid);
    return entry ? entry->gr_name : "gid " + std::to_string(gid);
}

// This process's groups: the primary one and the supplementary ones.
std::vector<uint32_t> my_groups()
{
    std::vector<uint32_t> groups{uint32_t(getegid())};
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> more(count > 0 ? size_t(count) : 0);
    if (count > 0 && getgroups(count, more.data()) == count)
        groups.insert(groups.end(), more.begin(), more.end());
    return groups;
}

bool in_group(gid_t gid)
{
    const std::vector<uint32_t> groups = my_groups();
    return std::find(groups.begin(), groups.end(), uint32_t(gid)) != groups.end();
}

std::string time_text(time_t when)
{
    char text[32];
    struct tm local;
    if (!localtime_r(&when, &local) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return std::to_string(static_cast<long long>(when));
    return text;
}

// The major number of hidraw nodes, from /proc/devices, or -1.
int hidraw_major()
{
    std::ifstream devices("/proc/devices");
    std::string line;
    while (std::getline(devices, line)) {
        int major_number = -1;
        char name[64] = "";
        if (std::sscanf(line.c_str(), "%d %63s", &major_number, name) == 2 && std::strcmp(name, "hidraw") == 0)
            return major_number;
    }
    return -1;
}

Confinement confinement()
{
    ConfinementSigns signs;
    signs.os_release = read_file("/proc/sys/kernel/osrelease");
    signs.cgroup = read_file("/proc/1/cgroup");
    signs.dockerenv = exists("/.dockerenv");
    signs.containerenv = exists("/run/.containerenv");
    const char *container = std::getenv("container");
    signs.container = container ? container : "";
    return read_confinement(signs);
}

// The rule that udev applies to these IDs, as found.
struct RuleFound {
    std::string file;  // the rules file whose line matches, or ""
    UdevRuleLine line;
    time_t changed;  // the file's last change
};

// udev reads quorvel's file from the first folder that has it; any other
// rules file may hold a line for the IDs too (a copied line).
RuleFound find_rule(uint32_t vendor_id, uint32_t product_id, std::string &ours, UdevRuleLine &ours_line)
{
    RuleFound found{};
    ours.clear();
    ours_line = UdevRuleLine{};
    for (const char *dir : RULE_DIRS) {
        const std::string path = std::string(dir) + "/" + RULE_NAME;
        if (!exists(path.c_str()))
            continue;
        ours = path;
        ours_line = read_udev_rules(read_file(path), vendor_id, product_id);
        break;
    }
    std::vector<std::string> files;
    if (!ours.empty())
        files.push_back(ours);
    for (const char *dir : RULE_DIRS) {
        DIR *folder = opendir(dir);
        if (!folder)
            continue;
        std::vector<std::string> names;
        while (const dirent *entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name.size() > 6 && name.ends_with(".rules") && name != RULE_NAME)
                names.push_back(std::string(dir) + "/" + name);
        }
        closedir(folder);
        std::sort(names.begin(), names.end());
        files.insert(files.end(), names.begin(), names.end());
    }
    for (const std::string &file : files) {
        const UdevRuleLine line = read_udev_rules(read_file(file), vendor_id, product_id);
        struct stat status;
        if (line.matches && stat(file.c_str(), &status) == 0)
            return RuleFound{file, line, status.st_mtime};
    }
    return found;
}

std::string add_rule_command(uint32_t vendor_id, uint32_t product_id)
{
    return "echo '" + udev_rule_for(vendor_id, product_id) + "' | sudo tee -a /etc/udev/rules.d/" + RULE_NAME +
           " && " + RELOAD;
}

// The udev rule's check for these IDs.
DoctorCheck rule_check(const std::string &subject, uint32_t vendor_id, uint32_t product_id, RuleFound &rule)
{
    std::string ours;
    UdevRuleLine ours_line;
    rule = find_rule(vendor_id, product_id, ours, ours_line);
    const std::string ids = ids_text(vendor_id, product_id);
    const std::string fix = add_rule_command(vendor_id, product_id);
    if (!rule.file.empty()) {
        std::string gives = rule.line.uaccess          ? "to the user at the seat (uaccess)"
                            : !rule.line.group.empty() ? "to the group " + rule.line.group
                            : !rule.line.mode.empty()  ? "mode " + rule.line.mode
                                                       : "nothing about access (no uaccess, GROUP or MODE)";
        return DoctorCheck{subject, "udev rule", FINDING_OK,
                           rule.file + " gives " + ids + " " + gives +
                               (ours.empty() ? " (there is no " + std::string(RULE_NAME) + ")" : ""),
                           ""};
    }
    if (ours_line.other_subsystem)
        return DoctorCheck{subject, "udev rule", FINDING_NO_RULE,
                           ours + " names " + ids + " for another subsystem than hidraw: no hidraw node gets it", fix};
    if (!ours.empty())
        return DoctorCheck{subject, "udev rule", FINDING_NO_RULE, ours + " has no line for " + ids, fix};
    std::string dirs;
    for (const char *dir : RULE_DIRS)
        dirs += dirs.empty() ? std::string(dir) : ", " + std::string(dir);
    return DoctorCheck{subject, "udev rule", FINDING_NO_RULE,
                       std::string("no ") + RULE_NAME + " in " + dirs + ", and no other rule for " + ids, fix};
}

// Whether this user is one that the rule gives the node to.
DoctorCheck user_check(const std::string &subject, const RuleFound &rule)
{
    const uid_t uid = geteuid();
    const std::string user = user_name(uid);
    if (uid == 0)
        return DoctorCheck{subject, "user", FINDING_OK, "root opens any node", ""};
    if (!rule.line.group.empty()) {
        const group *entry = getgrnam(rule.line.group.c_str());
        if (entry && in_group(entry->gr_gid))
            return DoctorCheck{subject, "user", FINDING_OK, user + " is in the group " + rule.line.group, ""};
        return DoctorCheck{subject, "user", FINDING_NOT_IN_GROUP,
                           user + " is not in the group " + rule.line.group + " that " + rule.file +
                               " gives the node to (a group joined since login counts only in a new login)",
                           std::string(entry ? "" : "sudo groupadd " + rule.line.group + " && ") +
                               "sudo usermod -aG " + rule.line.group + " " + user + ", then log in again"};
    }
    if (rule.line.uaccess) {
        const std::string seat = read_file(SEAT_FILE);
        const long active = seat_active_uid(seat);
        const std::string group_fix = "sudo sed -i 's/TAG+=\"uaccess\"/TAG+=\"uaccess\", GROUP=\"plugdev\", "
                                      "MODE=\"0660\"/' " +
                                      rule.file + " && sudo usermod -aG plugdev " + user + " && " + RELOAD +
                                      ", then log in again";
        if (seat.empty())
            return DoctorCheck{subject, "user", FINDING_NOTE,
                               std::string("cannot tell who is at the seat (no ") + SEAT_FILE +
                                   ": no logind here); uaccess gives the node only to the user at the seat",
                               ""};
        if (active == long(uid))
            return DoctorCheck{subject, "user", FINDING_OK, user + " is the user at the active seat (uaccess)", ""};
        return DoctorCheck{subject, "user", FINDING_NOT_AT_SEAT,
                           user + " is not the user at the active seat (" +
                               (active < 0 ? std::string("nobody is") : user_name(uid_t(active)) + " is") +
                               "): uaccess gives the node only to that user (a remote or su session gets nothing)",
                           group_fix};
    }
    return DoctorCheck{subject, "user", FINDING_NOTE, "the rule gives no user or group access: MODE alone decides",
                       ""};
}

// Why this user cannot write the node: its mode, owner, group and ACL.
std::string refusal_text(const std::string &path, const struct stat &node, int error)
{
    const uid_t uid = geteuid();
    const std::string user = user_name(uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(node.st_mode & 07777));
    std::string text = user + " cannot open it for writing (" + std::strerror(error) + "): mode " + mode +
                       ", owner " + user_name(node.st_uid) + ", group " + group_name(node.st_gid);
    char acl[512];
    const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    const std::vector<AclEntry> entries =
        size > 0 ? read_posix_acl(std::string_view(acl, size_t(size))) : std::vector<AclEntry>{};
    const std::string named = acl_text(entries);
    text += named.empty() ? ", no ACL" : ", ACL " + named;
    if (node.st_uid == uid)
        text += "; " + user + " owns it but the owner may not write";
    else if (in_group(node.st_gid))
        text += "; " + user + " is in its group, which may not write";
    else
        text += "; " + user + " is neither its owner nor in its group" +
                (entries.empty() ? "" : acl_lets_write(entries, uid, my_groups()) ? "" : ", nor named in its ACL");
    return text;
}

// What puts the access right: the rule first, then the user's part in it,
// else access for now.
std::string access_fix(const std::string &path, const DoctorCheck &rule, const DoctorCheck &user)
{
    if (rule.finding == FINDING_NO_RULE)
        return rule.fix;
    if (user.finding == FINDING_NOT_IN_GROUP || user.finding == FINDING_NOT_AT_SEAT)
        return user.fix;
    return "sudo setfacl -m u:" + user_name(geteuid()) + ":rw " + path + " (until the board is unplugged), or " +
           RELOAD;
}

// The node check: there, and the kernel's hidraw node of this device.
DoctorCheck node_check(const HidDeviceInfo &info, const struct stat *node, int fd, bool confined)
{
    const std::string &path = info.path;
    const std::string number = path.substr(path.rfind("hidraw") + 6);
    if (!node)
        return DoctorCheck{path, "node", FINDING_NODE_MISSING,
                           "the system lists hidraw" + number + " but " + path + " is not there",
                           confined ? "start the container with the node: docker run --device=" + path + " ..."
                                    : std::string(RELOAD) + " (or plug the board in again)"};
    if (S_ISCHR(node->st_mode)) {
        unsigned major_number = 0, minor_number = 0;
        const std::string dev = read_file("/sys/class/hidraw/hidraw" + number + "/dev");
        if (std::sscanf(dev.c_str(), "%u:%u", &major_number, &minor_number) == 2 &&
            major(node->st_rdev) == major_number && minor(node->st_rdev) == minor_number)
            return DoctorCheck{path, "node", FINDING_OK, "the hidraw character device " + dev.substr(0, dev.find('\n')),
                               ""};
        if (fd < 0)
            return DoctorCheck{path, "node", FINDING_NOT_HIDRAW,
                               "a character device " + std::to_string(major(node->st_rdev)) + ":" +
                                   std::to_string(minor(node->st_rdev)) + ", not the kernel's hidraw" + number,
                               std::string("sudo rm ") + path + " && " + RELOAD};
    }
    if (fd < 0)
        return DoctorCheck{path, "node", FINDING_UNKNOWN,
                           "present, but no character device and it cannot be opened to ask it", ""};
    hidraw_devinfo answer{};
    if (ioctl(fd, HIDIOCGRAWINFO, &answer) != 0)
        return DoctorCheck{path, "node", FINDING_NOT_HIDRAW, "it does not answer as a hidraw node",
                           std::string("sudo rm ") + path + " && " + RELOAD};
    const uint32_t vendor = uint16_t(answer.vendor), product = uint16_t(answer.product);
    if (vendor != info.vendor_id || product != info.product_id)
        return DoctorCheck{path, "node", FINDING_NOT_HIDRAW,
                           "it answers with the IDs " + ids_text(vendor, product) + ", not those of hidraw" +
                               number + " (" + ids_text(info.vendor_id, info.product_id) + ")",
                           std::string("sudo rm ") + path + " && " + RELOAD};
    return DoctorCheck{path, "node", FINDING_OK, "a hidraw node that answers with " + ids_text(vendor, product), ""};
}

DoctorCheck lock_check(const std::string &path, int fd)
{
    const long holder = lock_holder_pid(path.c_str());
    if (holder <= 0)
        return DoctorCheck{path, "lock", FINDING_OK, "free: no process holds the board", ""};
    if (fd >= 0 && board_holder(fd) == HOLDER_ENDED_RUN)
        return DoctorCheck{path, "lock", FINDING_HELD,
                           "held by pid " + std::to_string(holder) +
                               " until the system finishes a write that an ended quorvel run gave up on (up to 5 s)",
                           "try again a few seconds later, or add -w to wait for the board"};
    std::string command = read_file("/proc/" + std::to_string(holder) + "/cmdline");
    while (!command.empty() && command.back() == '\0')
        command.pop_back();
    std::replace(command.begin(), command.end(), '\0', ' ');
    return DoctorCheck{path, "lock", FINDING_HELD,
                       "held by pid " + std::to_string(holder) + (command.empty() ? "" : " (" + command + ")"),
                       "wait for it to end, or stop it: kill " + std::to_string(holder)};
}

DoctorCheck shape_check(const std::string &path, int fd)
{
    if (fd < 0)
        return DoctorCheck{path, "reports", FINDING_UNKNOWN, "not looked at: the node cannot be opened", ""};
    const std::string problem = report_shape_problem(intptr_t(fd));
    if (problem.empty())
        return DoctorCheck{path, "reports", FINDING_OK,
                           "takes the bootloader's reports (one 64-byte output report, no report IDs)", ""};
    return DoctorCheck{path, "reports", FINDING_WRONG_SHAPE, "not the bootloader's: " + problem,
                       "pick the board's bootloader interface with -device= (quorvel -list shows them)"};
}

void device_checks(const HidDeviceInfo &info, bool confined, std::vector<DoctorCheck> &checks)
{
    const std::string &path = info.path;
    struct stat node;
    const bool present = stat(path.c_str(), &node) == 0;
    const int fd = present ? open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
    const int open_error = errno;
    checks.push_back(node_check(info, present ? &node : nullptr, fd, confined));
    RuleFound rule;
    const DoctorCheck rule_verdict = rule_check(path, info.vendor_id, info.product_id, rule);
    const DoctorCheck user_verdict =
        rule.file.empty() ? DoctorCheck{} : user_check(path, rule);
    if (present) {
        if (fd >= 0)
            checks.push_back(DoctorCheck{path, "access", FINDING_OK,
                                         user_name(geteuid()) + " can open it for writing", ""});
        else
            checks.push_back(DoctorCheck{path, "access", FINDING_NO_ACCESS, refusal_text(path, node, open_error),
                                         access_fix(path, rule_verdict, user_verdict)});
    }
    checks.push_back(rule_verdict);
    if (!rule.file.empty()) {
        if (present && rule.changed > node.st_ctime)
            checks.push_back(DoctorCheck{path, "rule applied", FINDING_RULE_NOT_APPLIED,
                                         rule.file + " changed (" + time_text(rule.changed) + ") after " + path +
                                             " was set up (" + time_text(node.st_ctime) +
                                             "): udev has not applied it to this node",
                                         std::string(RELOAD) + " (or plug the board in again)"});
        else if (present)
            checks.push_back(DoctorCheck{path, "rule applied", FINDING_OK,
                                         path + " was set up after " + rule.file + " last changed", ""});
        checks.push_back(user_verdict);
    }
    if (present) {
        checks.push_back(lock_check(path, fd));
        checks.push_back(shape_check(path, fd));
    }
    if (fd >= 0)
        close(fd);
}

DoctorCheck confinement_check(Confinement where)
{
    if (where == CONFINED_WSL)
        return DoctorCheck{"system", "container", FINDING_CONTAINER,
                           "running in WSL: a USB board reaches it only when attached from Windows",
                           "in Windows, as administrator: usbipd attach --wsl --busid <BUSID> (usbipd list shows "
                           "it); or run quorvel.exe in Windows"};
    if (where == CONFINED_CONTAINER) {
        const int major_number = hidraw_major();
        return DoctorCheck{"system", "container", FINDING_CONTAINER,
                           "running in a container: it sees only the device nodes it was started with",
                           "start it with the board's node: docker run --device=/dev/hidrawN ...; for boards "
                           "plugged in later: -v /dev:/dev --device-cgroup-rule='c " +
                               (major_number >= 0 ? std::to_string(major_number) : std::string("<hidraw major>")) +
                               ":* rmw'"};
    }
    return DoctorCheck{"system", "container", FINDING_OK, "not in a container or WSL", ""};
}

}  // namespace

DoctorReport doctor_checks(const DeviceFilter &filter)
{
    DoctorReport report;
    std::vector<DoctorCheck> &checks = report.system;
    const Confinement where = confinement();
    checks.push_back(confinement_check(where));
    if (exists("/run/udev/control"))
        checks.push_back(DoctorCheck{"system", "udev", FINDING_OK, "udev runs (/run/udev/control)", ""});
    else
        checks.push_back(DoctorCheck{"system", "udev", FINDING_NOTE,
                                     "udev does not run here (no /run/udev/control): no rule sets up a node", ""});

    const std::vector<HidDeviceInfo> devices = device_list();
    std::vector<HidDeviceInfo> chosen;
    for (const HidDeviceInfo &device : devices)
        if (device_filter_passes(filter, device))
            chosen.push_back(device);
    const std::string ids = ids_text(filter.vendor_id, filter.product_id);
    if (chosen.empty()) {
        const std::string what = filter.match_ids ? "no HID device with the IDs " + ids + " is present"
                                                  : "no HID device is present";
        checks.push_back(DoctorCheck{
            "system", "devices", FINDING_NO_DEVICE,
            what + " (" + std::to_string(devices.size()) + " HID device" + (devices.size() == 1 ? "" : "s") +
                " in all)",
            where != CONFINED_NONE ? checks.front().fix
                                   : "put the board in its bootloader (press its reset button), then check its "
                                     "IDs with: quorvel -list"});
        if (filter.match_ids) {
            RuleFound rule;
            checks.push_back(rule_check(ids, filter.vendor_id, filter.product_id, rule));
            if (!rule.file.empty())
                checks.push_back(user_check(ids, rule));
        }
        return report;
    }
    checks.push_back(DoctorCheck{"system", "devices", FINDING_OK,
                                 std::to_string(chosen.size()) + " of " + std::to_string(devices.size()) +
                                     " HID device" + (devices.size() == 1 ? "" : "s") +
                                     (filter.match_ids ? " with the IDs " + ids : std::string(" looked at")),
                                 ""});
    for (const HidDeviceInfo &device : chosen) {
        report.devices.push_back(DoctorDevice{device.path, {}});
        device_checks(device, where != CONFINED_NONE, report.devices.back().checks);
    }
    return report;
}
