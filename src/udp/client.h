// udp/client.h -- the UDP benchmark client run
#pragma once

#include <cstdint>

// Measures datagram rates and loss both ways over one control connection to
// server_addr:udp_port; the receiver thread must have bound udp_sock. Prints
// a line per size, then "Done.". Returns 0 when every size was measured, 1
// when the run failed or ended early.
int udp_client();

// The share of datagrams lost, in whole percent: 0 when nothing was sent,
// and when more arrived than were sent (strays from another sender).
long loss_percent(uint32_t sent, uint32_t received);
