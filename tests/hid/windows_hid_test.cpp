// The Windows transport against the HID devices that the system has. Under
// wine these are its virtual mouse and keyboard (845e:0001 and 845e:0002).
#include "hid/device_lock_windows.h"
#include "hid/hid_device.h"
#include "hid/hid_device_windows.h"
#include "image/sha256.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <sstream>
#include <thread>

#include <windows.h>

namespace {

TEST(WindowsHid, NoDeviceBeforeOpenOrAfterClose)
{
    const std::array<uint8_t, 64> report{0xA1, 0x01};
    EXPECT_EQ(device_send(report.data(), report.size(), 0.05), 0);
    // IDs that no device here has.
    EXPECT_EQ(device_open(DeviceFilter{true, 0x5E1A, 0x7F7F, nullptr, nullptr}), 0);
    EXPECT_STREQ(device_open_error(), "");
    EXPECT_EQ(device_send(report.data(), report.size(), 0.05), 0);
    device_close();
    EXPECT_EQ(device_send(report.data(), report.size(), 0.05), 0);
}

TEST(WindowsHid, ListingHasSixFieldsPerDevice)
{
    ProcessResult run = run_quorvel({"-usb=845e:0001", "-list"});
    EXPECT_EQ(run.status, 0);
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "No HID devices found")
            continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        ASSERT_GE(fields.size(), 4u) << line;
        EXPECT_LE(fields.size(), 6u) << line;  // the serial number and the location may be empty
        EXPECT_EQ(fields[1].size(), 9u) << line;
        EXPECT_EQ(fields[2], fields[1] == "845e:0001" ? "match" : "-") << line;
    }
    std::cout << "listing:\n" << run.out;
}

// Every present device: the search opens it by its IDs only when it takes
// the bootloader's reports, and else names it; a write to it either is
// delivered or fails within its time limit. Never a hang, never a crash.
TEST(WindowsHid, WritesToPresentDevicesEndWithinTheLimit)
{
    for (const HidDeviceInfo &device : device_list()) {
        SCOPED_TRACE(device.path);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned(device.vendor_id), unsigned(device.product_id));
        if (device_open(DeviceFilter{true, device.vendor_id, device.product_id, nullptr, nullptr})) {
            device_close();
        } else {
            std::cout << device.path << ": not opened: " << device_open_error() << "\n";
            EXPECT_NE(std::string(device_open_error()).find(device.path + " (" + ids + ")"),
                      std::string::npos);
        }

        const std::array<uint8_t, 64> report{0xA1, 0x06};
        HANDLE handle =
            CreateFileA(device.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            auto started = std::chrono::steady_clock::now();
            int delivered = hid_write_report(handle, report.data(), report.size(), 50);
            double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            EXPECT_LT(seconds, 1.0);
            std::cout << device.path << ": 65-byte write " << (delivered ? "delivered" : "not delivered")
                      << " after " << seconds * 1000 << " ms\n";
            CloseHandle(handle);
        }

        ProcessResult run = run_quorvel({"-mmcu=atmega32u4", std::string("-usb=") + ids, example_hex_path()});
        std::cout << "quorvel -usb=" << ids << ": status " << run.status << ", " << run.err;
        EXPECT_TRUE((run.status == 0 && run.err == "\nDone.\n\n") ||
                    (run.status == 1 && (run.err.starts_with("Error writing to device\n") ||
                                         run.err.starts_with("Unable to open device\n"))))
            << run.status << " " << run.err;
        EXPECT_LT(run.seconds, 10.0);
    }
}

// The overlapped write, its wait, time-out and cancellation, against a named
// pipe: a reader that takes a report lets it be delivered, and with nobody
// reading, the write that cannot complete fails at its time limit. (A pipe
// is no HID device, so it is opened here, not through device_open_path.)
TEST(WindowsHid, OverlappedWriteIsDeliveredOrCancelledAtTheLimit)
{
    const char *name = "\\\\.\\pipe\\quorvel-transport-test";
    HANDLE server =
        CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);

    std::array<uint8_t, 64> report{0xA1, 0x04, 0x5A};
    std::array<uint8_t, 65> received{};
    DWORD got = 0;
    std::thread reader([&] { ReadFile(server, received.data(), DWORD(received.size()), &got, nullptr); });
    EXPECT_EQ(hid_write_report(client, report.data(), report.size(), 1000), 1);
    reader.join();
    EXPECT_EQ(got, 65u);
    EXPECT_EQ(received[0], 0x00);  // report ID
    EXPECT_EQ(received[1], 0xA1);
    EXPECT_EQ(received[3], 0x5A);

    int delivered = 0;
    double seconds = 0;
    while (delivered < 10000) {
        auto started = std::chrono::steady_clock::now();
        int ok = hid_write_report(client, report.data(), report.size(), 50);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!ok)
            break;
        ++delivered;
    }
    std::cout << "pipe took " << delivered << " unread reports; the next failed after " << seconds * 1000
              << " ms: " << device_send_error() << "\n";
    EXPECT_LT(delivered, 10000);
    EXPECT_GE(seconds, 0.045);
    EXPECT_LT(seconds, 1.0);
    EXPECT_STREQ(device_send_error(), "no answer within 50 ms");
    CloseHandle(client);
    CloseHandle(server);
}

