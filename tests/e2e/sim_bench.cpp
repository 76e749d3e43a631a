#include "sim_bench.h"

#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

#ifndef SIM_BOOTLOADER
#error "SIM_BOOTLOADER must name the simulator program"
#endif

namespace fs = std::filesystem;

// Where the simulated devices are, in the bench's tmpfs over /sys/devices.
#define SIM_DEVICES "/sys/devices/quorvel-sim"

namespace {

// The mount points that this process sees, as /proc/self/mountinfo lists
// them (its fifth field, with the kernel's octal escapes undone).
std::vector<std::string> visible_mount_points()
{
    std::vector<std::string> points;
    std::istringstream table(read_whole_file("/proc/self/mountinfo"));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field, point;
        for (int i = 0; i < 5 && fields >> field; ++i)
            point = field;
        std::string plain;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                plain += char(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                plain += point[i];
            }
        }
        points.push_back(plain);
    }
    return points;
}

// In a chroot whose root is not a mount point (as Debian's package builders
// make them), "/" cannot be made private: the mount that holds it lies
// outside the chroot. So the bench makes its own root: every mount it can
// see is made private, a tmpfs on /dev/pts (never written to: the bench
// puts a devpts of its own there later) takes a recursive bind of "/", and
// the process changes its root to that bind, which is a mount point of its
// own. Nothing is mounted on a mount that could pass it on to the machine.
std::string make_root_a_mount_point()
{
    for (const std::string &point : visible_mount_points())
        if (mount(nullptr, point.c_str(), nullptr, MS_PRIVATE, nullptr) != 0)
            return "making " + point + " private: " + std::strerror(errno);
    const char *stage = "/dev/pts";
    std::string root = std::string(stage) + "/root";
    if (!fs::is_directory(stage) || mount("tmpfs", stage, "tmpfs", 0, "mode=0755") != 0)
        return std::string("a tmpfs on /dev/pts for the bench's root: ") + std::strerror(errno);
    std::string cwd = fs::current_path().string();
    fs::create_directory(root);
    if (mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 || chroot(root.c_str()) != 0 ||
        chdir(cwd.c_str()) != 0)
        return "a root of the bench's own at " + root + ": " + std::strerror(errno);
    return "";
}

