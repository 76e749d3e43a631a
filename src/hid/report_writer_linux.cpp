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
// A whole upload is handed over at once (device_play): its reports, their
// limits and the pauses after them go into memory that the run and the
// writer share, and the writer plays them one after the other with
// nothing in between, so the board waits for no process's wake-up. For
// each step it publishes, through atomics in that memory, when its write
// began (stamped just before the write) and when it was delivered. The run
// sleeps until the earliest moment at which a write in hand would be past
// its limit, or the next write would be overdue, or the progress shown is
// due again (a run that shows nothing as it goes has no such tick), or a
// stop signal comes, and then looks: no system call per report on either
// side beyond the write itself. Each limit counts from the start of its own
// write. A gate in that memory decides, once, whether a write is begun or
// the run gives up: past a limit the run closes it while the write is in
// hand, and the writer then writes nothing more; a run that gives up on a
// write not yet begun closes it before the writer can begin it. After a
// failed write the writer writes nothing more of that play.

#include "hid/report_writer_linux.h"

#include "hid/device_lock_linux.h"
#include "hid/hid_device.h"
#include "os/clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The gate: open between writes, the step's number + 1 while its write is
// in hand, closed once the run has given up.
constexpr uint32_t GATE_OPEN = 0;
constexpr uint32_t GATE_CLOSED = ~0U;

enum PlayState : int32_t { PLAY_RUNNING = -1 };

// What the run and the writer share. The run fills in the steps and
// `count` before it orders the play; the writer publishes its progress
// through the atomics.
struct Shared {
    std::atomic<uint32_t> gate;
    std::atomic<int32_t> started;    // steps whose write has begun
    std::atomic<int32_t> delivered;  // steps delivered whole
    std::atomic<int32_t> stop;       // the stop signal that the run took, or 0
    std::atomic<int32_t> ended;      // PLAY_RUNNING, or the PlayOutcome
    std::atomic<long> failed_reply;  // PLAY_FAILED: the bytes written, or -errno
    int32_t count;
    std::atomic<long long> began_ns[PLAY_MAX_STEPS];  // when each write began
    std::atomic<long long> due_ns[PLAY_MAX_STEPS + 1];  // when each write was due to begin
    PlayStep steps[PLAY_MAX_STEPS];
};

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<long long>::is_always_lock_free);

// How often the writer asks, between two writes, whether the run is still
// there (a run killed outright cannot say that it has given up).
constexpr long long RUN_ASKED_EVERY_NS = 25'000'000;

// How often a run that can neither be woken by a stop signal nor shows
// anything looks for a stop; how long one that needs no look at all sleeps
// at most between two looks.
constexpr long long STOP_LOOK_NS = 25'000'000;
constexpr long long LONGEST_SLEEP_NS = 3'600'000'000'000LL;

// A wake-up later than this past the time asked for means that this
// machine held the run up (a timer alone is late by well under 1 ms).
constexpr long long LATE_WAKE_NS = 2'000'000;

// How soon the run looks again at a writer that waits for a processor.
constexpr long long BUSY_LOOK_NS = 1'000'000;

// The run's side of the writer.
struct WriterState {
    int channel;      // the run's end of the socket pair
    pid_t child;      // the writer process
    Shared *shared;   // mapped before the writer was forked, shared with it
    bool write_left;  // a write that the run gave up on, or the play can go no further
} state{-1, -1, nullptr, false};

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

