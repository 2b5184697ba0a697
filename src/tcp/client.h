// tcp/client.h -- the TCP benchmark client run
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Measures Tx and Rx over one connection to server, made from the local
// address source (INADDR_ANY: the one the route picks), for each of the count
// block sizes and prints a line per size, then "Done.". Returns the run's
// exit status: 0 when every size was measured whole, 1 when the run failed
// or ended early.
int tcp_client(const sockaddr_in &server, uint32_t source, const int32_t *sizes, unsigned count);
