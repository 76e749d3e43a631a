// A simulated HID bootloader for the end-to-end tests, presented as a file
// that behaves like a hidraw node.
//
// It mounts a small FUSE file system with one file, "hidraw", which the bench
// binds over /dev/hidrawN. The file is opened with direct I/O, so every
// write() of quorvel arrives here as one request, and the writer stays
// blocked until this process answers it: the simulator answers a write only
// once the device has taken the report (at once, or after --report-delay-us),
// as a hidraw write returns only when the USB transfer has ended. It answers
// HIDIOCGRAWINFO as the hidraw driver does, with the bus and the IDs, and
// HIDIOCGRDESCSIZE and HIDIOCGRDESC with its report descriptor.
//
// Each report is checked as the bootloader would (report ID 0, marker, known
// command, parameters in range, legal order), the flash is emulated, and
// every frame is logged with the time it arrived. On SIGTERM it writes the
// flash to a file, unmounts and exits.
//
// Usage: sim_bootloader MOUNT_DIR LOG FLASH [options]
//   --ids VID:PID         the IDs the device reports (hex; default 5e1a:0001)
//   --mode OCTAL          the node's permission bits (default 600)
//   --report-delay-us N   answer each write N microseconds after it arrived
//   --stall-after K       take K reports, then hold every later write
//                         unanswered, as a device that hangs
//   --unplug-after K      take K reports, then answer every later write with
//                         ENODEV, as the kernel does for an unplugged device;
//                         the node is gone from then on
//   --in-flight-error N   at the unplug, answer the first write with errno N
//                         instead (the kernel ends the transfer in flight with
//                         EPROTO), the later ones with ENODEV
//   --queued N            after a stall, take N more reports before writes
//                         are held: the device's receive buffers, which the
//                         USB transfers still fill (they reach no flash)
//   --write-timeout-ms T  a held write ends with ETIMEDOUT after T ms and no
//                         signal cuts it short, as usbhid's 5 s limit does
//   --descriptor-file P   write the report descriptor to P at the start (the
//                         sysfs report_descriptor file that browsers read)
//   --small-reports       a vendor-defined descriptor with 8-byte output reports
//   --keyboard            the report descriptor of a keyboard (by default that
//                         of the bootloader: one 64-byte output report)
//   --ignore-interrupts   a held write stays held when its writer is killed
//   --open-error N        refuse every open of the node with errno N, as the
//                         kernel does for a user without access
//                         (the kernel then keeps the writer until it is
//                         answered); by default it is answered with EINTR
//
// Log lines: "started MICROSECONDS" (on the system's monotonic clock, from
// which the frames' times count), "ready", "frame INDEX MICROSECONDS HEX", "error INDEX TEXT",
// "held INDEX HEX" (written, never taken), "interrupted INDEX MICROSECONDS"
// (the writer of a held write gave up), "timed-out INDEX MICROSECONDS" (a
// held write ended with ETIMEDOUT), "queued INDEX HEX" (taken into a receive
// buffer after a stall), "refused INDEX HEX" (answered with an error), and at
// the end "end FRAMES ERRORS".

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <linux/hid.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t FRAME_SIZE = 65;
constexpr size_t FLASH_SIZE = 0x20000;  // word addresses reach 128 KiB
constexpr fuse_ino_t NODE_INO = 2;
constexpr uint32_t BUS_USB_ID = 3;

volatile sig_atomic_t stop_requested = 0;

void on_terminate(int)
{
    stop_requested = 1;
}

enum Expect {
    EXPECT_BEGIN,
    EXPECT_ADDRESS_OR_FINISH,
    EXPECT_LENGTH,
    EXPECT_DATA,
    EXPECT_BLOCK_DONE,
    EXPECT_START,
    EXPECT_NOTHING
};

struct Bootloader {
    FILE *log = nullptr;
    Expect expect = EXPECT_BEGIN;
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t filled = 0;
    uint32_t block_size = 0;  // the first SET_LENGTH fixes it for the run
    std::array<uint8_t, 256> block{};
    std::vector<uint8_t> flash = std::vector<uint8_t>(FLASH_SIZE, 0xFF);
    long frames = 0;
    long errors = 0;
};

// A write that has not been answered yet.
struct Pending {
    fuse_req_t req;
    long index;
    std::chrono::steady_clock::time_point due;  // when the device has taken it
    bool held;                                  // never answered on its own, unless it times out
    bool interrupted;
    bool times_out;  // a held write that ends with ETIMEDOUT when due
};