// Plays the steps that the run has put into the shared memory, publishing
// each write's start and end. Returns how it ended.
void play(int device, pid_t run, Shared &shared)
{
    static uint8_t frame[PLAY_REPORT + 1];
    const int32_t count = shared.count;
    long reply = 0;
    int32_t step = 0;
    int32_t outcome = PLAY_DONE;
    long long run_asked_ns = monotonic_ns();
    for (; step < count; ++step) {
        const PlayStep &next = shared.steps[step];
        if (shared.stop.load(std::memory_order_acquire) != 0) {
            outcome = PLAY_STOPPED;
            break;
        }
        // A run killed outright cannot say that it has given up: once in a
        // while the writer asks whether its parent is still the run.
        const long long now = monotonic_ns();
        if (now - run_asked_ns > RUN_ASKED_EVERY_NS) {
            run_asked_ns = now;
            if (getppid() != run) {
                outcome = PLAY_FAILED;
                break;
            }
        }
        shared.began_ns[step].store(now, std::memory_order_relaxed);
        shared.started.store(step + 1, std::memory_order_release);
        uint32_t open = GATE_OPEN;
        if (!shared.gate.compare_exchange_strong(open, uint32_t(step) + 1, std::memory_order_acq_rel)) {
            outcome = PLAY_FAILED;  // the run has given up: it says why
            break;
        }
        frame[0] = 0;  // report ID
        std::memcpy(frame + 1, next.report, next.length);
        const size_t length = next.length + 1;
        ssize_t written = write(device, frame, length);
        const long long done_ns = monotonic_ns();
        uint32_t mine = uint32_t(step) + 1;
        if (!shared.gate.compare_exchange_strong(mine, GATE_OPEN, std::memory_order_acq_rel)) {
            outcome = PLAY_FAILED;  // the run gave up on this write meanwhile
            break;
        }
        if (written != ssize_t(length)) {
            reply = written >= 0 ? long(written) : -long(errno);
            outcome = PLAY_FAILED;
            break;
        }
        shared.due_ns[step + 1].store(done_ns + static_cast<long long>(next.pause_after * 1e9),
                                      std::memory_order_relaxed);
        shared.delivered.store(step + 1, std::memory_order_release);
        if (next.pause_after > 0)
            pause_seconds(next.pause_after);
    }
    shared.failed_reply.store(reply, std::memory_order_relaxed);
    shared.ended.store(outcome, std::memory_order_release);
}

// The child: plays what the run orders, one play after the other. Stop
// signals are the run's to handle; the writer only ends when the run's end
// of the socket closes, after its write in hand has ended.
[[noreturn]] void serve(int device, int link, pid_t run, Shared &shared)
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
    for (;;) {
        int32_t order = 0;
        ssize_t got;
        do
            got = recv(link, &order, sizeof order, 0);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            // The run has ended: free the board, tell the run so, then
            // close the node, which the kernel may hold up while a hidraw
            // write of any other board is blocked.
            flock(device, LOCK_UN);
            close(link);
            _exit(0);
        }
        play(device, run, shared);
        int32_t ended = 1;
        send(link, &ended, sizeof ended, MSG_NOSIGNAL);
    }
}

// Sleeps until the writer says the play has ended or the deadline passes;
// input on `stop_wakeup` (a stop signal waiting to be taken; -1: none)
// cuts it short. Returns 0 when the writer is gone.
int wait_for_writer(long long deadline, int stop_wakeup = -1)
{
    long long left = deadline - monotonic_ns();
    if (left <= 0)
        return 1;
    pollfd ends[2] = {{state.channel, POLLIN, 0}, {stop_wakeup, POLLIN, 0}};
    timespec wait{time_t(left / 1'000'000'000LL), long(left % 1'000'000'000LL)};
    const int woken = ppoll(ends, stop_wakeup >= 0 ? 2 : 1, &wait, nullptr);
    return !(woken >= 1 && (ends[0].revents & (POLLHUP | POLLERR)) && !(ends[0].revents & POLLIN));
}

// For each step of the play in hand, the least limit of it and the steps
// after it.
uint32_t least_limit_from[PLAY_MAX_STEPS + 1];

// What the run sees of the play now.
PlaySight sight_of(const Shared &shared)
{
    PlaySight sight{};
    sight.count = shared.count;
    sight.delivered = shared.delivered.load(std::memory_order_acquire);
    sight.started = shared.started.load(std::memory_order_acquire);
    if (sight.started > sight.delivered) {
        sight.began_ns = shared.began_ns[sight.delivered].load(std::memory_order_relaxed);
        sight.limit_ns = shared.steps[sight.delivered].limit_ms * 1'000'000LL;
    } else {
        sight.due_ns = shared.due_ns[sight.delivered].load(std::memory_order_relaxed);
    }
    if (sight.started < sight.count)
        sight.next_limit_ns = least_limit_from[sight.started] * 1'000'000LL;
    return sight;
}

// Whether the writer is running or waiting for a processor (/proc says R),
// rather than asleep in a write that the device has not ended.
bool writer_runnable(pid_t writer)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(writer));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    const char *name_end = std::strrchr(text, ')');
    return name_end && name_end[1] == ' ' && name_end[2] == 'R';
}

