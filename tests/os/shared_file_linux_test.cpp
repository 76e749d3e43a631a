// The firmware file read once: copied where others read it later or it is
// still being written, read in place otherwise, and a write meanwhile seen.
#include "os/shared_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Sets the file's modification time `seconds_ago` seconds back.
void written_ago(const std::string &path, int seconds_ago)
{
    timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - seconds_ago, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(SharedFile, CopiedOrReadInPlaceAndAWriteMeanwhileIsSeen)
{
    const struct {
        const char *name;
        bool for_copies;
        int written_seconds_ago;
        bool in_place;  // read through the file's own descriptor, not a copy
    } cases[] = {
        {"one run, a file written long ago: read in place", false, 60, true},
        {"one run, a file written just now: copied", false, 0, false},
        {"read by copies later: copied, however old", true, 60, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write_scratch_file("shared.hex", ":00000001FF\n");
        written_ago(path, c.written_seconds_ago);
        std::string why;
        const std::string read_by = shared_copy_of(path.c_str(), c.for_copies, why);
        ASSERT_FALSE(read_by.empty()) << why;
        EXPECT_EQ(read_all(read_by), ":00000001FF\n");
        EXPECT_EQ(shared_file_unchanged(), 1);

        // The name goes to another file: what was read stays as it was.
        const std::string other = write_scratch_file("other.hex", ":0100000000FF\n:00000001FF\n");
        ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
        EXPECT_EQ(read_all(read_by), ":00000001FF\n");
        EXPECT_EQ(shared_file_unchanged(), 1);

        // A write to the file that was read: a copy keeps what was read; a
        // file read in place is no longer what it was, and says so.
        const std::string again = write_scratch_file("again.hex", ":00000001FF\n");
        written_ago(again, c.written_seconds_ago);
        const std::string read_again = shared_copy_of(again.c_str(), c.for_copies, why);
        ASSERT_FALSE(read_again.empty()) << why;
        {
            std::ofstream appended(again, std::ios::app);
            appended << "\n";
        }
        EXPECT_EQ(shared_file_unchanged(), c.in_place ? 0 : 1);
        EXPECT_EQ(read_all(read_again), c.in_place ? ":00000001FF\n\n" : ":00000001FF\n");
    }
}

// A pipe can be read only once: it is always copied.
TEST(SharedFile, APipeIsCopied)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], ":00000001FF\n", 12), 12);
    close(ends[1]);
    std::string why;
    const std::string read_by = shared_copy_of(("/proc/self/fd/" + std::to_string(ends[0])).c_str(), false, why);
    close(ends[0]);
    ASSERT_FALSE(read_by.empty()) << why;
    EXPECT_EQ(read_all(read_by), ":00000001FF\n");
    EXPECT_EQ(read_all(read_by), ":00000001FF\n");
}

}  // namespace
