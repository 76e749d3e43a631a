// The writer process of the current hidraw device.
//
// A hidraw write blocks in the kernel until the USB transfer ends, and no
// signal cuts it short: a board that stops taking reports holds the writer
// until the USB core gives up (5 s for usbhid). A process cannot end while
// one of its threads is in such a write, so its exit status, and the end of
// its standard output and error, would come that much after the message.
// So the writes happen in a small child, forked when the device is opened:
// it inherits the descriptor, keeps nothing else open, takes each report
// over a socket pair, writes it and answers with the outcome. The run waits
// for the answer with its own time limit and, past it, reports and ends at
// once. The child still holds the descriptor, and with it the flock that
// keeps other runs off the board (the lock belongs to the open file, not
// to the process), until the kernel ends its write; then it sees the run's
// end of the socket closed and exits.
//
// The run hands over the next report before it waits for the answer to the
// one in hand, so the writer goes from one write straight to the next
// without waiting for the run to wake up. Each answer names its report by
// number and says when its write ended, which is when the next one's began.
// After a failed write the writer answers the reports still queued without
// writing them.

#include "hid/report_writer_linux.h"

#include "hid/device_lock_linux.h"
#include "hid/hid_device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What the writer sends back for each report.
struct Reply {
    uint32_t report;  // its number: 1 for the first report handed over
    long outcome;     // the bytes written, -errno, or WRITER_SKIPPED
    long long ended_ns;
};

// The outcome of a report that the writer did not write, because a write
// before it failed or the run has given up.
constexpr long WRITER_SKIPPED = -1'000'001;

struct Handed {
    long long handed_ns;
    long long limit_ns;
    size_t length;
};

// The run's side of the writer.
struct WriterState {
    int channel;                               // the run's end of the socket pair
    pid_t child;                               // the writer process
    uint32_t handed, answered;                 // reports handed over, and answered
    std::array<Handed, WRITER_QUEUE> in_hand;  // by report number
    long long last_ended_ns;                   // when the last write answered ended
    bool write_left;                           // a write that the writer has not answered in time
} state{-1, -1, 0, 0, {}, 0, false};

long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Closes every descriptor but these two; standard input, output and error
// too, so that a write left in the kernel holds none of the run's streams.
void keep_only(int a, int b)
{
    int low = a < b ? a : b, high = a < b ? b : a;
    if (low > 0)
        close_range(0, unsigned(low - 1), 0);
    if (high > low + 1)
        close_range(unsigned(low + 1), unsigned(high - 1), 0);
    close_range(unsigned(high + 1), ~0U, 0);
}

// Whether the run has shut its end: it has given up on what it handed over.
bool run_gone(int link)
{
    pollfd end{link, POLLRDHUP, 0};
    return poll(&end, 1, 0) == 1 && (end.revents & (POLLRDHUP | POLLHUP));
}

// The child: one write per report it is handed, one answer per report. Stop
// signals are the run's to handle; the writer only ends when the run's end
// of the socket closes, after its write in hand has ended.
[[noreturn]] void serve(int device, int link)
{
    prctl(PR_SET_NAME, WRITER_PROCESS_NAME);  // how another run tells a writer from a run
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT})
        std::signal(signal, SIG_IGN);
    const int ours = lock_held_for_us(device);  // before its descriptor is closed below
    keep_only(device, link);
    // The writer takes the board's lock itself and tells the run: /proc/locks
    // names the process that took a lock, and older kernels (Debian 12's
    // 6.1) leave out a lock whose taker has ended, so -list would show the
    // board free while this writer still holds it.
    int locked = lock_board(device);
    if (locked == 0 && ours)
        locked = 1;  // the run that started this copy holds it for it
    long answer = locked == 1 ? 1 : locked == 0 ? 0 : -long(errno);
    if (send(link, &answer, sizeof answer, MSG_NOSIGNAL) != ssize_t(sizeof answer) || locked != 1)
        _exit(0);
    static uint8_t frame[HID_MAX_REPORT + 1];
    bool failed = false;
    for (uint32_t report = 1;; ++report) {
        ssize_t got;
        do
            got = recv(link, frame, sizeof frame, 0);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            // The run has ended: free the board, tell the run so, then
            // close the node, which the kernel may hold up while a hidraw
            // write of any other board is blocked.
            flock(device, LOCK_UN);
            close(link);
            _exit(0);
        }
        Reply reply{report, WRITER_SKIPPED, 0};
        if (!failed && !run_gone(link)) {
            ssize_t written = write(device, frame, size_t(got));
            reply.outcome = written >= 0 ? long(written) : -long(errno);
            failed = written != got;
        }
        reply.ended_ns = monotonic_ns();
        if (send(link, &reply, sizeof reply, MSG_NOSIGNAL) != ssize_t(sizeof reply))
            _exit(0);
    }
}

