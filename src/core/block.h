// core/block.h -- moving whole blocks through a socket, and the timed phases built on them
#pragma once

#include <time.h>

#include <cstdint>

// No deadline for recv_block: only the socket's own receive timeout bounds it.
constexpr int64_t NO_DEADLINE = INT64_MAX;

// What became of one block.
enum BlockResult {
    BLOCK_MOVED,   // all of it
    BLOCK_CLOSED,  // the peer closed its end first (recv_block only)
    BLOCK_FAILED   // a call failed, reported with perror
};

// One block of size bytes on a stream, resumed after a partial transfer or
// an interrupted call. recv_block also fails (ETIMEDOUT) once the monotonic
// clock, in milliseconds, has passed deadline_ms when a call returns.
BlockResult send_block(int sock, const char *buf, int32_t size);
BlockResult recv_block(int sock, char *buf, int32_t size, int64_t deadline_ms = NO_DEADLINE);

// The phases return 0 when they went as the protocol wants, -1 when they did not.

// A timed send phase on a stream: blocks whose end mark is 0, the first one
// and every next one only while timer_expired is 0. An error is final: the
// phase stops and the failed block does not count. *blocks is the number sent.
int send_stream_phase(int sock, char *buf, int32_t size, int64_t *blocks);

// Where a receive phase stood at the first moment after the phase alarm
// when all that had arrived could be counted (none of it waiting out of
// order behind a loss): the bytes that had arrived by then (read, or
// waiting in the socket), and the ticks since start.
struct PhaseCut {
    timespec start;
    int64_t bytes;
    int32_t ticks;
    bool made;
};

// A receive phase on a stream: whole blocks until one whose end mark is not
// 0, which counts too. *bytes is size for every block begun. When cut is
// given, it is made once timer_expired is set. -1 when the stream ended or
// failed before the closing block, or when the phase lasted longer than
// MEASURE_SECONDS and IDLE_SECONDS together, and on a slow link the time
// that the bytes an honest sender adds to its timed ones take there at the
// rate the phase shows: an honest sender has long finished by then.
int recv_stream_phase(int sock, char *buf, int32_t size, int64_t *bytes, PhaseCut *cut = nullptr);

// The block with end mark 1 that ends a stream's send phase.
int send_closing_block(int sock, char *buf, int32_t size);
