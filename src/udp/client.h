// udp/client.h -- the UDP benchmark client run
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Starts the datagram receiver on local and waits until it has bound, then
// measures datagram rates and loss both ways over one control connection to
// server, made from local's address, for each of the count block sizes.
// Prints a line per size, then "Done.". Returns the run's exit status: 0
// when every size was measured, 1 when the run failed or ended early or the
// receiver could not bind, and STATUS_NO_THREAD when the receiver's thread
// could not be made.
int udp_client(const sockaddr_in &server, const sockaddr_in &local, const int32_t *sizes, unsigned count);

// The share of datagrams lost, in whole percent: 0 when nothing was sent,
// and when more arrived than were sent (strays from another sender).
long loss_percent(uint32_t sent, uint32_t received);