// Waits until the answer can be read or the deadline passes. Returns 1 when
// it can be read.
int wait_for_answer(long long deadline)
{
    pollfd answer{state.channel, POLLIN, 0};
    for (;;) {
        long long left = deadline - monotonic_ns();
        if (left <= 0)
            return 0;
        timespec wait{time_t(left / 1'000'000'000LL), long(left % 1'000'000'000LL)};
        int ready = ppoll(&answer, 1, &wait, nullptr);
        if (ready > 0)
            return 1;
        if (ready == 0 || errno != EINTR)
            return 0;
    }
}

}  // namespace

WriterAnswer writer_outcome(long reply, size_t length, long long limit_ms)
{
    WriterAnswer answer{WRITER_DELIVERED, 0, 0, length, limit_ms};
    if (reply >= 0 && size_t(reply) == length)
        return answer;
    if (reply >= 0) {
        answer.outcome = WRITER_SHORT_WRITE;
        answer.written = reply;
    } else {
        // A report skipped after a failed write keeps its own number.
        answer.outcome = WRITER_WRITE_ERROR;
        answer.error = int(-reply);
    }
    return answer;
}

WriterStart writer_start(int fd)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return WRITER_NOT_STARTED;
    pid_t child = fork();
    if (child == 0)
        serve(fd, ends[1]);
    if (child < 0) {
        const int error = errno;
        close(ends[0]);
        close(ends[1]);
        errno = error;
        return WRITER_NOT_STARTED;
    }
    close(ends[1]);
    long locked = -long(EPIPE);
    if (recv(ends[0], &locked, sizeof locked, 0) != ssize_t(sizeof locked))
        locked = -long(EPIPE);
    if (locked != 1) {
        close(ends[0]);
        waitpid(child, nullptr, 0);
        errno = int(-locked);
        return locked == 0 ? WRITER_BOARD_HELD : WRITER_LOCK_FAILED;
    }
    state.channel = ends[0];
    state.child = child;
    state.handed = state.answered = 0;
    state.last_ended_ns = 0;
    state.write_left = false;
    return WRITER_STARTED;
}

BoardRefusal board_refusal(WriterStart start, BoardHolder holder, int error)
{
    switch (start) {
    case WRITER_BOARD_HELD:
        if (holder == HOLDER_ENDED_RUN)
            return BoardRefusal{HID_OPEN_BUSY_LEFT_WRITE,
                                " is still taken while the system finishes a write that an earlier quorvel run "
                                "gave up on (for up to 5 s)"};
        return BoardRefusal{HID_OPEN_BUSY, " is being written by another quorvel run"};
    case WRITER_NOT_STARTED:
        return BoardRefusal{HID_OPEN_OTHER, ": cannot start the process that writes to it (" +
                                                std::string(std::strerror(error)) + ")"};
    case WRITER_LOCK_FAILED:
    case WRITER_STARTED:
        break;
    }
    return BoardRefusal{HID_OPEN_OTHER, ": cannot lock it (" + std::string(std::strerror(error)) + ")"};
}

long writer_hand(const uint8_t *bytes, size_t length, long long limit_ms)
{
    if (state.write_left || state.handed - state.answered >= WRITER_QUEUE)
        return -long(EBUSY);
    long long now = monotonic_ns();
    if (send(state.channel, bytes, length, MSG_NOSIGNAL) != ssize_t(length))
        return -long(errno);
    ++state.handed;
    state.in_hand[state.handed % WRITER_QUEUE] = Handed{now, limit_ms * 1'000'000LL, length};
    return 1;
}

int writer_unanswered()
{
    return int(state.handed - state.answered);
}

WriterAnswer writer_answer()
{
    // The oldest report's write began when it was handed over or when the
    // write before it ended, whichever came later.
    const Handed &oldest = state.in_hand[(state.answered + 1) % WRITER_QUEUE];
    WriterAnswer answer{WRITER_LATE, 0, 0, oldest.length, oldest.limit_ns / 1'000'000};
    if (state.write_left)
        return answer;
    if (!wait_for_answer(std::max(oldest.handed_ns, state.last_ended_ns) + oldest.limit_ns)) {
        // The writer must not start a report queued behind this one once
        // the kernel ends this write: the run has given up on it.
        state.write_left = true;
        shutdown(state.channel, SHUT_WR);
        return answer;
    }
    Reply reply;
    ssize_t got = recv(state.channel, &reply, sizeof reply, 0);
    if (got != ssize_t(sizeof reply) ||
        reply.report != state.answered + 1)  // the writer is gone or out of step
        return writer_outcome(got < 0 ? -long(errno) : -long(EPIPE), answer.length, answer.limit_ms);
    state.answered = reply.report;
    state.last_ended_ns = reply.ended_ns;
    return writer_outcome(reply.outcome, answer.length, answer.limit_ms);
}

void writer_stop()
{
    if (state.child < 0)
        return;
    // Without a write in hand, the writer frees the board as soon as it
    // sees this end shut, and then closes its own: waiting for that close
    // is waiting until the board is free. The writer is not waited for: its
    // close of the node may be held up by another board's blocked write.
    shutdown(state.channel, SHUT_WR);
    if (!state.write_left) {
        long ignored;
        while (recv(state.channel, &ignored, sizeof ignored, 0) > 0) {
        }
    }
    close(state.channel);
    state.channel = -1;
    state.child = -1;
}
