// core/session.h -- the shape both benchmarks share: a client's walk through
// the block sizes, and a service that serves one client after another
#pragma once

#include <netinet/in.h>

#include <cstdint>

// One size of a client run, its result line printed: 0 when it was measured
// whole, 1 when a phase ended early but the next size may be tried, -1 when
// the conversation cannot go on.
using measure_fn = int (*)(int sock, char *buf, int32_t size);

// Connects to server_addr:port, says "<protocol> connection established.",
// measures every block size, then quits and says "Done.". Returns 0 when
// every size was measured whole, 1 when the run failed or ended early.
int run_client(const char *protocol, int32_t port, measure_fn measure);

// Answers one client's control blocks until the conversation ends.
using serve_fn = void (*)(int conn, char *buf, const sockaddr_in &peer);

// A service thread's life: its test buffer and its listener on
// bind_addr:port, then one client after another, for ever, unless the
// listener fails.
void run_service(const char *protocol, int32_t port, const char *socket_label, const char *bind_label,
                 serve_fn serve);
