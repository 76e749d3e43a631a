// Runs copies of this program side by side, each with its output captured: Linux.
#include "upload/children.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
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

}  // namespace

void run_copies(std::vector<CopyRun> &copies)
{
    struct Started {
        pid_t pid;
        int out, err;
    };
    std::vector<Started> started;
    for (CopyRun &copy : copies) {
        // In-memory files: a copy's output is read once it has ended.
        Started child{-1, memfd_create("quorvel-out", MFD_CLOEXEC), memfd_create("quorvel-err", MFD_CLOEXEC)};
        std::vector<char *> argv{const_cast<char *>("quorvel")};
        for (std::string &argument : copy.arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, child.out, 1);
        posix_spawn_file_actions_adddup2(&actions, child.err, 2);
        if (child.out < 0 || child.err < 0 ||
            posix_spawn(&child.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0)
            child.pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        started.push_back(child);
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        int status = 0;
        while (started[i].pid > 0 && waitpid(started[i].pid, &status, 0) < 0 && errno == EINTR) {
        }
        copies[i].status = started[i].pid < 0  ? 127
                           : WIFEXITED(status) ? WEXITSTATUS(status)
                                               : 128 + WTERMSIG(status);
        copies[i].out = started[i].out >= 0 ? read_back(started[i].out) : "";
        copies[i].err = started[i].err >= 0 ? read_back(started[i].err) : "";
        if (started[i].pid < 0)
            copies[i].err = "quorvel: cannot start a copy of itself\n";
    }
}
