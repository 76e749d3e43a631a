// HID transport: finds the bootloader's HID interface by USB vendor and
// product ID, keeps it open as the process's one current device and writes
// output reports to it, each with a time limit. It prints nothing.
//
// search.cpp holds what every platform shares: the search over the listed
// interfaces and the record of the last open (device_choice,
// device_open_error, device_open_failure); send_failure.cpp the last
// write's failure. Two files per platform do the rest:
// enumerate_<platform>.cpp lists the present interfaces (device_list),
// hid_device_<platform>.cpp opens, writes and closes the current device;
// over the kernel's hidraw interface and sysfs on Linux, over SetupAPI and
// the HID class library on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Largest report a caller may pass: the write buffer holds the report ID too.
inline constexpr size_t HID_MAX_REPORT = 1039;

// A present HID interface.
struct HidDeviceInfo {
    std::string path;  // what device_open_path() takes: /dev/hidrawN on Linux
    uint32_t vendor_id;
    uint32_t product_id;
    std::string name;      // the product name, where the system gives one
    std::string serial;    // the USB serial number, where the device has one
    std::string location;  // where it is plugged in: "1-2.3" (bus 1, port 2, hub port 3) on Linux,
                           // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)" on Windows
    // This plug-in of the device, where the system can tell one from the
    // next at the same path: on Linux the identity of its sysfs entry (the
    // kernel makes a new one for each device, even when the new device gets
    // the node number of one that left); "" where the system cannot tell
    // (Windows), so that only the path tells boards apart.
    std::string plug;
};

// Which present interfaces a search may open.
struct DeviceFilter {
    bool match_ids;  // with these IDs; else any, but then only one that takes the bootloader's reports
    uint32_t vendor_id;
    uint32_t product_id;
    const char *serial;    // this serial number exactly; null: any
    const char *location;  // this location exactly; null: any
};

// Whether the filter lets this interface through.
inline bool device_filter_passes(const DeviceFilter &filter, const HidDeviceInfo &info)
{
    return (!filter.match_ids ||
            (info.vendor_id == filter.vendor_id && info.product_id == filter.product_id)) &&
           (!filter.serial || info.serial == filter.serial) &&
           (!filter.location || info.location == filter.location);
}

// Every present HID interface, in the order in which device_open() tries
// them. Opens nothing.
std::vector<HidDeviceInfo> device_list();

// Nothing is ever written to a device before the open descriptor (or
// handle) itself has answered as a HID device, with its IDs: a path that
// names a file, a disk, a terminal or any other device is refused.

// Opens the HID interface at this path. With check_ids, the IDs it answers
// with must be these; without, it must take the bootloader's reports (one
// 64-byte output report without report IDs). Returns 1 when it was opened,
// else 0.
int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id);

// Opens the first present HID interface that the filter lets through
// (closing any current device first); the opened device must answer with
// the IDs it was found by. Returns 1 when one was opened, else 0.
int device_open(const DeviceFilter &filter);

// The matching devices that the last device_open or device_open_path could
// not use, one line each, naming the device and the reason
// ("/dev/hidraw3: Permission denied"); empty when there were none. When the
// open failed, this says why; when it succeeded, what was passed over first.
const char *device_open_error();

// Why the last device_open or device_open_path failed; device_open_error()
// holds the text for people. A failed search is absent when nothing
// matched, busy when only boards that other runs hold were left; else it
// has the kind of the first device passed over (HID_OPEN_OTHER for a
// listed device whose node is gone).
enum HidOpenError {
    HID_OPEN_NONE = 0,              // it opened
    HID_OPEN_ABSENT,                // nothing there: no interface with the IDs, nothing at the path
    HID_OPEN_BUSY,                  // another quorvel run holds the board
    HID_OPEN_NOT_HID,               // the node is no HID device, or answers with other IDs
    HID_OPEN_NOT_BOOTLOADER_SHAPE,  // a HID device that does not take the bootloader's reports
    HID_OPEN_NO_PERMISSION,         // the system does not let this user open it
    HID_OPEN_OTHER,                 // the system refused it for another reason
    HID_OPEN_BUSY_LEFT_WRITE,       // held until the kernel ends a write that an ended run gave up on
};
HidOpenError device_open_failure();

// 1 when the last device_open or device_open_path failed because nothing
// was there at all (no interface with the IDs, nothing at the path), so
// that waiting for the device to appear makes sense.
int device_absent();

// Only one quorvel run at a time may write to a board: an open takes the
// board for this run (until device_close) before anything is written, and a
// board that another run holds is not used. 1 when the last device_open or
// device_open_path failed because of that (for device_open: no other
// matching device could be used); device_open_error() then is one line,
// "PATH is being written by another quorvel run", or, for a board held
// only until the kernel ends a write that an ended run gave up on
// (device_open_failure() is HID_OPEN_BUSY_LEFT_WRITE), "PATH is still taken
// while the system finishes ...".
int device_busy();

// 1 when another quorvel run holds the device at this path. Opens nothing.
int device_in_use(const char *path);

