// Helpers shared by the test programs: running the built tool, scratch files
// and Intel HEX text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
    double seconds = 0;
};

// Called with the process ID while the program runs, before it is waited for.
using WhileRunning = std::function<void(int pid)>;

// Runs a program with these arguments (argv[0] first) and waits for it.
ProcessResult run_process(const std::vector<std::string> &argv, const WhileRunning &while_running = {});

// Runs the built quorvel with these arguments.
ProcessResult run_quorvel(const std::vector<std::string> &arguments, const WhileRunning &while_running = {});

#ifndef _WIN32
// In a child just forked: runs the program (argv[0] first) in its place, or
// ends the child with status 127.
[[noreturn]] void exec_program(const std::vector<std::string> &argv);

// Runs the built quorvel until it ends, with standard error on a
// pseudo-terminal of this many columns, as a person's terminal is; returns
// what the terminal was sent (CR LF for each newline).
std::string run_on_terminal(const std::vector<std::string> &arguments, unsigned short columns = 80);

// A terminal of these columns and rows; TERM set to `term` when not null;
// `while_running` called on a thread of its own with the process ID and the
// terminal's side of the program (for tcflow) while the output is read.
struct TerminalRun {
    unsigned short columns = 80, rows = 24;
    const char *term = nullptr;
    std::function<void(int pid, int terminal)> while_running;
};
std::string run_on_terminal(const std::vector<std::string> &arguments, const TerminalRun &terminal);
#endif

// The example firmware (real avr-gcc output) of the source tree.
std::string example_hex_path();

// A scratch folder of this test process, made on first use.
std::string scratch_dir();

// Writes `content` to a file in the scratch folder and returns its path.
std::string write_scratch_file(const std::string &name, std::string_view content);

std::string read_whole_file(const std::string &path);

// The file's SHA-256 as the system's sha256sum gives it: 64 hex digits.
std::string sha256sum(const std::string &path);

// One Intel HEX record line (with its newline and a correct checksum).
std::string hex_record(uint8_t type, uint16_t address, const std::vector<uint8_t> &data);

// A whole HEX file for these bytes (address -> value), in records of at most
// `record_size` bytes, using extended linear address records where needed.
std::string hex_file_for(const std::map<uint32_t, uint8_t> &bytes, size_t record_size = 16);

// The flash bytes of an image of `size` bytes whose every byte is used,
// filled with a pattern that differs from block to block.
std::map<uint32_t, uint8_t> pattern_bytes(uint32_t first, uint32_t size);