// Takes the writer's word that a play has ended, so that the next one
// waits for its own.
void take_end_message()
{
    int32_t ended;
    recv(state.channel, &ended, sizeof ended, MSG_DONTWAIT);
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
    // The shared memory lives as long as the run; a later board's writer
    // shares the same (one board at a time is open).
    if (!state.shared) {
        void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED)
            return WRITER_NOT_STARTED;
        state.shared = static_cast<Shared *>(memory);
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return WRITER_NOT_STARTED;
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0)
        serve(fd, ends[1], parent, *state.shared);
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

PlayLook play_look(const PlaySight &sight, long long now_ns, long long tick_ns)
{
    if (sight.started == sight.delivered && sight.delivered >= sight.count)
        return PlayLook{PLAY_WAIT, tick_ns};  // the last pause: the writer ends the play by itself
    const long long limit = sight.started > sight.delivered ? sight.began_ns + sight.limit_ns
                                                             : sight.due_ns + WRITER_START_GRACE_NS;
    if (now_ns >= limit)
        return PlayLook{sight.started > sight.delivered ? PLAY_LATE : PLAY_NOT_BEGUN, limit};
    long long until = std::min(limit, tick_ns);
    if (sight.next_limit_ns > 0) {
        const long long earliest_start = sight.started > sight.delivered ? now_ns : std::max(now_ns, sight.due_ns);
        until = std::min(until, earliest_start + sight.next_limit_ns);
    }
    return PlayLook{PLAY_WAIT, until};
}

PlayStep *writer_room(int count)
{
    if (state.child < 0 || count < 0 || count > PLAY_MAX_STEPS)
        return nullptr;
    return state.shared->steps;
}

