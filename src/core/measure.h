// core/measure.h -- test buffer, phase timer, clock, size labels, rate report
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

// size bytes: byte 0 is 0 (the end mark of a data block), the rest the same
// pseudo-random sequence in every buffer. Null when the allocation fails.
char *init_buffer(size_t size);

// Clears timer_expired and arms the process alarm; on_timer sets the flag.
void start_timer(unsigned seconds);
void on_timer(int signal);

// The clock of a measured phase. It runs on the monotonic clock, so a step
// of the time of day during a phase cannot corrupt a figure.
void clock_start(timespec *start);
int32_t clock_elapsed(const timespec &start, int32_t ticks_per_second);
// The tick arithmetic itself: t x seconds + (t x microseconds) / 1000000,
// in signed 32 bits, the division truncating toward zero.
int32_t ticks_between(int64_t seconds, int64_t microseconds, int32_t ticks_per_second);
// Prints " (failed)" when a phase's tick count is the clock's failure value.
void check_elapsed(int32_t ticks);

// "%2dk" for a multiple of 1024 or one short of it, else the number in full.
// The text lives in a per-thread buffer until this thread's next call.
const char *format_size(int32_t size);

// " %ld KByte/s" above 614399 bytes, else " %ld Byte/s" (a tick is 1/1024 s).
// A phase that measured no tick at all counts as one tick.
void format_rate(char *out, size_t len, int64_t bytes, int32_t ticks);
void report_rate(int64_t bytes, int32_t ticks);
