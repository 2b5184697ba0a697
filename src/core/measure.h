// core/measure.h -- test buffer, phase timer, clock
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// size bytes: byte 0 is 0 (the end mark of a data block), the rest the same
// pseudo-random sequence in every buffer. Null when the allocation fails.
char *init_buffer(size_t size);

// 1 once the phase alarm has rung. start_timer clears it, on_timer sets it;
// every thread's phase loop reads it.
extern std::atomic<int> timer_expired;
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set in a signal handler");

// Clears timer_expired and arms the process alarm; on_timer sets the flag.
void start_timer(unsigned seconds);
void on_timer(int signal);

// The clock of a measured phase. It runs on the monotonic clock, so a step
// of the time of day during a phase cannot corrupt a figure.
void clock_start(timespec *start);
int32_t clock_elapsed(const timespec &start, int32_t ticks_per_second);
// Milliseconds on the coarse monotonic clock, for deadlines: it costs a few
// nanoseconds, nothing beside a system call, and is a few ms coarse at most.
int64_t now_ms();
// Microseconds on the monotonic clock.
int64_t now_us();
// The tick arithmetic itself: t x seconds + (t x microseconds) / 1000000,
// in signed 32 bits, the division truncating toward zero.
int32_t ticks_between(int64_t seconds, int64_t microseconds, int32_t ticks_per_second);
