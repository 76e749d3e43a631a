// Copies of this program side by side, each one's output read as it comes: Linux.
#include "copies/copies.h"

#include <cerrno>
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

// Starts one copy with fork and exec: `argv` is ready, as the child may
// only make async-signal-safe calls. The copy gets the signal mask that
// this process had before it held the stop signals, and SIGTERM when this
// process ends first, whatever ends it.
pid_t start_copy(const char *program, char *const *argv, int out, int err, int inherit, const sigset_t &mask,
                 pid_t parent)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)  // the parent ended before the line above
        _exit(127);
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    if (inherit == COPY_INHERITED_FD ? fcntl(inherit, F_SETFD, 0) < 0
        : inherit >= 0               ? dup2(inherit, COPY_INHERITED_FD) < 0
                                     : false)
        _exit(127);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    execv(program, argv);
    _exit(127);
}

}  // namespace

namespace {

// A copy that copy_start started: its pid (0 once it ended), the pipe
// of its standard output with what came of an unfinished line, and the
// in-memory file of its standard error.
struct LiveCopy {
    pid_t pid;
    int out;
    std::string partial;
    int err;
};

struct LiveCopies {
    bool begun;
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
    news.push_back(CopyNews{number, copy.partial.substr(0, end + 1), false, 0, "", false});
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
                                read_back(copy.err), !WIFEXITED(status)});
    }
}

}  // namespace

int copies_begin(std::string &why)
{
    if (live.begun)
        return 1;
    sigset_t watched;
    sigemptyset(&watched);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&watched, signal);
    pthread_sigmask(SIG_BLOCK, &watched, &live.before);
    live.signals = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
    if (live.signals < 0) {
        why = std::strerror(errno);
        pthread_sigmask(SIG_SETMASK, &live.before, nullptr);
        return 0;
    }
    live.begun = true;
    return 1;
}

int copy_start(const char *program, const std::vector<std::string> &arguments, std::string &why, int inherit)
{
    // Made before the fork: the child may not allocate.
    std::vector<std::string> words{program ? program : "quorvel"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    const int err = memfd_create("quorvel-err", MFD_CLOEXEC);
    pid_t pid = err >= 0 ? start_copy(program ? program : "/proc/self/exe", argv.data(), pipe_ends[1], err,
                                      inherit, live.before, getpid())
                         : -1;
    int error = errno;
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        if (err >= 0)
            close(err);
        why = std::strerror(error);
        return -1;
    }
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    live.copies.push_back(LiveCopy{pid, pipe_ends[0], "", err});
    return int(live.copies.size() - 1);
}

int copies_wait(double seconds, bool follow, std::vector<CopyNews> &news)
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
