// core/shared.h -- the little state that threads and signal handlers share.
// core/shared.cc owns it. The datagram receiver writes udp_sock and
// udp_ready once and adds to the counters; the UDP server and client reset
// and read the counters; start_timer clears timer_expired and on_timer sets it.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int UDP_SETTING_UP = 0;  // udp_ready while the receiver binds
constexpr int UDP_BOUND = 1;       // udp_sock is the bound datagram socket
constexpr int UDP_FAILED = -1;     // the receiver could not bind: udp_sock holds no socket
extern std::atomic<int> udp_ready;
extern std::atomic<int> udp_sock;
extern std::atomic<uint32_t> udp_rx_count;
extern std::atomic<int64_t> udp_rx_bytes;
extern std::atomic<int> timer_expired;

static_assert(std::atomic<int>::is_always_lock_free, "flags are read in signal handlers");
static_assert(std::atomic<int64_t>::is_always_lock_free, "the byte count is read whole");

// Puts the shared state back to its value at start.
void reset_shared_state();
