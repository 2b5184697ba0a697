// udp/server.h -- the UDP benchmark server thread
#pragma once

#include <cstdint>

#include "core/sock.h"

// Listens for control connections on *local (a const Endpoint *, which
// must outlive the thread; its port is the datagram port too), one client
// at a time, and answers them with the receiver's counts and with datagram
// send phases. It ends only when its listening socket fails, or at once when
// the receiver could not bind the datagram socket. Thread entry.
void *udp_server_thread(void *local);

// Answers one client's control blocks on conn until the client quits, goes,
// or asks for something that cannot be served; datagrams go to the peer's
// host, on port, in the peer's family.
void udp_serve_connection(int conn, char *buf, const Endpoint &peer, int32_t port);