// -device= writes only to a handle that answers as a HID device (and with
// the IDs of -usb= when given): a file or a pipe is refused untouched.
TEST(WindowsHid, DevicePathMustBeAHidDevice)
{
    const std::string notes = write_scratch_file("notes.txt", "my notes\n");
    const char *pipe_name = "\\\\.\\pipe\\quorvel-not-a-device";
    for (const std::string &path : {notes, std::string(pipe_name)}) {
        for (const char *ids : {"-usb=5e1a:1", "-v"}) {
            // A pipe instance takes one client: a fresh one for each run.
            HANDLE server = CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0,
                                             0, 0, nullptr);
            ASSERT_NE(server, INVALID_HANDLE_VALUE);
            ProcessResult run = run_quorvel({"-mmcu=atmega32u4", ids, "-device=" + path, example_hex_path()});
            CloseHandle(server);
            EXPECT_EQ(run.status, 1) << path;
            EXPECT_EQ(run.err, "Unable to open device\n" + path + " is not a HID device\n\n");
        }
    }
    EXPECT_EQ(read_whole_file(notes), "my notes\n");

    // A real HID device with other IDs than -usb= names, and, named by its
    // path alone, one that does not take the bootloader's 64-byte reports
    // (wine's mouse and keyboard take no output reports at all).
    for (const HidDeviceInfo &device : device_list()) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned(device.vendor_id), unsigned(device.product_id));
        ProcessResult other =
            run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:7f7f", "-device=" + device.path, example_hex_path()});
        EXPECT_EQ(other.status, 1);
        EXPECT_EQ(other.err,
                  "Unable to open device\n" + device.path + " has IDs " + ids + ", not 5e1a:7f7f\n\n");
        ProcessResult alone = run_quorvel({"-mmcu=atmega32u4", "-device=" + device.path, example_hex_path()});
        EXPECT_EQ(alone.status, 1);
        EXPECT_EQ(alone.err,
                  "Unable to open device\n" + device.path + " (" + ids +
                      ") is a HID device that does not take the bootloader's 64-byte reports; if it "
                      "is the bootloader, name its IDs with -usb=\n\n");
        // Named by its IDs too, by path or by a search, it is still not the bootloader's collection.
        const std::string refused = "Unable to open device\n" + device.path + " (" + ids +
                                    ") does not take the bootloader's 64-byte reports: ";
        for (const std::string &named : {"-device=" + device.path, std::string("-v")}) {
            ProcessResult run =
                run_quorvel({"-mmcu=atmega32u4", std::string("-usb=") + ids, named, example_hex_path()});
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(run.err.starts_with(refused)) << run.err;
        }
    }
}

// One writer per board: while this process holds one of the system's
// devices, other runs see it busy in -list. (Writing to a busy board is
// refused before the lock is asked for wine's devices: they do not take the
// bootloader's reports.)
TEST(WindowsHid, HeldDeviceIsBusyToOtherRuns)
{
    std::vector<HidDeviceInfo> devices = device_list();
    if (devices.empty())
        GTEST_SKIP() << "SKIPPED: no HID device present yet";
    const HidDeviceInfo &device = devices.front();
    ASSERT_EQ(lock_board(device.path.c_str()), 1);
    ProcessResult held_list = run_quorvel({"-list"});
    unlock_board();
    ProcessResult free_list = run_quorvel({"-list"});
    std::cout << "-list while held:\n" << held_list.out << "-list after:\n" << free_list.out;

    auto listed_busy = [&](const std::string &out) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with(device.path + "\t"))
                return line.ends_with("\tbusy");
        ADD_FAILURE() << device.path << " is not listed:\n" << out;
        return false;
    };
    EXPECT_TRUE(listed_busy(held_list.out));
    EXPECT_FALSE(listed_busy(free_list.out));
}