// A vendor-defined collection with one output report of 64 bytes and no
// report ID, as the bootloader has.
constexpr uint8_t BOOTLOADER_DESCRIPTOR[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00,
                                             0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xC0};
// A vendor-defined collection of another shape: an output report of 8 bytes.
constexpr uint8_t SMALL_REPORT_DESCRIPTOR[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00,
                                               0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0x91, 0x02, 0xC0};
// A boot keyboard: input keys, and a one-byte output report for its LEDs.
constexpr uint8_t KEYBOARD_DESCRIPTOR[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

struct Settings {
    uint16_t vendor_id = 0x5E1A, product_id = 0x0001;
    bool keyboard = false;
    bool small_reports = false;
    const char *descriptor_file = nullptr;
    mode_t mode = 0600;
    uid_t owner = 0;  // as udev sets them up
    gid_t group = 0;
    long report_delay_us = 0;
    long stall_after = -1;
    long unplug_after = -1;
    int in_flight_error = ENODEV;
    long queued = 0;
    long write_timeout_ms = 0;
    bool ignore_interrupts = false;
    int open_error = 0;
};

Settings settings;
Bootloader bootloader;
std::deque<Pending> pending;
long writes = 0;
long queued = 0;         // reports taken into receive buffers after the stall
bool unplugged = false;  // the node is gone
timespec set_up_at{};    // the node's last change: its start, its last chmod or chown
const auto started = std::chrono::steady_clock::now();

long microseconds_now()
{
    return long(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
            .count());
}

void error(Bootloader &b, const char *text)
{
    ++b.errors;
    std::fprintf(b.log, "error %ld %s\n", b.frames, text);
}

bool zero_from(const uint8_t *report, size_t first)
{
    for (size_t i = first; i < 64; ++i)
        if (report[i] != 0)
            return false;
    return true;
}

void log_bytes(FILE *log, const char *kind, long index, const uint8_t *bytes, size_t size)
{
    std::fprintf(log, "%s %ld ", kind, index);
    for (size_t i = 0; i < size; ++i)
        std::fprintf(log, "%02x", bytes[i]);
    std::fputc('\n', log);
}

void handle_frame(Bootloader &b, const uint8_t *frame, long microseconds)
{
    ++b.frames;
    std::fprintf(b.log, "frame %ld %ld ", b.frames, microseconds);
    for (size_t i = 0; i < FRAME_SIZE; ++i)
        std::fprintf(b.log, "%02x", frame[i]);
    std::fputc('\n', b.log);

    if (frame[0] != 0)
        return error(b, "report ID is not 0");
    const uint8_t *report = frame + 1;
    if (report[0] != 0xA1)
        return error(b, "no command marker");
    int command = report[1];
    // The bench watches for the start of the application as it happens.
    if (command == 7)
        std::fflush(b.log);
    switch (command) {
    case 1:
        // After the start command, a new upload may come: the board's
        // bootloader was started again. Anywhere else a begin is a mix.
        if (b.expect != EXPECT_BEGIN && b.expect != EXPECT_NOTHING)
            return error(b, "BEGIN out of order");
        if (!zero_from(report, 2))
            return error(b, "BEGIN has parameters");
        b.expect = EXPECT_ADDRESS_OR_FINISH;
        break;
    case 2:
        if (b.expect != EXPECT_ADDRESS_OR_FINISH)
            return error(b, "SET_ADDRESS out of order");
        if (!zero_from(report, 4))
            return error(b, "SET_ADDRESS has stray bytes");
        b.address = (uint32_t(report[2]) | uint32_t(report[3]) << 8) * 2;
        b.expect = EXPECT_LENGTH;
        break;
    case 3:
        if (b.expect != EXPECT_LENGTH)
            return error(b, "SET_LENGTH out of order");
        b.length = uint32_t(report[2]) << 8 | report[3];
        if ((b.length != 128 && b.length != 256) || !zero_from(report, 4))
            return error(b, "SET_LENGTH is not 128 or 256");
        if (b.block_size == 0)
            b.block_size = b.length;
        if (b.length != b.block_size)
            return error(b, "block size changed during the run");
        if (b.address % b.length != 0)
            return error(b, "block address not aligned to the block size");
        b.filled = 0;
        b.expect = EXPECT_DATA;
        break;
    case 4:
        if (b.expect != EXPECT_DATA)
            return error(b, "DATA out of order");
        if (!zero_from(report, 34))
            return error(b, "DATA has stray bytes");
        std::memcpy(b.block.data() + b.filled, report + 2, 32);
        b.filled += 32;
        if (b.filled == b.length)
            b.expect = EXPECT_BLOCK_DONE;
        break;
    case 5:
        if (b.expect != EXPECT_BLOCK_DONE)
            return error(b, "BLOCK_DONE before the block is full");
        if (!zero_from(report, 2))
            return error(b, "BLOCK_DONE has parameters");
        std::memcpy(b.flash.data() + b.address, b.block.data(), b.length);
        b.expect = EXPECT_ADDRESS_OR_FINISH;
        break;
    case 6:
        if (b.expect != EXPECT_ADDRESS_OR_FINISH)
            return error(b, "FINISH out of order");
        b.expect = EXPECT_START;
        break;
    case 7:
        // After the finish command, or on a bootloader that has taken
        // nothing yet (quorvel -boot): it jumps to the application as it is.
        if (b.expect != EXPECT_START && b.expect != EXPECT_BEGIN)
            return error(b, "START_APPLICATION out of order");
        if (!zero_from(report, 2))
            return error(b, "START_APPLICATION has parameters");
        b.expect = EXPECT_NOTHING;
        break;
    default:
        return error(b, "unknown command");
    }
}

struct stat node_attributes(fuse_ino_t ino)
{
    struct stat st {};
    st.st_ino = ino;
    if (ino == FUSE_ROOT_ID) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | settings.mode;
        st.st_nlink = 1;
        st.st_uid = settings.owner;
        st.st_gid = settings.group;
        // Set up when the device appeared, as udev's node is.
        st.st_mtim = st.st_ctim = set_up_at;
    }
    return st;
}

