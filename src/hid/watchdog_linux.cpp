// The thread that keeps the time limit of each hidraw write.
//
// A hidraw write blocks in the kernel until the USB transfer ends and no
// signal can cut it short, so the limit is kept by a watchdog thread while
// the caller's own thread writes: the caller publishes the write's number
// and deadline before it starts, and takes the write back when it returns.
// If the watchdog finds the same write still in flight past its deadline, it
// claims it instead and ends the run through the expiry call. A
// compare-and-swap on `in_flight` decides which side owns a write that ends
// just as its limit passes: exactly one of them does.

#include "hid/watchdog_linux.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr uint64_t CLAIMED = ~uint64_t{0};
constexpr long long WATCHDOG_NAP_NS = 50'000'000;  // no limit is shorter

struct Watchdog {
    std::atomic<uint64_t> in_flight{0};  // number of the write in flight, 0, or CLAIMED
    std::atomic<long long> deadline_ns{0};
    std::atomic<long long> limit_ms{0};
    uint64_t writes = 0;  // numbers the writes; only the writing thread counts
    bool started = false;
    WatchdogExpiry expiry = nullptr;  // set before the thread starts
};

Watchdog watchdog;

void sleep_until_ns(long long when)
{
    timespec until{time_t(when / 1'000'000'000LL), long(when % 1'000'000'000LL)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

void *watchdog_thread(void *)
{
    for (;;) {
        uint64_t write = watchdog.in_flight.load(std::memory_order_acquire);
        long long now = monotonic_ns();
        if (write == 0 || write == CLAIMED) {
            sleep_until_ns(now + WATCHDOG_NAP_NS);
            continue;
        }
        long long deadline = watchdog.deadline_ns.load(std::memory_order_acquire);
        if (now < deadline) {
            sleep_until_ns(std::min(deadline, now + WATCHDOG_NAP_NS));
            continue;
        }
        if (watchdog.in_flight.compare_exchange_strong(write, CLAIMED)) {
            watchdog.expiry(watchdog.limit_ms.load());  // ends the process
            _exit(1);
        }
    }
    return nullptr;
}

}  // namespace

long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Starts the watchdog with every signal blocked, so that signals go to the
// thread that runs the upload, as they did before the watchdog existed.
int watchdog_start(WatchdogExpiry expiry)
{
    if (watchdog.started)
        return 1;
    watchdog.expiry = expiry;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, watchdog_thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0)
        return 0;
    pthread_detach(thread);
    watchdog.started = true;
    return 1;
}

long long watchdog_arm(long long limit_ms)
{
    long long deadline = monotonic_ns() + limit_ms * 1'000'000LL;
    uint64_t write_number = ++watchdog.writes;
    watchdog.limit_ms.store(limit_ms, std::memory_order_relaxed);
    watchdog.deadline_ns.store(deadline, std::memory_order_relaxed);
    watchdog.in_flight.store(write_number, std::memory_order_release);
    return deadline;
}

void watchdog_disarm()
{
    uint64_t write_number = watchdog.writes;
    if (!watchdog.in_flight.compare_exchange_strong(write_number, 0)) {
        // The watchdog claimed this write and is ending the run: send nothing more.
        for (;;)
            pause();
    }
}