TEST(WindowsHid, SearchForAbsentIdsOpensNothing)
{
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:7f7f", example_hex_path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with("Unable to open device\nNo HID device with the IDs 5e1a:7f7f is present"))
        << run.err;

    // A bounded wait ends at its limit.
    ProcessResult waited = run_quorvel({"-w=0.5", "-mmcu=atmega32u4", "-usb=5e1a:7f7f", example_hex_path()});
    EXPECT_EQ(waited.status, 1);
    EXPECT_EQ(waited.err, "Unable to open device\nNo HID device with the IDs 5e1a:7f7f appeared in 0.5 s of "
                          "waiting: is the board in its bootloader? (see quorvel -list)\n\n");
    EXPECT_GE(waited.seconds, 0.5);

    // -touch= with no such serial port looks for a board in its bootloader.
    ProcessResult touched =
        run_quorvel({"-touch=COM87", "-w=0.5", "-mmcu=atmega32u4", "-usb=5e1a:7f7f", example_hex_path()});
    EXPECT_EQ(touched.status, 1);
    EXPECT_NE(touched.out.find("There is no serial port COM87: looking for a board in its bootloader\n"),
              std::string::npos)
        << touched.out;
    EXPECT_EQ(touched.err,
              "Unable to open device\nThere is no serial port COM87, and no HID device with the IDs "
              "5e1a:7f7f appeared in 0.5 s: is the board plugged in? (see quorvel -list)\n\n");
}

}  // namespace

namespace {

// -list -json, and -all running one copy of quorvel per board, on wine's
// devices: each copy fails on its own (wine's mouse takes no reports) and
// the summary says so.
TEST(WindowsHid, JsonListAndEveryBoardAtOnce)
{
    ProcessResult listed = run_quorvel({"-json", "-usb=845e:0001", "-list"});
    EXPECT_EQ(listed.status, 0);
    if (device_list().empty()) {
        // Wine's virtual devices come up a while after a new prefix starts.
        EXPECT_EQ(listed.out, "[]\n");
        GTEST_SKIP() << "SKIPPED: no HID device present yet";
    }
    EXPECT_TRUE(listed.out.starts_with("[{\"path\":")) << listed.out;
    EXPECT_NE(listed.out.find("\"vendor_id\":\"845e\",\"product_id\":\"0001\",\"match\":true"),
              std::string::npos)
        << listed.out;
    std::cout << "-list -json: " << listed.out;

    ProcessResult all = run_quorvel({"-all", "-mmcu=atmega32u4", "-usb=845e:0001", example_hex_path()});
    std::cout << "-all: status " << all.status << "\n" << all.out << all.err;
    EXPECT_EQ(all.status, 1);
    // Wine's mouse takes no output reports: its copy names it and writes nothing.
    EXPECT_NE(all.out.find("\tUnable to open device: \\\\?\\hid#vid_845e&pid_0001"), std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find(" (845e:0001) does not take the bootloader's 64-byte reports: it takes no output "
                           "reports\n"),
              std::string::npos)
        << all.out;
    // Wine's devices have no location: the retry names the path.
    EXPECT_NE(all.err.find("\n1 of 1 boards failed\nFailed: "), std::string::npos) << all.err;
    EXPECT_NE(all.err.find(" (-device="), std::string::npos) << all.err;
    EXPECT_TRUE(all.err.ends_with(" in place of -all\n\n")) << all.err;

    // With -json, every line is one JSON object, each with one line end (the
    // console's "\r\n": a second "\r" would be left here).
    ProcessResult events =
        run_quorvel({"-all", "-json", "-mmcu=atmega32u4", "-usb=845e:0001", example_hex_path()});
    EXPECT_EQ(events.out.find('\r'), std::string::npos) << events.out;
    std::istringstream lines(events.out);
    int objects = 0;
    for (std::string line; std::getline(lines, line); ++objects)
        EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
    EXPECT_GE(objects, 2) << events.out;  // the board's error event, the summary

    // A station takes wine's mouse as the one board it is to program, and
    // its log line names the firmware by the file's SHA-256.
    const std::string log = scratch_dir() + "\\station.log";
    ProcessResult station =
        run_quorvel({"-station=1", "-log=" + log, "-mmcu=atmega32u4", "-usb=845e:0001", example_hex_path()});
    std::cout << "-station=1: status " << station.status << "\n" << station.out << station.err;
    EXPECT_EQ(station.status, 1);
    EXPECT_NE(station.err.find("\nStation ended after "), std::string::npos) << station.err;
    nlohmann::json line = nlohmann::json::parse(read_whole_file(log), nullptr, false);
    EXPECT_EQ(line["sha256"], sha256_of(read_whole_file(example_hex_path()))) << line;
    EXPECT_TRUE(std::string(line.value("result", "")).starts_with("Unable to open device")) << line;
}

}  // namespace

namespace {

std::wstring wide(const std::string &utf8)
{
    std::wstring text(utf8.size(), L'\0');
    text.resize(size_t(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), int(text.size()))));
    return text;
}