void sim_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    if (parent != FUSE_ROOT_ID || std::strcmp(name, "hidraw") != 0 || unplugged)
        return void(fuse_reply_err(req, ENOENT));
    fuse_entry_param entry{};
    entry.ino = NODE_INO;
    entry.attr = node_attributes(NODE_INO);
    fuse_reply_entry(req, &entry);  // no caching: a chmod shows at once
}

void sim_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (ino == NODE_INO && unplugged)
        return void(fuse_reply_err(req, ENOENT));
    struct stat st = node_attributes(ino);
    fuse_reply_attr(req, &st, 0);
}

// Takes a chmod and a chown, as udev does when it gives the user access.
void sim_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set, fuse_file_info *)
{
    if (ino == NODE_INO && (to_set & FUSE_SET_ATTR_MODE))
        settings.mode = attr->st_mode & 07777;
    if (ino == NODE_INO && (to_set & FUSE_SET_ATTR_UID))
        settings.owner = attr->st_uid;
    if (ino == NODE_INO && (to_set & FUSE_SET_ATTR_GID))
        settings.group = attr->st_gid;
    if (ino == NODE_INO && (to_set & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)))
        clock_gettime(CLOCK_REALTIME, &set_up_at);
    struct stat st = node_attributes(ino);
    fuse_reply_attr(req, &st, 0);
}

void sim_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (ino != NODE_INO)
        return void(fuse_reply_err(req, EISDIR));
    if (settings.open_error)
        return void(fuse_reply_err(req, settings.open_error));
    fi->direct_io = 1;  // every write() is one request, never cached
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void on_interrupt(fuse_req_t req, void *)
{
    for (Pending &p : pending)
        if (p.req == req)
            p.interrupted = true;
}

void sim_write(fuse_req_t req, fuse_ino_t, const char *data, size_t size, off_t, fuse_file_info *)
{
    ++writes;
    const auto *bytes = reinterpret_cast<const uint8_t *>(data);
    if (size != FRAME_SIZE) {
        error(bootloader, ("write of " + std::to_string(size) + " bytes, not 65").c_str());
        return void(fuse_reply_err(req, EINVAL));
    }
    if (settings.unplug_after >= 0 && bootloader.frames >= settings.unplug_after) {
        log_bytes(bootloader.log, "refused", writes, bytes, size);
        int error = unplugged ? ENODEV : settings.in_flight_error;
        unplugged = true;
        return void(fuse_reply_err(req, error));
    }
    if (settings.stall_after >= 0 && bootloader.frames >= settings.stall_after && queued < settings.queued) {
        ++queued;
        log_bytes(bootloader.log, "queued", writes, bytes, size);
        return void(fuse_reply_write(req, size));
    }
    if (settings.stall_after >= 0 && bootloader.frames >= settings.stall_after) {
        log_bytes(bootloader.log, "held", writes, bytes, size);
        auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.write_timeout_ms);
        pending.push_back({req, writes, due, true, false, settings.write_timeout_ms > 0});
        fuse_req_interrupt_func(req, on_interrupt, nullptr);
        return;
    }
    // The answer goes out before the frame is checked and logged: that is the
    // simulator's work, not the device's time.
    long arrived = microseconds_now();
    if (settings.report_delay_us <= 0) {
        fuse_reply_write(req, size);
    } else {
        auto due = started + std::chrono::microseconds(arrived + settings.report_delay_us);
        pending.push_back({req, writes, due, false, false, false});
    }
    handle_frame(bootloader, bytes, arrived);
}

