// The stamp state file on Linux: flock, and fsync before the lock is let go.
#include "stamp/stamp_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

// After the file was created: its name in the folder on the disk too.
void sync_folder(const char *path)
{
    std::string folder(path);
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int stamp_file_lock(const char *path, bool create, StampFile &file, int &missing, std::string &why)
{
    file.handle = -1;
    missing = 0;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            sync_folder(path);
        else if (errno == EEXIST)  // another run made it first
            fd = open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        missing = errno == ENOENT;
        why = std::strerror(errno);
        return 0;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        why = std::string("cannot lock it: ") + std::strerror(errno);
        close(fd);
        return 0;
    }
    file.handle = fd;
    return 1;
}

int stamp_file_read(StampFile &file, std::string &text, std::string &why)
{
    text.clear();
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t got = pread(int(file.handle), buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::strerror(errno);
            return 0;
        }
        if (got == 0)
            return 1;
        text.append(buffer, size_t(got));
        at += got;
    }
}

int stamp_file_write(StampFile &file, std::string_view text, std::string &why)
{
    const int fd = int(file.handle);
    for (size_t done = 0; done < text.size();) {
        const ssize_t put = pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            why = std::strerror(put < 0 ? errno : EIO);
            return 0;
        }
        done += size_t(put);
    }
    if (ftruncate(fd, off_t(text.size())) != 0 || fsync(fd) != 0) {
        why = std::strerror(errno);
        return 0;
    }
    return 1;
}

void stamp_file_unlock(StampFile &file)
{
    if (file.handle >= 0) {
        flock(int(file.handle), LOCK_UN);
        close(int(file.handle));
    }
    file.handle = -1;
}
