// udp/receiver.h -- the thread that owns the datagram socket and counts what arrives
#pragma once

#include <sys/socket.h>

#include <cstdint>

// Binds udp_sock to *local (a const sockaddr_in *, read only until udp_ready
// changes), sets udp_ready to UDP_BOUND (or UDP_FAILED when it cannot), then
// counts every datagram into udp_rx_count and udp_rx_bytes for the life of
// the process. Thread entry.
void *udp_receiver_thread(void *local);

// Sets both datagram counters to 0.
void reset_rx_counters();

// Waits until the receiver has bound its socket or given up; true when bound.
bool wait_udp_ready();

// The datagrams that one receive holds: 0 for an empty one, 1 for a single
// one, and for a train the count its length makes in datagrams of the size
// its control message gives (the last may be shorter).
uint32_t datagrams_in(const mmsghdr &received);
