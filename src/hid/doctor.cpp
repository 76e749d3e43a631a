// -doctor's shared part: the verdicts, udev rule lines, ACLs, the seat file
// and the signs of a container, read the same on every platform.

#include "hid/doctor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A shell pattern as udev takes it: *, ?, [...] and [!...]; no escapes.
bool glob_matches(std::string_view pattern, std::string_view text)
{
    size_t p = 0, t = 0, star = std::string_view::npos, star_text = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '[') {
            size_t close = pattern.find(']', p + 2);
            if (close != std::string_view::npos) {
                size_t q = p + 1;
                const bool negate = pattern[q] == '!' || pattern[q] == '^';
                if (negate)
                    ++q;
                bool in = false;
                for (; q < close; ++q) {
                    if (q + 2 < close && pattern[q + 1] == '-') {
                        in = in || (text[t] >= pattern[q] && text[t] <= pattern[q + 2]);
                        q += 2;
                    } else {
                        in = in || text[t] == pattern[q];
                    }
                }
                if (in != negate) {
                    p = close + 1;
                    ++t;
                    continue;
                }
            }
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
            continue;
        }
        if (star == std::string_view::npos)
            return false;
        p = star + 1;
        t = ++star_text;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A udev value: alternatives between |, each a shell pattern.
bool value_matches(std::string_view value, std::string_view text)
{
    while (true) {
        const size_t bar = value.find('|');
        if (glob_matches(value.substr(0, bar), text))
            return true;
        if (bar == std::string_view::npos)
            return false;
        value.remove_prefix(bar + 1);
    }
}

struct RuleKey {
    std::string_view key;  // "ATTRS{idVendor}"
    std::string_view op;   // "==", "!=", "=", "+=", "-=", ":="
    std::string_view value;
};

// The keys of one rule line, in order; false when it is not one (a comment,
// or text that udev would not read).
bool split_rule(std::string_view line, std::vector<RuleKey> &keys)
{
    size_t i = 0;
    auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == ',' || line[i] == '\r'))
            ++i;
    };
    skip();
    if (i == line.size() || line[i] == '#')
        return false;
    while (i < line.size()) {
        const size_t key_start = i;
        while (i < line.size() && std::strchr("=!+-:", line[i]) == nullptr && line[i] != ' ')
            ++i;
        RuleKey key{line.substr(key_start, i - key_start), {}, {}};
        while (i < line.size() && line[i] == ' ')
            ++i;
        const size_t op_start = i;
        while (i < line.size() && std::strchr("=!+-:", line[i]) != nullptr)
            ++i;
        key.op = line.substr(op_start, i - op_start);
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (key.key.empty() || key.op.empty() || i == line.size() || line[i] != '"')
            return false;
        const size_t close = line.find('"', i + 1);
        if (close == std::string_view::npos)
            return false;
        key.value = line.substr(i + 1, close - i - 1);
        i = close + 1;
        keys.push_back(key);
        skip();
    }
    return !keys.empty();
}

// Whether a comparison of the key holds for this text.
bool compare(const RuleKey &key, std::string_view text)
{
    return value_matches(key.value, text) == (key.op == "==");
}

std::string hex4(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x", unsigned(id & 0xFFFF));
    return text;
}

}  // namespace

const char *finding_verdict(DoctorFinding finding)
{
    switch (finding) {
    case FINDING_OK:
        return "OK";
    case FINDING_NOTE:
    case FINDING_CONTAINER:
        return "NOTE";
    case FINDING_UNKNOWN:
        return "UNKNOWN";
    default:
        return "PROBLEM";
    }
}

bool finding_blocks_flashing(DoctorFinding finding)
{
    switch (finding) {
    case FINDING_NO_DEVICE:
    case FINDING_NODE_MISSING:
    case FINDING_NOT_HIDRAW:
    case FINDING_NO_ACCESS:
    case FINDING_HELD:
    case FINDING_WRONG_SHAPE:
    case FINDING_UNKNOWN:
        return true;
    default:
        return false;
    }
}

int device_flashable(const std::vector<DoctorCheck> &checks)
{
    for (const DoctorCheck &check : checks)
        if (finding_blocks_flashing(check.finding))
            return 0;
    return checks.empty() ? 0 : 1;
}

int flashable_devices(const DoctorReport &report)
{
    int count = 0;
    for (const DoctorDevice &device : report.devices)
        count += device_flashable(device.checks);
    return count;
}

