// tcp/server.h -- the TCP benchmark server thread
#pragma once

#include <cstdint>

#include "core/sock.h"

// Listens on *local (a const Endpoint *, which must outlive the thread)
// and serves one client at a time for ever; it ends only when its listening
// socket fails. Thread entry.
void *tcp_server_thread(void *local);

// Answers one client's control blocks on conn until it quits, goes, or asks
// for something that cannot be served (an unknown code, a size that does not
// fit the test buffer). The port is the service's; nothing here needs it.
void tcp_serve_connection(int conn, char *buf, const Endpoint &peer, int32_t port);