// A HEX file, a working folder and an installed quorvel.exe whose names are
// outside every ANSI code page but UTF-8 (Cyrillic and CJK): made with the
// wide calls, so that only quorvel's own handling of the names is tested.
TEST(WindowsHid, NamesInAnyLanguage)
{
    ASSERT_EQ(GetACP(), UINT(CP_UTF8)) << "the tests need quorvel's manifest to pass UTF-8 names";
    const std::string folder = scratch_dir() + "\\Прошивка 固件";
    const std::string hex_name = "мигалка-点滅.hex", hex = folder + "\\" + hex_name;
    const std::string installed = folder + "\\quorvel.exe";
    CreateDirectoryW(wide(folder).c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(wide(example_hex_path()).c_str(), wide(hex).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(wide(QUORVEL_BINARY).c_str(), wide(installed).c_str(), FALSE));

    // By its full name, and by its name alone in the working folder.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(wide(folder).c_str()));
    ProcessResult relative = run_quorvel({"-n", "-v", "-mmcu=atmega32u4", hex_name});
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(relative.status, 0) << relative.err;
    EXPECT_NE((relative.out + relative.err).find("Read \"" + hex_name + "\": 228 bytes"), std::string::npos)
        << relative.out << relative.err;
    ProcessResult absolute = run_quorvel({"-n", "-mmcu=atmega32u4", hex});
    EXPECT_EQ(absolute.status, 0) << absolute.err;
    ProcessResult missing = run_quorvel({"-n", "-mmcu=atmega32u4", folder + "\\нет-无.hex"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.starts_with("error reading intel hex file \"" + folder + "\\нет-无.hex\""))
        << missing.err;

    // A real run reads the file and gets as far as the device; with -all, the
    // copies of a quorvel.exe installed there start and do the same.
    ProcessResult real = run_quorvel({"-mmcu=atmega32u4", "-usb=845e:0001", hex});
    EXPECT_EQ(real.status, 1);
    EXPECT_TRUE(real.err.starts_with("Unable to open device\n")) << real.err;
    if (device_list().empty())
        GTEST_SKIP() << "SKIPPED: no HID device present yet for -all";
    ProcessResult all = run_process({installed, "-all", "-json", "-mmcu=atmega32u4", "-usb=845e:0001", hex});
    std::cout << "-all from " << installed << ":\n" << all.out;
    EXPECT_EQ(all.status, 1);
    EXPECT_NE(all.out.find("\"event\":\"error\",\"message\":\"Unable to open device\""), std::string::npos)
        << all.out << all.err;
    EXPECT_EQ(all.err.find("cannot start a copy of itself"), std::string::npos) << all.err;
}

}  // namespace

// -doctor on wine's devices: one line per check of each HID collection (its
// access, its lock, its report shape), the one this process holds shown as
// held, and status 1 as none of wine's devices takes the bootloader's
// reports; IDs that nothing has get the no-device verdict.
TEST(WindowsHid, DoctorChecksEachCollection)
{
    // The verdict of the check of this subject, or "" when there is no such line.
    auto verdict = [](const std::string &out, const std::string &subject, const std::string &check) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string word, who, name;
            words >> word >> who >> name;
            if (who == subject && name == check + ":")
                return word;
        }
        return std::string();
    };
    ProcessResult absent = run_quorvel({"-doctor", "-usb=5e1a:7f7f"});
    std::cout << "-doctor -usb=5e1a:7f7f:\n" << absent.out;
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(verdict(absent.out, "system", "devices"), "PROBLEM");
    EXPECT_NE(absent.out.find("no HID collection with the IDs 5e1a:7f7f is present"), std::string::npos);
    EXPECT_NE(absent.out.find("\nNot ready: no board with the IDs 5e1a:7f7f can be flashed now\n"),
              std::string::npos);

    std::vector<HidDeviceInfo> devices = device_list();
    if (devices.empty())
        GTEST_SKIP() << "SKIPPED: no HID device present yet";
    ASSERT_EQ(lock_board(devices.front().path.c_str()), 1);
    ProcessResult run = run_quorvel({"-doctor"});
    unlock_board();
    std::cout << "-doctor:\n" << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(verdict(run.out, "system", "devices"), "OK");
    for (const HidDeviceInfo &device : devices) {
        SCOPED_TRACE(device.path);
        EXPECT_EQ(verdict(run.out, device.path, "collection"), "OK");
        EXPECT_NE(verdict(run.out, device.path, "access"), "");
        EXPECT_EQ(verdict(run.out, device.path, "lock"), &device == &devices.front() ? "PROBLEM" : "OK");
        // A mouse or a keyboard: not the bootloader's reports, or not to be opened at all.
        const std::string shape = verdict(run.out, device.path, "reports");
        EXPECT_TRUE(shape == "PROBLEM" || shape == "UNKNOWN") << shape;
    }
    EXPECT_NE(run.out.find("\nNot ready: no board that takes the bootloader's reports can be flashed now\n"),
              std::string::npos);
}