void sim_ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *, fuse_file_info *, unsigned, const void *,
               size_t, size_t out_size)
{
    const uint8_t *descriptor = settings.keyboard        ? KEYBOARD_DESCRIPTOR
                                : settings.small_reports ? SMALL_REPORT_DESCRIPTOR
                                                         : BOOTLOADER_DESCRIPTOR;
    int descriptor_size =
        settings.keyboard ? int(sizeof KEYBOARD_DESCRIPTOR) : int(sizeof BOOTLOADER_DESCRIPTOR);
    if (cmd == HIDIOCGRAWINFO && out_size >= sizeof(hidraw_devinfo)) {
        hidraw_devinfo info{};
        info.bustype = BUS_USB_ID;
        info.vendor = int16_t(settings.vendor_id);
        info.product = int16_t(settings.product_id);
        fuse_reply_ioctl(req, 0, &info, sizeof info);
    } else if (cmd == HIDIOCGRDESCSIZE && out_size >= sizeof(int)) {
        fuse_reply_ioctl(req, 0, &descriptor_size, sizeof descriptor_size);
    } else if (cmd == HIDIOCGRDESC && out_size >= sizeof(hidraw_report_descriptor)) {
        static hidraw_report_descriptor reply;
        reply.size = uint32_t(descriptor_size);
        std::memcpy(reply.value, descriptor, size_t(descriptor_size));
        fuse_reply_ioctl(req, 0, &reply, sizeof reply);
    } else {
        fuse_reply_err(req, ENOTTY);
    }
}

// A timer may wake this process tens of microseconds late: the loop wakes
// this much before a delayed answer is due and spins to it, so that a
// device that takes 1 ms per report answers after 1 ms, not 1.07.
constexpr auto EARLY_WAKE = std::chrono::microseconds(300);

// Answers what is due: delayed writes whose time has come, and held writes
// whose writer gave up.
void answer_due()
{
    auto now = std::chrono::steady_clock::now();
    for (const Pending &p : pending)
        if (!p.held && p.due > now && p.due - now <= EARLY_WAKE)
            while ((now = std::chrono::steady_clock::now()) < p.due) {
            }
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->times_out && it->due <= now) {
            std::fprintf(bootloader.log, "timed-out %ld %ld\n", it->index, microseconds_now());
            std::fflush(bootloader.log);
            fuse_reply_err(it->req, ETIMEDOUT);
            it = pending.erase(it);
        } else if (it->held && it->interrupted && !settings.ignore_interrupts && !it->times_out) {
            std::fprintf(bootloader.log, "interrupted %ld %ld\n", it->index, microseconds_now());
            fuse_reply_err(it->req, EINTR);
            it = pending.erase(it);
        } else if (!it->held && it->due <= now) {
            fuse_reply_write(it->req, FRAME_SIZE);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
}

// How long the loop may wait for the next request: until the next delayed
// answer is due, and never long, so that SIGTERM is seen soon.
timespec wait_time()
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    for (const Pending &p : pending)
        if ((!p.held || p.times_out) && p.due - EARLY_WAKE < limit)
            limit = p.due - EARLY_WAKE;
    auto wait =
        std::chrono::duration_cast<std::chrono::nanoseconds>(limit - std::chrono::steady_clock::now());
    long long ns = wait.count() > 0 ? wait.count() : 0;
    return timespec{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
}