std::string set_up_namespace()
{
    if (geteuid() != 0)
        return "the end-to-end bench needs root (a mount namespace with tmpfs over /sys/class/hidraw and "
               "/dev): run ctest as root, for example sudo ctest --test-dir build";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "/dev/fuse: " + std::string(std::strerror(errno)) +
               ": the simulated devices need FUSE (install fuse3; in a chroot, bind the machine's /dev in)";
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        if (errno != EINVAL)
            return std::string("making / private: ") + std::strerror(errno);
        std::string problem = make_root_a_mount_point();
        if (!problem.empty())
            return problem;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("making the bench's root private: ") + std::strerror(errno);
    }

    // Keep the real /dev reachable to bind its basic nodes back in.
    std::string real_dev = scratch_dir() + "/real-dev";
    fs::create_directories(real_dev);
    if (mount("/dev", real_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return std::string("binding /dev: ") + std::strerror(errno);
    if (!fs::is_directory("/sys/class/hidraw"))
        return "/sys/class/hidraw does not exist on this kernel";
    if (mount("tmpfs", "/sys/class/hidraw", "tmpfs", 0, "mode=0755") != 0)
        return std::string("tmpfs over /sys/class/hidraw: ") + std::strerror(errno);
    // The devices themselves, where the kernel puts them: a tmpfs over
    // /sys/devices, with the machine's own entries bound back in, and the
    // simulated ones below SIM_DEVICES (a browser's libudev follows
    // /sys/class/hidraw/hidrawN to a device under /sys/devices).
    std::string real_devices = scratch_dir() + "/real-sys-devices";
    fs::create_directories(real_devices);
    if (mount("/sys/devices", real_devices.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return std::string("binding /sys/devices: ") + std::strerror(errno);
    if (mount("tmpfs", "/sys/devices", "tmpfs", 0, "mode=0755") != 0)
        return std::string("tmpfs over /sys/devices: ") + std::strerror(errno);
    for (const auto &entry : fs::directory_iterator(real_devices)) {
        if (!entry.is_directory() || entry.is_symlink())
            continue;
        std::string target = "/sys/devices/" + entry.path().filename().string();
        fs::create_directory(target);
        if (mount(entry.path().c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return "binding " + target + ": " + std::strerror(errno);
    }
    fs::create_directory(SIM_DEVICES);
    // The serial ports of simulated boards get their sysfs entries here.
    if (!fs::is_directory("/sys/class/tty"))
        return "/sys/class/tty does not exist on this kernel";
    if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, "mode=0755") != 0)
        return std::string("tmpfs over /sys/class/tty: ") + std::strerror(errno);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return std::string("tmpfs over /dev: ") + std::strerror(errno);
    for (const char *node : {"null", "zero", "full", "random", "urandom", "fuse"}) {
        std::string target = std::string("/dev/") + node;
        std::ofstream(target).close();
        if (mount((real_dev + "/" + node).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "binding " + target + ": " + std::strerror(errno);
    }
    fs::create_directory_symlink("/proc/self/fd", "/dev/fd");
    // Pseudo-terminals of the bench's own, for what a person's terminal shows.
    fs::create_directory("/dev/pts");
    if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0)
        return std::string("devpts: ") + std::strerror(errno);
    fs::create_symlink("pts/ptmx", "/dev/ptmx");
    // A run as another user reads its HEX file from here.
    chmod(scratch_dir().c_str(), 0755);
    return "";
}

// Removes the simulated devices. Never outside the bench's own namespace:
// there these would be the machine's real devices.
void clear_bench(const std::string &problem)
{
    if (!problem.empty())
        return;
    for (const char *dir : {"/sys/class/hidraw", "/sys/class/tty", SIM_DEVICES}) {
        for (const auto &entry : fs::directory_iterator(dir))
            fs::remove_all(entry.path());
    }
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator("/dev")) {
        std::string name = entry.path().filename().string();
        if (!name.starts_with("hidraw") && !name.starts_with("ttyACM"))
            continue;
        umount2(entry.path().c_str(), MNT_DETACH);
        fs::remove(entry.path(), ignored);
    }
}

// One device level of the simulated sysfs: its folder, its uevent file and
// its subsystem link, as libudev reads them.
void make_sysfs_level(const std::string &dir, const char *subsystem, const std::string &uevent)
{
    fs::create_directories(dir);
    if (!fs::is_symlink(dir + "/subsystem"))
        fs::create_directory_symlink(subsystem, dir + "/subsystem");
    if (!fs::exists(dir + "/uevent"))
        std::ofstream(dir + "/uevent") << uevent;
}

// The USB interface of the board at this location (its USB device above
// it), made when missing.
std::string usb_interface_dir(const std::string &location)
{
    std::string usb = std::string(SIM_DEVICES) + "/usb1/" + location;
    make_sysfs_level(usb, "/sys/bus/usb", "DEVTYPE=usb_device\nDEVNAME=bus/usb/001/" + location + "\n");
    std::string interface = usb + "/" + location + ":1.0";
    make_sysfs_level(interface, "/sys/bus/usb", "DEVTYPE=usb_interface\nINTERFACE=3/0/0\n");
    return interface;
}

std::string node_path(int number)
{
    return "/dev/hidraw" + std::to_string(number);
}

Frame parse_hex(const std::string &text)
{
    Frame frame;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        frame.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return frame;
}

}  // namespace

const std::string &bench_problem()
{
    static const std::string problem = set_up_namespace();
    return problem;
}

void SimulatedBench::SetUp()
{
    if (!bench_problem().empty())
        GTEST_SKIP() << "SKIPPED: " << bench_problem();
    clear_bench(bench_problem());
}

void SimulatedBench::TearDown()
{
    stop_app();
    reset();
}

void SimulatedBench::reset()
{
    for (Device &device : devices_) {
        if (device.binder > 0)
            waitpid(device.binder, nullptr, 0);
        umount2(node_path(device.number).c_str(), MNT_DETACH);
        if (device.pid > 0) {
            kill(device.pid, SIGKILL);
            waitpid(device.pid, nullptr, 0);
        }
        // A killed simulator leaves its file system mounted, and dead.
        if (!device.mount_dir.empty())
            umount2(device.mount_dir.c_str(), MNT_DETACH);
    }
    devices_.clear();
    clear_bench(bench_problem());
}

void SimulatedBench::add_device(int number, uint32_t vendor_id, uint32_t product_id,
                                const SimOptions &options)
{
    // As in sysfs: /sys/class/hidraw/hidrawN links to the node's entry below
    // the HID device, below the USB interface and the USB device named by
    // the location (if any); hidrawN/device links back to the HID device.
    char hid_name[48];
    std::snprintf(hid_name, sizeof hid_name, "%04X:%04X:%04X.%04X", options.bus, vendor_id & 0xFFFF,
                  product_id & 0xFFFF, unsigned(number));
    const std::string hid_device =
        (*options.location ? usb_interface_dir(options.location) : std::string(SIM_DEVICES) + "/virtual") + "/" +
        hid_name;
    const std::string entry = hid_device + "/hidraw/hidraw" + std::to_string(number);
    fs::create_directories(hid_device);
    if (!fs::is_symlink(hid_device + "/subsystem"))
        fs::create_directory_symlink("/sys/bus/hid", hid_device + "/subsystem");
    make_sysfs_level(entry, "/sys/class/hidraw",
                     "MAJOR=240\nMINOR=" + std::to_string(number) + "\nDEVNAME=hidraw" + std::to_string(number) + "\n");
    if (!fs::is_symlink(entry + "/device"))
        fs::create_directory_symlink(hid_device, entry + "/device");
    const std::string class_entry = "/sys/class/hidraw/hidraw" + std::to_string(number);
    if (!fs::exists(class_entry))
        fs::create_directory_symlink(entry, class_entry);
    const std::string sys_dir = class_entry + "/device";
    char uevent[1024];
    std::snprintf(
        uevent, sizeof uevent,
        "DRIVER=hid-generic\nHID_ID=%04X:%08X:%08X\nHID_NAME=%s\nHID_PHYS=usb-0000:00:14.0-%d/input0\n"
        "HID_UNIQ=%s\nMODALIAS=hid:b%04Xg0001v%08Xp%08X\n",
        options.bus, vendor_id, product_id, options.name, number, options.serial, options.bus, vendor_id,
        product_id);
    // The device is seen (its uevent file read) only once its node is in
    // place, as the kernel makes the node before it announces the device:
    // a run must never open the placeholder file that the node is bound over.
    const std::string uevent_path = sys_dir + "/uevent";
    const std::string uevent_text = options.uevent ? options.uevent : uevent;
    if (!options.node || options.node_delay_ms > 0)
        std::ofstream(uevent_path) << uevent_text;
    if (!options.node)
        return;

    std::string tag = std::to_string(number) + "-" + std::to_string(devices_.size());
    Device device{number,
                  -1,
                  -1,
                  scratch_dir() + "/sim" + tag,
                  scratch_dir() + "/sim" + tag + ".log",
                  scratch_dir() + "/sim" + tag + ".flash"};
    fs::create_directories(device.mount_dir);
    fs::remove(device.log_path);
    char ids[32], mode[16];
    std::snprintf(
        ids, sizeof ids, "%04x:%04x",
        unsigned(options.ioctl_vendor_id || options.ioctl_product_id ? options.ioctl_vendor_id : vendor_id),
        unsigned(options.ioctl_vendor_id || options.ioctl_product_id ? options.ioctl_product_id
                                                                     : product_id));
    std::snprintf(mode, sizeof mode, "%o", unsigned(options.mode));
    std::vector<std::string> args{SIM_BOOTLOADER, device.mount_dir, device.log_path, device.flash_path,
                                  "--ids",        ids,          "--mode",        mode,
                                  "--descriptor-file", hid_device + "/report_descriptor"};
    for (auto [option, value] :
         {std::pair{"--stall-after", options.stall_after}, std::pair{"--unplug-after", options.unplug_after},
          std::pair{"--report-delay-us", options.report_delay_us},
          std::pair{"--in-flight-error", long(options.in_flight_error)},
          std::pair{"--queued", options.queued}, std::pair{"--write-timeout-ms", options.write_timeout_ms},
          std::pair{"--open-error", long(options.open_error)}}) {
        args.push_back(option);
        args.push_back(std::to_string(value));
    }
    if (options.ignore_interrupts)
        args.push_back("--ignore-interrupts");
    if (options.keyboard)
        args.push_back("--keyboard");
    if (options.small_reports)
        args.push_back("--small-reports");
    device.pid = fork();
    if (device.pid == 0) {
        exec_program(args);
    }
    devices_.push_back(device);
    // Wait until the simulator's file system is mounted, then bind its file
    // over the device node.
    for (int i = 0; i < 500 && read_whole_file(device.log_path).find("ready\n") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(read_whole_file(device.log_path).find("ready\n"), std::string::npos)
        << "simulator did not start: " << read_whole_file(device.log_path);
    std::string node = node_path(number);
    if (options.node_delay_ms > 0) {
        // As udev makes the node a while after the device is bound.
        devices_.back().binder = fork();
        if (devices_.back().binder == 0) {
            usleep(useconds_t(options.node_delay_ms * 1000));
            close(open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
            _exit(mount((device.mount_dir + "/hidraw").c_str(), node.c_str(), nullptr, MS_BIND, nullptr));
        }
        return;
    }
    std::ofstream(node).close();
    ASSERT_EQ(mount((device.mount_dir + "/hidraw").c_str(), node.c_str(), nullptr, MS_BIND, nullptr), 0)
        << node << ": " << std::strerror(errno);
    std::ofstream(uevent_path + ".new") << uevent_text;
    fs::rename(uevent_path + ".new", uevent_path);
}

SimResult SimulatedBench::unplug(int number)
{
    SimResult result = finish(number);
    std::error_code error;
    const std::string class_entry = "/sys/class/hidraw/hidraw" + std::to_string(number);
    std::string hid_device = fs::canonical(class_entry + "/device", error).string();
    fs::remove(class_entry, error);
    if (!hid_device.empty() && hid_device.starts_with(SIM_DEVICES))
        fs::remove_all(hid_device, error);
    fs::remove(node_path(number), error);
    return result;
}

SimResult SimulatedBench::after_start_application(int number, const char *location, const AfterStart &after,
                                                  double &taken_at)
{
    taken_at = -1;
    std::string log_path;
    for (const Device &device : devices_)
        if (device.number == number && device.pid > 0)
            log_path = device.log_path;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (taken_at < 0 && !log_path.empty() && std::chrono::steady_clock::now() < give_up) {
        std::istringstream log(read_whole_file(log_path));
        for (std::string line; std::getline(log, line);) {
            std::istringstream fields(line);
            std::string kind, hex;
            long index = 0, microseconds = 0;
            if (fields >> kind >> index >> microseconds >> hex && kind == "frame" &&
                commands_of({parse_hex(hex)}) == std::vector<int>{7})
                taken_at = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        }
        if (taken_at < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (taken_at < 0 || after.leave_after < 0)
        return SimResult{};
    std::this_thread::sleep_for(std::chrono::duration<double>(after.leave_after));
    SimResult seen = unplug(number);
    const std::string usb = std::string(SIM_DEVICES) + "/usb1/" + location;
    std::error_code error;
    fs::remove_all(usb, error);
    if (after.appear_after < 0)
        return seen;
    std::this_thread::sleep_for(std::chrono::duration<double>(after.appear_after));
    // Made whole beside it, then renamed into place: a run sees all of it or nothing.
    const std::string staging = std::string(SIM_DEVICES) + "/usb1/.new-" + location;
    fs::remove_all(staging, error);
    make_sysfs_level(staging, "/sys/bus/usb", "DEVTYPE=usb_device\nDEVNAME=bus/usb/001/099\n");
    char ids[16];
    for (auto [name, value] : {std::pair{"idVendor", after.vendor_id}, std::pair{"idProduct", after.product_id}}) {
        std::snprintf(ids, sizeof ids, "%04x\n", unsigned(value));
        std::ofstream(staging + "/" + name) << ids;
    }
    std::ofstream(staging + "/devnum") << "99\n";
    if (*after.product)
        std::ofstream(staging + "/product") << after.product << "\n";
    if (*after.serial)
        std::ofstream(staging + "/serial") << after.serial << "\n";
    fs::rename(staging, usb, error);
    return seen;
}

void SimulatedBench::set_mode(int number, mode_t mode)
{
    ASSERT_EQ(chmod(node_path(number).c_str(), mode), 0) << std::strerror(errno);
}

void SimulatedBench::set_owner(int number, uid_t owner, gid_t group)
{
    ASSERT_EQ(chown(node_path(number).c_str(), owner, group), 0) << std::strerror(errno);
}

SimResult SimulatedBench::finish(int number)
{
    SimResult result;
    for (Device &device : devices_) {
        if (device.number != number || device.pid <= 0)
            continue;
        if (device.binder > 0)
            waitpid(std::exchange(device.binder, -1), nullptr, 0);
        umount2(node_path(number).c_str(), MNT_DETACH);
        kill(device.pid, SIGTERM);
        waitpid(device.pid, nullptr, 0);
        device.pid = -1;
        std::istringstream log(read_whole_file(device.log_path));
        std::string kind;
        while (log >> kind) {
            std::string rest;
            std::getline(log, rest);
            std::istringstream fields(rest);
            long index = 0, microseconds = 0;
            std::string hex;
            if (kind == "frame") {
                fields >> index >> microseconds >> hex;
                result.frames.push_back(parse_hex(hex));
                result.seconds.push_back(double(microseconds) / 1e6);
            } else if (kind == "queued") {
                ++result.queued;
            } else if (kind == "timed-out") {
                fields >> index >> microseconds;
                result.timed_out.push_back(double(microseconds) / 1e6);
            } else if (kind == "held" || kind == "refused") {
                fields >> index >> hex;
                (kind == "held" ? result.held : result.refused).push_back(parse_hex(hex));
            } else if (kind == "interrupted") {
                fields >> index >> microseconds;
                result.interrupted.push_back(double(microseconds) / 1e6);
            } else if (kind == "started") {
                fields >> microseconds;
                result.started_at = double(microseconds) / 1e6;
            } else if (kind == "error") {
                result.errors.push_back(rest);
            }
        }
        std::string flash = read_whole_file(device.flash_path);
        result.flash.assign(flash.begin(), flash.end());
    }
    return result;
}

std::string SimulatedBench::public_binary()
{
    std::string copy = scratch_dir() + "/quorvel";
    fs::copy_file(QUORVEL_BINARY, copy, fs::copy_options::overwrite_existing);
    chmod(copy.c_str(), 0755);
    return copy;
}

void SimulatedBench::start_app(const AppOptions &options)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string terminal = ptsname(master);
    std::ofstream(options.port).close();
    ASSERT_EQ(mount(terminal.c_str(), options.port, nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    if (*options.location) {
        // As in sysfs: the tty's entry, with its device number, and its
        // device link to the USB interface of the board.
        struct stat node {};
        ASSERT_EQ(stat(terminal.c_str(), &node), 0);
        std::string entry = "/sys/class/tty/" + fs::path(options.port).filename().string();
        std::string interface = usb_interface_dir(options.location);
        fs::create_directories(entry);
        std::ofstream(entry + "/dev") << major(node.st_rdev) << ':' << minor(node.st_rdev) << '\n';
        fs::create_directory_symlink(interface, entry + "/device");
    }
    app_stop_ = false;
    app_touched_at_ = app_presented_at_ = -1;
    app_ = std::thread(&SimulatedBench::run_app, this, master, options);
}

static double seconds_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SimulatedBench::run_app(int master, AppOptions options)
{
    // The application watches its port: the baud rate that the other side
    // set (a pseudo-terminal's settings are those of its other side), and
    // the hang-up when the last one who opened it closes it.
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (app_stop_) {
            close(master);
            return;
        }
        termios settings{};
        pollfd hang_up{master, 0, 0};
        if (tcgetattr(master, &settings) == 0 && cfgetospeed(&settings) == B1200 &&
            poll(&hang_up, 1, 0) == 1 && (hang_up.revents & POLLHUP))
            break;
    }
    app_touched_at_ = seconds_now();
    umount2(options.port, MNT_DETACH);
    fs::remove(options.port);
    fs::remove_all("/sys/class/tty/" + fs::path(options.port).filename().string());
    close(master);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.reenumerate_seconds));
    if (options.bootloader >= 0) {
        SimOptions bootloader;
        bootloader.location = options.location;
        add_device(options.bootloader, 0x5e1a, 0x0001, bootloader);
        app_presented_at_ = seconds_now();
    }
}

void SimulatedBench::stop_app()
{
    app_stop_ = true;
    if (app_.joinable())
        app_.join();
}

double SimulatedBench::finish_app(double &presented_at)
{
    stop_app();
    presented_at = app_presented_at_;
    return app_touched_at_;
}

std::vector<int> commands_of(const std::vector<Frame> &frames)
{
    std::vector<int> commands;
    for (const Frame &frame : frames)
        commands.push_back(frame.size() > 2 ? frame[2] : -1);
    return commands;
}

BackgroundRun start_quorvel(const std::vector<std::string> &arguments)
{
    static int runs = 0;
    BackgroundRun run;
    std::string stem = scratch_dir() + "/background-" + std::to_string(++runs);
    run.out_path = stem + ".out";
    run.err_path = stem + ".err";
    std::vector<std::string> argv{QUORVEL_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    run.pid = fork();
    if (run.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        exec_program(argv);
    }
    return run;
}

BackgroundRun::BackgroundRun(BackgroundRun &&other) noexcept
    : pid(other.pid), out_path(std::move(other.out_path)), err_path(std::move(other.err_path))
{
    other.pid = -1;
}

BackgroundRun &BackgroundRun::operator=(BackgroundRun &&other) noexcept
{
    if (this != &other) {
        end_background_run(*this);
        pid = other.pid;
        out_path = std::move(other.out_path);
        err_path = std::move(other.err_path);
        other.pid = -1;
    }
    return *this;
}

BackgroundRun::~BackgroundRun()
{
    end_background_run(*this);
}

void end_background_run(BackgroundRun &run)
{
    if (run.pid <= 0)
        return;
    kill(run.pid, SIGKILL);
    int status = 0;
    while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.pid = -1;
}

ProcessResult finish_quorvel(BackgroundRun &run, double limit_seconds)
{
    ProcessResult result;
    int status = 0;
    if (limit_seconds > 0 && run.pid > 0)
        kill_after(limit_seconds)(run.pid);
    const pid_t pid = run.pid;
    run.pid = -1;  // reaped below, or not a child at all: nothing for the guard to end
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_whole_file(run.out_path);
    result.err = read_whole_file(run.err_path);
    return result;
}

WhileRunning kill_after(double seconds)
{
    return [seconds](int pid) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        siginfo_t info{};
        while (std::chrono::steady_clock::now() < deadline) {
            // Looks without reaping: the runner waits for the process itself.
            if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
    };
}

SimOptions numbered_board(int number, long stall_after)
{
    static std::vector<std::string> serials(16);
    serials[size_t(number)] = "QV-" + std::to_string(number);
    SimOptions options;
    options.report_delay_us = 1000;
    options.serial = serials[size_t(number)].c_str();
    options.stall_after = stall_after;
    return options;
}
