// Runs copies of this program side by side, each with its output captured: Linux.
#include "copies/copies.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string read_back(int fd)
{
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(got));
    close(fd);
    return text;
}

struct Started {
    pid_t pid;
    int out, err;
    int status;
};

// Starts one copy with fork and exec. The copy gets the signal mask that
// this process had before it held the stop signals, and SIGTERM when this
// process ends first, whatever ends it.
pid_t start_copy(CopyRun &copy, const Started &files, const sigset_t &mask, pid_t parent)
{
    std::vector<char *> argv{const_cast<char *>("quorvel")};
    for (std::string &argument : copy.arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)  // the parent ended before the line above
        _exit(127);
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(files.out, 1) < 0 || dup2(files.err, 2) < 0)
        _exit(127);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
}

}  // namespace

int run_copies(std::vector<CopyRun> &copies)
{
    // The stop signals and the end of each copy are all taken here, in turn.
    sigset_t watched, before;
    sigemptyset(&watched);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&watched, signal);
    pthread_sigmask(SIG_BLOCK, &watched, &before);
    const pid_t parent = getpid();
    const auto begun = std::chrono::steady_clock::now();

    std::vector<Started> started;
    size_t running = 0;
    for (CopyRun &copy : copies) {
        // In-memory files: a copy's output is read once it has ended.
        Started child{-1, memfd_create("quorvel-out", MFD_CLOEXEC), memfd_create("quorvel-err", MFD_CLOEXEC),
                      0};
        if (child.out >= 0 && child.err >= 0)
            child.pid = start_copy(copy, child, before, parent);
        running += child.pid > 0;
        started.push_back(child);
    }
    int passed_on = 0;
    while (running > 0) {
        siginfo_t info;
        int signal = sigwaitinfo(&watched, &info);
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
            passed_on = signal;
            for (const Started &child : started)
                if (child.pid > 0)
                    kill(child.pid, signal);
            continue;
        }
        for (size_t i = 0; i < started.size(); ++i) {  // SIGCHLD: one or more copies ended
            Started &child = started[i];
            if (child.pid > 0 && waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
                child.pid = 0;
                copies[i].seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
                --running;
            }
        }
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        const Started &child = started[i];
        copies[i].status = child.pid < 0             ? 127
                           : WIFEXITED(child.status) ? WEXITSTATUS(child.status)
                                                     : 128 + WTERMSIG(child.status);
        copies[i].out = child.out >= 0 ? read_back(child.out) : "";
        copies[i].err = child.err >= 0 ? read_back(child.err) : "";
        if (child.pid < 0)
            copies[i].err = "quorvel: cannot start a copy of itself\n";
    }
    return passed_on;
}

namespace {

// A copy that live_copy_start started: its pid (0 once it ended), the pipe
// of its standard output with what came of an unfinished line, and the
// in-memory file of its standard error.
struct LiveCopy {
    pid_t pid;
    int out;
    std::string partial;
    int err;
};

struct LiveCopies {
    sigset_t before;  // the mask that the copies start with
    int signals;      // signalfd: the stop signals and SIGCHLD
    std::vector<LiveCopy> copies;
} live;

// Reads what the copy's pipe holds now; the complete lines go to `news`.
void read_lines(int number, LiveCopy &copy, std::vector<CopyNews> &news)
{
    char buffer[4096];
    for (ssize_t got; (got = read(copy.out, buffer, sizeof buffer)) > 0;)
        copy.partial.append(buffer, size_t(got));
    size_t end = copy.partial.rfind('\n');
    if (end == std::string::npos)
        return;
    news.push_back(CopyNews{number, copy.partial.substr(0, end + 1), false, 0, ""});
    copy.partial.erase(0, end + 1);
}

// The copies that ended: their last output, then their end.
void reap(std::vector<CopyNews> &news)
{
    for (size_t i = 0; i < live.copies.size(); ++i) {
        LiveCopy &copy = live.copies[i];
        int status = 0;
        if (copy.pid <= 0 || waitpid(copy.pid, &status, WNOHANG) != copy.pid)
            continue;
        copy.pid = 0;
        read_lines(int(i), copy, news);  // the rest: the pipe has no writer left
        close(copy.out);
        news.push_back(CopyNews{int(i), "", true,
                                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                                read_back(copy.err)});
    }
}

}  // namespace

int live_copies_begin(std::string &why)
{
    sigset_t watched;
    sigemptyset(&watched);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&watched, signal);
    pthread_sigmask(SIG_BLOCK, &watched, &live.before);
    live.signals = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
    if (live.signals < 0)
        why = std::strerror(errno);
    return live.signals >= 0;
}

int live_copy_start(const std::vector<std::string> &arguments, std::string &why)
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    Started files{-1, pipe_ends[1], memfd_create("quorvel-err", MFD_CLOEXEC), 0};
    CopyRun copy{arguments, 0, "", "", 0};
    pid_t pid = files.err >= 0 ? start_copy(copy, files, live.before, getpid()) : -1;
    int error = errno;
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        if (files.err >= 0)
            close(files.err);
        why = std::strerror(error);
        return -1;
    }
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    live.copies.push_back(LiveCopy{pid, pipe_ends[0], "", files.err});
    return int(live.copies.size() - 1);
}

int live_copies_wait(double seconds, bool follow, std::vector<CopyNews> &news)
{
    std::vector<pollfd> watched{{live.signals, POLLIN, 0}};
    for (size_t i = 0; follow && i < live.copies.size(); ++i)
        if (live.copies[i].pid > 0)
            watched.push_back(pollfd{live.copies[i].out, POLLIN, 0});
    poll(watched.data(), watched.size(), int(seconds * 1000));
    for (size_t i = 0; i < live.copies.size(); ++i)
        if (live.copies[i].pid > 0)
            read_lines(int(i), live.copies[i], news);
    int stop = 0;
    for (signalfd_siginfo info; read(live.signals, &info, sizeof info) == sizeof info;) {
        int signal = int(info.ssi_signo);
        if (signal == SIGCHLD)
            continue;
        stop = signal;
        for (const LiveCopy &copy : live.copies)
            if (copy.pid > 0)
                kill(copy.pid, signal);
    }
    reap(news);
    return stop;
}
