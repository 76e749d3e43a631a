// Fuzzes the option parser. The input, split at NUL bytes, is the argument
// vector. A run either returns with run_options inside their documented
// ranges, or asks for the help or the version, or returns one of the
// documented failures, after no more than one printable warning line per
// ignored option.
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" void __sanitizer_set_report_fd(void *fd);

namespace {

int out_capture = -1, err_capture = -1, saved_out = -1, saved_err = -1;

std::string take_capture(int fd)
{
    std::string text(size_t(lseek(fd, 0, SEEK_CUR)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != ssize_t(text.size()) || ftruncate(fd, 0) != 0)
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return text;
}

bool parsed_options_valid(const std::vector<char *> &argv)
{
    const RunOptions &o = run_options;
    if (o.vendor_id > 0xFFFF || o.product_id > 0xFFFF || (o.verbose | o.dry_run | o.wait | o.list) > 1)
        return false;
    if (!(o.wait_limit == 0 || (o.wait && o.wait_limit > 0 && o.wait_limit <= 1e6)))
        return false;
    if ((o.json | o.all) > 1 || o.all_count < 0 || o.all_count > 1000 || (o.all_count > 0 && !o.all))
        return false;
    if (o.code_size == 0 ? o.block_size != 0
                         : !((o.code_size == 0x2000 || o.code_size == 0x4000 || o.code_size == 0x8000) &&
                             o.block_size == 128) &&
                               !((o.code_size == 0x10000 || o.code_size == 0x20000) && o.block_size == 256))
        return false;
    if (o.hex_path) {
        bool from_argv = false;
        for (size_t i = 1; i < argv.size(); ++i)
            from_argv |= o.hex_path == argv[i];
        if (!from_argv || o.hex_path[0] == '-')
            return false;
    }
    if (o.device_path) {  // the rest of a "-device=" argument
        bool from_argv = false;
        for (size_t i = 1; i < argv.size(); ++i)
            from_argv |= o.device_path == argv[i] + 8 && std::strncmp(argv[i], "-device=", 8) == 0;
        if (!from_argv)
            return false;
    }
    return true;
}

// Removes the warnings about ignored options from the front of the standard
// error text; false when one of them is not a single printable line.
bool strip_warnings(std::string &err)
{
    const std::string warning = "quorvel: ignoring unknown option -";
    while (err.starts_with(warning)) {
        size_t end = err.find('\n');
        if (end == std::string::npos)
            return false;
        for (size_t i = 0; i < end; ++i)
            if (static_cast<unsigned char>(err[i]) < 0x20 || err[i] == 0x7F)
                return false;
        err.erase(0, end + 1);
    }
    return true;
}

// The errors for mistyped options: one line that names the argument and
// points at --help, then the empty line that every message ends with.
bool option_error(const std::string &err)
{
    return err.starts_with("quorvel: ") && err.ends_with("(see quorvel --help)\n\n") &&
           err.find('\n') == err.size() - 2;
}

// An error of two lines whose first is `first`, then the empty line.
bool two_line_error(const std::string &err, const std::string &first)
{
    size_t second = first.size() + 1;
    return err.starts_with(first + "\n") && err.ends_with("\n\n") && err.find('\n', second) == err.size() - 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Sanitizer reports keep going to the real standard error; the tool's
    // own output goes to in-memory files for the duration of each run.
    saved_out = dup(1);
    saved_err = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(saved_err)));
    out_capture = memfd_create("stdout", 0);
    err_capture = memfd_create("stderr", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> arguments{"quorvel"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    arguments.push_back(current);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());

    run_options = RunOptions{};
    std::fflush(stdout);
    dup2(out_capture, 1);
    dup2(err_capture, 2);
    const Failure result = read_arguments(int(argv.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    std::string out = take_capture(out_capture), err = take_capture(err_capture);
    // The parser itself prints nothing but the warnings about ignored options.
    if (!strip_warnings(err) || !out.empty() || !err.empty())
        std::abort();
    if (failed(result)) {
        // The message as it is printed: one more line end follows it.
        const std::string printed = result.message + "\n";
        if (result.kind != FAILURE_OPTION ||
            !(two_line_error(printed, "Malformed VID") || two_line_error(printed, "Malformed PID") ||
              two_line_error(printed, "Unknown MCU type") || option_error(printed)))
            std::abort();
        return 0;
    }
    if (run_options.show_help || run_options.show_version)
        return 0;
    if (!parsed_options_valid(argv))
        std::abort();
    return 0;
}
