#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

std::string scratch_dir()
{
    static std::string dir = [] {
        char name[] = "/tmp/quorvel-test-XXXXXX";
        const char *made = mkdtemp(name);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

void exec_program(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

ProcessResult run_process(const std::vector<std::string> &argv, const WhileRunning &while_running)
{
    ProcessResult result;
    std::string out_path = scratch_dir() + "/stdout.txt";
    std::string err_path = scratch_dir() + "/stderr.txt";
    auto started = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        exec_program(argv);
    }
    if (while_running)
        while_running(int(child));
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_whole_file(out_path);
    result.err = read_whole_file(err_path);
    return result;
}

std::string run_on_terminal(const std::vector<std::string> &arguments, unsigned short columns)
{
    TerminalRun terminal;
    terminal.columns = columns;
    return run_on_terminal(arguments, terminal);
}

std::string run_on_terminal(const std::vector<std::string> &arguments, const TerminalRun &terminal)
{
    int master = -1, slave = -1;
    winsize size{terminal.rows, terminal.columns, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        return "openpty failed";
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, 2);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        if (terminal.term)
            setenv("TERM", terminal.term, 1);
        std::vector<std::string> argv{QUORVEL_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        exec_program(argv);
    }
    // The terminal's side stays open here only while while_running runs:
    // the reading below ends when no process holds it any more.
    std::thread beside;
    if (terminal.while_running)
        beside = std::thread(
            [&terminal, child](int held) {
                terminal.while_running(int(child), held);
                close(held);
            },
            dup(slave));
    close(slave);
    std::string shown;
    char buffer[512];
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR);)
        if (got > 0)
            shown.append(buffer, size_t(got));
    waitpid(child, nullptr, 0);
    if (beside.joinable())
        beside.join();
    close(master);
    return shown;
}
