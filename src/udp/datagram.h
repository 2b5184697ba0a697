// udp/datagram.h -- the datagram socket, its counters, and the datagram send phase
#pragma once

#include <atomic>
#include <cstdint>

#include "core/sock.h"

// The receiver thread writes udp_sock and udp_ready once and adds to the
// counters; the UDP server and client reset and read the counters.
constexpr int UDP_SETTING_UP = 0;  // udp_ready while the receiver binds
constexpr int UDP_BOUND = 1;       // udp_sock is the bound datagram socket
constexpr int UDP_FAILED = -1;     // the receiver could not bind: udp_sock holds no socket
extern std::atomic<int> udp_ready;
extern std::atomic<int> udp_sock;
extern std::atomic<uint32_t> udp_rx_count;
extern std::atomic<int64_t> udp_rx_bytes;

static_assert(std::atomic<int64_t>::is_always_lock_free, "the byte count is read whole");

// Puts the datagram state back to its value at start.
void reset_datagram_state();

// Datagrams come in this many to a system call, and go out so many as fit
// DATAGRAM_BATCH_BYTES, up to this many (chosen by measurement: from 8 up
// the rate no longer grows).
constexpr unsigned DATAGRAM_BATCH = 32;
constexpr int32_t DATAGRAM_BATCH_BYTES = 65536;

// A timed send phase of datagrams of size bytes to the address to (of
// either family: it goes in the form the socket takes), while
// timer_expired is 0, in batches. *tried is the number of datagrams that the
// kernel took, and one more when a call failed: the failed datagram counts
// as tried. Returns 0, or -1 when a call failed; the error is reported once
// and ends the phase, since every next datagram would meet it again (one
// too large for its family, a missing route).
int send_datagram_phase(int sock, char *buf, int32_t size, const Endpoint &to, uint32_t *tried);
