// core/measure.cc -- the pieces every measurement is built from
#include "core/measure.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "core/shared.h"

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

void check_elapsed(int32_t ticks)
{
    if (ticks == -1)
        printf(" (failed)");
}

const char *format_size(int32_t size)
{
    // per thread: the TCP and the UDP server label their phases at the same time
    thread_local char label[16];
    // in 64 bits: a size from the network may be any 32-bit value
    const int64_t wide = size;
    if (wide % 1024 == 0 || wide % 1024 == 1023)
        snprintf(label, sizeof label, "%2ldk", static_cast<long>((wide + 512) / 1024));
    else
        snprintf(label, sizeof label, "%d", size);
    return label;
}

void format_rate(char *out, size_t len, int64_t bytes, int32_t ticks)
{
    // Ticks come from the monotonic clock, so they are never negative, and
    // every phase ends within its length and the idle limit, far below the
    // 24 days after which 32 bits of ticks would wrap. 0 ticks is a phase
    // shorter than one tick.
    const int64_t per = ticks > 0 ? ticks : 1;
    if (bytes > 614399)
        snprintf(out, len, " %ld KByte/s", static_cast<long>(static_cast<int32_t>(bytes / per)));
    else
        snprintf(out, len, " %ld Byte/s", static_cast<long>(static_cast<int32_t>(bytes * 1024 / per)));
}

void report_rate(int64_t bytes, int32_t ticks)
{
    char text[32];
    format_rate(text, sizeof text, bytes, ticks);
    fputs(text, stdout);
}
