// tcp/client.h -- the TCP benchmark client run
#pragma once

// Measures Tx and Rx over one connection to server_addr:tcp_port for each
// block size and prints a line per size, then "Done.". Returns 0 when every
// size was measured whole, 1 when the run failed or ended early.
int tcp_client();
