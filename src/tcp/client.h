// tcp/client.h -- the TCP benchmark client run
#pragma once

#include <cstdint>

#include "core/sock.h"

// Measures Tx and Rx over one connection to the first of the server's
// count_servers addresses that answers on port, made from the local address
// source (of no family: the one the route picks), for each of the count
// block sizes and prints a line per size, then "Done.". Returns the run's
// exit status: 0 when every size was measured whole, 1 when the run failed
// or ended early.
int tcp_client(const Endpoint *servers, unsigned count_servers, int32_t port, const Endpoint &source,
               const int32_t *sizes, unsigned count);