void read_settings(int argc, char **argv)
{
    for (int i = 4; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--ignore-interrupts" || option == "--keyboard" || option == "--small-reports") {
            (option == "--keyboard"        ? settings.keyboard
             : option == "--small-reports" ? settings.small_reports
                                           : settings.ignore_interrupts) = true;
            continue;
        }
        if (i + 1 >= argc)
            break;
        const char *value = argv[++i];
        if (option == "--descriptor-file") {
            settings.descriptor_file = value;
        } else if (option == "--ids") {
            unsigned vendor = 0, product = 0;
            std::sscanf(value, "%x:%x", &vendor, &product);
            settings.vendor_id = uint16_t(vendor);
            settings.product_id = uint16_t(product);
        } else if (option == "--open-error") {
            settings.open_error = std::atoi(value);
        } else if (option == "--mode") {
            settings.mode = mode_t(std::strtol(value, nullptr, 8));
        } else if (option == "--report-delay-us") {
            settings.report_delay_us = std::atol(value);
        } else if (option == "--stall-after") {
            settings.stall_after = std::atol(value);
        } else if (option == "--unplug-after") {
            settings.unplug_after = std::atol(value);
        } else if (option == "--in-flight-error") {
            settings.in_flight_error = std::atoi(value);
        } else if (option == "--queued") {
            settings.queued = std::atol(value);
        } else if (option == "--write-timeout-ms") {
            settings.write_timeout_ms = std::atol(value);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: sim_bootloader MOUNT_DIR LOG FLASH [options]\n");
        return 2;
    }
    read_settings(argc, argv);
    clock_gettime(CLOCK_REALTIME, &set_up_at);
    prctl(PR_SET_TIMERSLACK, 1UL);  // answer delayed writes on time

    struct sigaction action {};
    action.sa_handler = on_terminate;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    Bootloader &b = bootloader;
    b.log = std::fopen(argv[2], "w");
    if (!b.log)
        return 2;
    // Written out at the end (and after "ready"): a write to the log per
    // frame would slow the device's answers to the next report.
    setvbuf(b.log, nullptr, _IOFBF, 1 << 20);

    if (settings.descriptor_file) {
        FILE *out = std::fopen(settings.descriptor_file, "wb");
        if (!out)
            return 2;
        if (settings.keyboard)
            std::fwrite(KEYBOARD_DESCRIPTOR, 1, sizeof KEYBOARD_DESCRIPTOR, out);
        else if (settings.small_reports)
            std::fwrite(SMALL_REPORT_DESCRIPTOR, 1, sizeof SMALL_REPORT_DESCRIPTOR, out);
        else
            std::fwrite(BOOTLOADER_DESCRIPTOR, 1, sizeof BOOTLOADER_DESCRIPTOR, out);
        std::fclose(out);
    }

    fuse_lowlevel_ops ops{};
    ops.lookup = sim_lookup;
    ops.getattr = sim_getattr;
    ops.setattr = sim_setattr;
    ops.open = sim_open;
    ops.write = sim_write;
    ops.ioctl = sim_ioctl;
    // allow_other with default_permissions: any user may try the node, and
    // the kernel checks its mode, as for a device node.
    char name[] = "sim_bootloader", dash_o[] = "-o",
         mount_options[] = "allow_other,default_permissions,fsname=quorvel-sim,subtype=hidraw";
    char *fuse_argv[] = {name, dash_o, mount_options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    fuse_session *session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (!session || fuse_session_mount(session, argv[1]) != 0) {
        std::fprintf(b.log, "error 0 cannot mount FUSE at %s\n", argv[1]);
        return 2;
    }
    std::fprintf(
        b.log, "started %lld\nready\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(started.time_since_epoch()).count()));
    std::fflush(b.log);

    fuse_buf buffer{};
    int fd = fuse_session_fd(session);
    while (!stop_requested && !fuse_session_exited(session)) {
        pollfd wait{fd, POLLIN, 0};
        timespec timeout = wait_time();
        if (ppoll(&wait, 1, &timeout, nullptr) > 0 && (wait.revents & POLLIN)) {
            int got = fuse_session_receive_buf(session, &buffer);
            if (got == -EINTR || got == -EAGAIN)
                continue;
            if (got <= 0)
                break;
            fuse_session_process_buf(session, &buffer);
        }
        answer_due();
    }
    std::free(buffer.mem);

    if (FILE *out = std::fopen(argv[3], "wb")) {
        std::fwrite(b.flash.data(), 1, b.flash.size(), out);
        std::fclose(out);
    }
    std::fprintf(b.log, "end %ld %ld\n", b.frames, b.errors);
    std::fclose(b.log);
    // Unmounting and closing the session ends every write still held.
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    return 0;
}
