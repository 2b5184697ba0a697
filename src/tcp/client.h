// tcp/client.h -- the TCP benchmark client run
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Measures Tx and Rx over one connection to server for each of the count
// block sizes and prints a line per size, then "Done.". Returns the run's
// exit status: 0 when every size was measured whole, 1 when the run failed
// or ended early.
int tcp_client(const sockaddr_in &server, const int32_t *sizes, unsigned count);