// A station keeps each board that it writes taken from before its copy
// starts until the board leaves the bus, so that no other run writes it
// meanwhile. device_hold takes the board at this path without writing to
// it: 1 with `held` set (a descriptor, for device_let_go and for the copy
// to inherit), 0 when another run holds it, -1 when it cannot be held (it
// cannot be opened; on Windows, always: there each copy takes the board
// itself).
int device_hold(const char *path, int &held);
void device_let_go(int held);

// 1 where device_hold can hold a board at all (Linux), 0 where it never
// does (Windows).
int device_holds();

// For a board's copy: the run that started it holds the board's lock on
// this inherited descriptor (-board-lock=N). A board whose lock that
// descriptor holds, on the very node opened, counts as taken by this run.
void device_use_held_lock(int fd);

// Whether this listed device may take the bootloader's reports: 0 when it
// opens as a HID device whose reports are not the bootloader's (a
// keyboard), else 1 (also when it cannot be opened, so that its own run
// says why). Takes nothing and leaves the current device open.
int device_may_take_bootloader_reports(const HidDeviceInfo &info);

// The device that the last successful open chose.
struct DeviceChoice {
    std::string path;
    uint32_t vendor_id;
    uint32_t product_id;
    int matching;        // present interfaces that the filter let through; 0 after device_open_path
    std::string serial;  // as device_list() gives them, after a search
    std::string location;
};
const DeviceChoice &device_choice();

// Writes report ID 0 followed by `length` bytes to the current device
// within its time limit, counted from when its write began: a play of one
// step (see device_play, which an upload uses). Returns 1 when it was
// delivered whole, 0 when it was not (also without a current device, or
// for a report longer than PLAY_REPORT on Linux, HID_MAX_REPORT elsewhere).
// Past the limit it returns at once, even where the system is still busy
// with the write (a hidraw write cannot be cut short): the board stays
// taken until the system has ended it, and nothing more can be sent.
int device_send(const uint8_t *data, size_t length, double timeout_seconds);

// Each report has been delivered or not when device_send returns: 1.
int device_drain();

// How the last device_send or device_drain failed; device_send_error()
// holds the text for people.
enum HidWriteError {
    HID_WRITE_NONE = 0,   // nothing failed
    HID_WRITE_LATE,       // "no answer within 50 ms": the board stopped answering
    HID_WRITE_GONE,       // "the device is gone (...)": unplugged, or reset itself
    HID_WRITE_UNPLUGGED,  // "the board stopped answering or was unplugged mid-transfer (...)"
    HID_WRITE_OTHER,      // the system's error text, a short write, no device open
    HID_WRITE_HOST_STALLED,  // this computer did not even start the write in time: not the board's fault
};
HidWriteError device_send_failure();

// Why the last device_send or device_drain failed, as the kind above says.
const char *device_send_error();

// A whole upload, handed over at once: each step is one report with its
// time limit and the pause that follows its delivery. Where the writes go
// through a process of their own (Linux), that process plays the steps one
// after the other with nothing in between, while this one only watches
// the clock; elsewhere they are written here, one by one.
inline constexpr size_t PLAY_REPORT = 64;
inline constexpr int PLAY_MAX_STEPS = 8200;  // a 64 KiB image in blocks of 32 bytes, and the commands around it

struct PlayStep {
    uint8_t report[PLAY_REPORT];  // without the report ID
    uint32_t length;              // at most PLAY_REPORT
    uint32_t limit_ms;            // counted from the start of its write
    double pause_after;           // seconds, once it is delivered
};

// What device_play tells and asks while the steps go out. Both run in this
// process, in order, between two looks at the writes.
struct PlayWatch {
    void (*delivered)(int steps);  // this many steps (from the first) have been delivered whole
    int (*stop_requested)();       // a stop signal that came, or 0; null: nothing stops
    // How often at least `delivered` is wanted while the steps go out, for
    // what the run shows as it goes; 0 when nothing is shown before the end,
    // so that the run wakes only when a limit is due, a stop signal comes or
    // the play ends.
    long long show_every_ns;
    // A descriptor that polls readable while a stop waits to be taken by
    // `stop_requested`, so that a run asleep between two looks wakes for
    // it; -1 when there is none (then the run looks for a stop as often as
    // it would show).
    int stop_wakeup;
};

enum PlayOutcome {
    PLAY_DONE,     // every step delivered and paused after
    PLAY_FAILED,   // step `at` was not delivered (device_send_failure says why); none after it was written
    PLAY_STOPPED,  // stopped by `signal` before step `at`, every step before it delivered
};

struct PlayEnd {
    PlayOutcome outcome;
    int at;
    int signal;
};

// Room for `count` steps, to fill in and hand to device_play without a
// copy (on Linux, the memory that the writer process reads); null when
// there is no current device or `count` is more than PLAY_MAX_STEPS. It
// stays the caller's until the next device_play_room.
PlayStep *device_play_room(int count);

// Writes the steps to the current device, each within its limit, and
// pauses after each as it says. A step is never started once a stop was
// requested (the steps before it are delivered first), nor after a step
// that failed. Past a limit it returns at once, even where the system is
// still busy with the write: the board stays taken until the system has
// ended it, and nothing more can be sent.
PlayEnd device_play(const PlayStep *steps, int count, const PlayWatch &watch);

// Closes the current device, if there is one. A report handed over and not
// yet waited for by device_send or device_drain may be dropped unwritten.
void device_close();
