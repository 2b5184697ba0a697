// app/settings.h -- the run settings: defaults, changed only by the command
// line before any thread starts, then handed to the benchmarks
#pragma once

#include <cstdint>

#include "core/session.h"
#include "core/sock.h"

constexpr unsigned MAX_BLOCK_SIZES = 6;
constexpr int32_t DEFAULT_TCP_PORT = 18767;

extern int32_t block_sizes[MAX_BLOCK_SIZES];
extern unsigned nblock_sizes;
extern int32_t tcp_port;
extern int32_t udp_port;
extern Endpoint bind_addr;  // of no family: every local address of both families
// The server's addresses, in the order a client tries them.
extern Endpoint server_addrs[MAX_SERVER_ADDRESSES];
extern unsigned nserver_addrs;
extern bool opt_server;
extern bool opt_tcp;
extern bool opt_udp;

// Puts every setting, and the state the threads share, back to its value at start.
void reset_settings();
