// udp/client.h -- the UDP benchmark client run
#pragma once

#include <cstdint>

#include "core/sock.h"

// Starts the datagram receiver on local and waits until it has bound, then
// measures datagram rates and loss both ways over one control connection to
// the first of the server's count_servers addresses that answers on local's
// port, made from local's address, for each of the count block sizes.
// Prints a line per size, then "Done.". Returns the run's exit status: 0
// when every size was measured, 1 when the run failed or ended early or the
// receiver could not bind, and STATUS_NO_THREAD when the receiver's thread
// could not be made.
int udp_client(const Endpoint *servers, unsigned count_servers, const Endpoint &local, const int32_t *sizes,
               unsigned count);

// The share of datagrams lost, in whole percent: 0 when nothing was sent,
// and when more arrived than were sent (strays from another sender).
long loss_percent(uint32_t sent, uint32_t received);
