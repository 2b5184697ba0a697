// app/settings.h -- run settings and the little state that threads share
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#ifndef TARVO_MEASURE_SECONDS
#define TARVO_MEASURE_SECONDS 6  // a test-only build shortens the phase
#endif
#ifndef TARVO_IDLE_SECONDS
#define TARVO_IDLE_SECONDS 60  // and the idle limit
#endif

constexpr int32_t BUFFER_SIZE = 65536;          // test buffer, datagram receive, largest block
constexpr int SOCKET_BUFFER_SIZE = 131072;      // SO_RCVBUF and SO_SNDBUF of every socket
constexpr unsigned MEASURE_SECONDS = TARVO_MEASURE_SECONDS;
// The longest a connection may keep the other side waiting for its next
// byte, or for room to send: an honest peer never comes near it (a phase
// lasts MEASURE_SECONDS), a silent or vanished one is given up after it.
constexpr int IDLE_SECONDS = TARVO_IDLE_SECONDS;
static_assert(IDLE_SECONDS > static_cast<int>(MEASURE_SECONDS), "an honest phase must fit the idle limit");
constexpr int32_t TICKS_PER_SECOND = 1024;      // one tick is 1/1024 second
constexpr unsigned MAX_BLOCK_SIZES = 6;
constexpr int32_t DEFAULT_TCP_PORT = 18767;

// Settings: final once the command line is read, before any thread starts.
extern int32_t block_sizes[MAX_BLOCK_SIZES];
extern unsigned nblock_sizes;
extern int32_t tcp_port;
extern int32_t udp_port;
extern uint32_t bind_addr;    // network byte order; 0 is every local address
extern uint32_t server_addr;  // network byte order
extern bool opt_server;
extern bool opt_tcp;
extern bool opt_udp;

// State shared between threads and with the signal handlers.
// udp_ready: 0 while the datagram receiver sets up, 1 once udp_sock is
// bound, -1 when its set-up failed and udp_sock holds no socket.
extern std::atomic<int> udp_ready;
extern std::atomic<int> udp_sock;
extern std::atomic<uint32_t> udp_rx_count;
extern std::atomic<int64_t> udp_rx_bytes;
extern std::atomic<int> timer_expired;
extern pthread_t thread_id;

static_assert(std::atomic<int>::is_always_lock_free, "flags are read in signal handlers");
static_assert(std::atomic<int64_t>::is_always_lock_free, "the byte count is read whole");

// Puts every setting and shared value back to its value at start.
void reset_settings();
