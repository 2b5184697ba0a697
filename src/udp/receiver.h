// udp/receiver.h -- the thread that owns the datagram socket and counts what arrives
#pragma once

// Binds udp_sock to *local (a const Endpoint *, read only until udp_ready
// changes), sets udp_ready to UDP_BOUND (or UDP_FAILED when it cannot), then
// counts every datagram into udp_rx_count and udp_rx_bytes for the life of
// the process. Thread entry.
void *udp_receiver_thread(void *local);

// Sets both datagram counters to 0.
void reset_rx_counters();

// Waits until the receiver has bound its socket or given up; true when bound.
bool wait_udp_ready();