WriterPlay writer_play(const PlayStep *steps, int count, const PlayWatch &watch)
{
    WriterPlay result{PlayEnd{PLAY_FAILED, 0, 0}, WriterAnswer{WRITER_WRITE_ERROR, EPIPE, 0, 0, 0}};
    if (state.child < 0 || state.write_left || count < 0 || count > PLAY_MAX_STEPS) {
        result.answer.error = state.child < 0 || state.write_left ? EPIPE : E2BIG;
        return result;
    }
    if (count == 0)
        return WriterPlay{PlayEnd{PLAY_DONE, 0, 0}, WriterAnswer{WRITER_DELIVERED, 0, 0, 0, 0}};
    Shared &shared = *state.shared;
    for (int step = 0; step < count; ++step)
        if (steps[step].length > PLAY_REPORT) {
            result.end.at = step;
            result.answer.error = EMSGSIZE;
            return result;
        }
    if (steps != shared.steps)
        std::memcpy(shared.steps, steps, size_t(count) * sizeof(PlayStep));
    least_limit_from[count] = 0;
    for (int step = count - 1; step >= 0; --step)
        least_limit_from[step] = step == count - 1 ? steps[step].limit_ms
                                                   : std::min(steps[step].limit_ms, least_limit_from[step + 1]);
    shared.count = count;
    shared.gate.store(GATE_OPEN, std::memory_order_relaxed);
    shared.started.store(0, std::memory_order_relaxed);
    shared.delivered.store(0, std::memory_order_relaxed);
    shared.stop.store(0, std::memory_order_relaxed);
    shared.failed_reply.store(0, std::memory_order_relaxed);
    shared.ended.store(PLAY_RUNNING, std::memory_order_relaxed);
    shared.due_ns[0].store(monotonic_ns(), std::memory_order_relaxed);
    const int32_t order = count;
    if (send(state.channel, &order, sizeof order, MSG_NOSIGNAL) != ssize_t(sizeof order)) {
        result.answer.error = errno;
        state.write_left = true;
        return result;
    }
    int shown = 0;
    int signal = 0;
    // The longest sleep between two looks: the display's tick, else a look
    // for a stop signal that cannot wake the run, else none.
    const long long tick_ns = watch.show_every_ns > 0                        ? watch.show_every_ns
                              : watch.stop_requested && watch.stop_wakeup < 0 ? STOP_LOOK_NS
                                                                              : LONGEST_SLEEP_NS;
    // Time that this machine took from the run: how much later than asked
    // it woke, while the same write was in hand (or the same one due). A
    // virtual machine whose processor the host left waiting, or a machine
    // too busy to run the run, does not count against the board.
    long long lost_ns = 0;
    long long lost_key = -1;
    for (;;) {
        const int32_t ended = shared.ended.load(std::memory_order_acquire);
        PlaySight sight = sight_of(shared);
        const long long key = sight.started > sight.delivered ? sight.began_ns : sight.due_ns + sight.delivered;
        if (key != lost_key) {
            lost_key = key;
            lost_ns = 0;
        }
        sight.limit_ns += lost_ns;
        sight.due_ns += lost_ns;
        if (sight.delivered > shown && watch.delivered)
            watch.delivered(shown = sight.delivered);
        if (ended != PLAY_RUNNING) {
            take_end_message();
            result.end = PlayEnd{PlayOutcome(ended), sight.delivered, signal};
            if (ended == PLAY_FAILED) {
                const PlayStep &failed = steps[sight.delivered];
                result.answer = writer_outcome(shared.failed_reply.load(std::memory_order_relaxed),
                                               failed.length + 1, failed.limit_ms);
                state.write_left = true;
            }
            return result;
        }
        if (signal == 0 && watch.stop_requested && (signal = watch.stop_requested()) != 0)
            shared.stop.store(signal, std::memory_order_release);
        const long long now = monotonic_ns();
        const PlayLook look = play_look(sight, now, now + tick_ns);
        // Past a limit, a writer that is not asleep in its write has ended
        // it, or has not yet made it, and waits for a processor: that is
        // this machine being busy, not the board. It gets the grace too.
        bool busy_here = look.verdict == PLAY_NOT_BEGUN;
        if (look.verdict == PLAY_LATE && writer_runnable(state.child)) {
            if (now < look.until_ns + WRITER_START_GRACE_NS) {
                wait_for_writer(now + BUSY_LOOK_NS);
                continue;
            }
            busy_here = true;
        }
        if (look.verdict != PLAY_WAIT) {
            // Give up on this write, or on the one not begun, unless the
            // writer has moved on meanwhile.
            uint32_t expected = look.verdict == PLAY_LATE ? uint32_t(sight.delivered) + 1 : GATE_OPEN;
            if (shared.gate.compare_exchange_strong(expected, GATE_CLOSED, std::memory_order_acq_rel)) {
                state.write_left = true;
                shutdown(state.channel, SHUT_WR);  // the writer writes nothing more, and ends
                const PlayStep &given_up = steps[sight.delivered];
                result.end = PlayEnd{PLAY_FAILED, sight.delivered, 0};
                const long long waited_ns =
                    now - (look.verdict == PLAY_LATE ? sight.began_ns : sight.due_ns - lost_ns);
                result.answer = WriterAnswer{busy_here ? WRITER_NOT_BEGUN : WRITER_LATE, 0, 0, given_up.length + 1,
                                             busy_here ? waited_ns / 1'000'000 : given_up.limit_ms};
                return result;
            }
            continue;
        }
        const int writer_there =
            wait_for_writer(look.until_ns, signal == 0 && watch.stop_requested ? watch.stop_wakeup : -1);
        const long long woke = monotonic_ns();
        if (woke - look.until_ns > LATE_WAKE_NS)
            lost_ns += woke - look.until_ns;
        if (!writer_there && shared.ended.load(std::memory_order_acquire) == PLAY_RUNNING) {
            state.write_left = true;  // the writer died: nothing it had in hand is known to be delivered
            const PlayStep &last = steps[std::min(sight.delivered, count - 1)];
            result.end = PlayEnd{PLAY_FAILED, sight.delivered, 0};
            result.answer = WriterAnswer{WRITER_WRITE_ERROR, EPIPE, 0, last.length + 1, last.limit_ms};
            return result;
        }
    }
}

void writer_stop()
{
    if (state.child < 0)
        return;
    // Without a write in hand, the writer frees the board as soon as it
    // sees this end shut, and then closes its own: waiting for that close
    // is waiting until the board is free. The writer is not waited for: its
    // close of the node may be held up by another board's blocked write.
    // A writer that was told to give up may still be in a write.
    const bool in_write = state.write_left && state.shared->gate.load() == GATE_CLOSED;
    shutdown(state.channel, SHUT_WR);
    if (!in_write) {
        int32_t ignored;
        while (recv(state.channel, &ignored, sizeof ignored, 0) > 0) {
        }
    }
    close(state.channel);
    state.channel = -1;
    state.child = -1;
}
