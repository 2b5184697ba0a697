// core/measure.cc -- the pieces every measurement is built from
#include "core/measure.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::atomic<int> timer_expired{0};

char *init_buffer(size_t size)
{
    auto *buf = static_cast<char *>(malloc(size));
    if (buf == nullptr)
        return nullptr;
    // The sequence of srand(1) and rand(), drawn from a generator of this
    // buffer's own: the service threads fill their buffers at the same time,
    // and the one libc generator would deal its numbers out between them.
    char state[128];  // 128 bytes of state: the generator type of rand
    random_data generator = {};
    initstate_r(1, state, sizeof state, &generator);
    buf[0] = 0;
    for (size_t i = 1; i < size; ++i) {
        int32_t r;
        random_r(&generator, &r);
        buf[i] = static_cast<char>(r & 0xff);
    }
    return buf;
}

void on_timer(int)
{
    int saved = errno;
    alarm(0);
    timer_expired.store(1);
    errno = saved;
}

void start_timer(unsigned seconds)
{
    timer_expired.store(0);
    struct sigaction action = {};
    action.sa_handler = on_timer;
    sigemptyset(&action.sa_mask);
    // Blocking socket calls of other threads resume after the alarm; the
    // waits that the kernel never resumes (select, sleep) handle EINTR.
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    if (seconds == 0)
        timer_expired.store(1);  // a phase of no time is over at once (alarm(0) would never ring)
    else
        alarm(seconds);
}

void clock_start(timespec *start)
{
    clock_gettime(CLOCK_MONOTONIC, start);
}

int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t now_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int32_t ticks_between(int64_t seconds, int64_t microseconds, int32_t ticks_per_second)
{
    auto whole = static_cast<int32_t>(static_cast<uint32_t>(ticks_per_second * seconds));
    auto part = static_cast<int32_t>(ticks_per_second * microseconds / 1000000);
    return static_cast<int32_t>(static_cast<uint32_t>(whole) + static_cast<uint32_t>(part));
}

int32_t clock_elapsed(const timespec &start, int32_t ticks_per_second)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ticks_between(now.tv_sec - start.tv_sec, (now.tv_nsec - start.tv_nsec) / 1000, ticks_per_second);
}
