// udp/client.h -- the UDP benchmark client run
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Measures datagram rates and loss both ways over one control connection to
// server, for each of the count block sizes; the receiver thread must have
// bound udp_sock. Prints a line per size, then "Done.". Returns the run's
// exit status: 0 when every size was measured, 1 when the run failed or
// ended early.
int udp_client(const sockaddr_in &server, const int32_t *sizes, unsigned count);

// The share of datagrams lost, in whole percent: 0 when nothing was sent,
// and when more arrived than were sent (strays from another sender).
long loss_percent(uint32_t sent, uint32_t received);