UdevRuleLine read_udev_rule_line(std::string_view line, uint32_t vendor_id, uint32_t product_id)
{
    UdevRuleLine rule{};
    std::vector<RuleKey> keys;
    if (!split_rule(line, keys))
        return rule;
    bool vendor_named = false, product_named = false, ids_hold = true, hidraw_holds = true;
    for (const RuleKey &key : keys) {
        const bool comparison = key.op == "==" || key.op == "!=";
        if (comparison && (key.key == "ATTRS{idVendor}" || key.key == "ATTR{idVendor}")) {
            vendor_named = true;
            ids_hold = ids_hold && compare(key, hex4(vendor_id));
        } else if (comparison && (key.key == "ATTRS{idProduct}" || key.key == "ATTR{idProduct}")) {
            product_named = true;
            ids_hold = ids_hold && compare(key, hex4(product_id));
        } else if (comparison && key.key == "SUBSYSTEM") {
            hidraw_holds = hidraw_holds && compare(key, "hidraw");
        } else if (comparison && key.key == "KERNEL") {
            // Any hidraw node's name: the pattern must let "hidraw" and a number through.
            hidraw_holds = hidraw_holds && (compare(key, "hidraw0") || compare(key, "hidraw12"));
        } else if (key.key == "TAG" && (key.op == "+=" || key.op == "=") && key.value == "uaccess") {
            rule.uaccess = true;
        } else if (key.key == "GROUP" && !comparison) {
            rule.group = std::string(key.value);
        } else if (key.key == "MODE" && !comparison) {
            rule.mode = std::string(key.value);
        }
    }
    const bool names_ids = vendor_named && product_named && ids_hold;
    rule.matches = names_ids && hidraw_holds;
    rule.other_subsystem = names_ids && !hidraw_holds;
    return rule;
}

UdevRuleLine read_udev_rules(std::string_view text, uint32_t vendor_id, uint32_t product_id)
{
    UdevRuleLine found{};
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const UdevRuleLine line = read_udev_rule_line(text.substr(0, end), vendor_id, product_id);
        if (line.matches)
            return line;
        if (line.other_subsystem && !found.other_subsystem)
            found = line;
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return found;
}

std::string udev_rule_for(uint32_t vendor_id, uint32_t product_id)
{
    return "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + hex4(vendor_id) + "\", ATTRS{idProduct}==\"" +
           hex4(product_id) + "\", TAG+=\"uaccess\"";
}

std::vector<AclEntry> read_posix_acl(std::string_view bytes)
{
    std::vector<AclEntry> entries;
    auto u16 = [&](size_t at) { return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0 || u32(0) != 2)
        return entries;
    for (size_t at = 4; at < bytes.size(); at += 8)
        entries.push_back(AclEntry{u16(at), u16(at + 2), u32(at + 4)});
    return entries;
}

int acl_lets_write(const std::vector<AclEntry> &entries, uint32_t uid, const std::vector<uint32_t> &groups)
{
    uint16_t mask = 7;
    for (const AclEntry &entry : entries)
        if (entry.tag == 0x10)
            mask = entry.permissions;
    for (const AclEntry &entry : entries) {
        const bool mine = (entry.tag == 2 && entry.id == uid) ||
                          (entry.tag == 8 && std::find(groups.begin(), groups.end(), entry.id) != groups.end());
        if (mine && (entry.permissions & mask & 2))
            return 1;
    }
    return 0;
}

std::string acl_text(const std::vector<AclEntry> &entries)
{
    auto rights = [](uint16_t p) {
        return std::string(p & 4 ? "r" : "") + (p & 2 ? "w" : "") + (p & 7 ? "" : "none");
    };
    std::string text, mask;
    for (const AclEntry &entry : entries) {
        if (entry.tag == 2 || entry.tag == 8)
        {
            if (!text.empty())
                text += ", ";
            text += std::string(entry.tag == 2 ? "user " : "group ") + std::to_string(entry.id) + " " +
                    rights(entry.permissions);
        }
        else if (entry.tag == 0x10)
            mask = rights(entry.permissions);
    }
    if (!text.empty() && !mask.empty())
        text += " (mask " + mask + ")";
    return text;
}

long seat_active_uid(std::string_view seat_file)
{
    while (!seat_file.empty()) {
        const size_t end = seat_file.find('\n');
        const std::string_view line = seat_file.substr(0, end);
        if (line.starts_with("ACTIVE_UID=") && line.size() > 11) {
            long uid = 0;
            for (char c : line.substr(11)) {
                if (c < '0' || c > '9' || uid > 0x7FFFFFFF)
                    return -1;
                uid = uid * 10 + (c - '0');
            }
            return uid;
        }
        seat_file.remove_prefix(end == std::string_view::npos ? seat_file.size() : end + 1);
    }
    return -1;
}

Confinement read_confinement(const ConfinementSigns &signs)
{
    auto has = [](const std::string &text, const char *word) { return text.find(word) != std::string::npos; };
    if (has(signs.os_release, "microsoft") || has(signs.os_release, "Microsoft") || has(signs.os_release, "WSL"))
        return CONFINED_WSL;
    if (signs.dockerenv || signs.containerenv || !signs.container.empty())
        return CONFINED_CONTAINER;
    for (const char *word : {"/docker", "/lxc", "/kubepods", "/containerd", "/libpod"})
        if (has(signs.cgroup, word))
            return CONFINED_CONTAINER;
    return CONFINED_NONE;
}
