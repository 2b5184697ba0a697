// udp/server.h -- the UDP benchmark server thread
#pragma once

#include <netinet/in.h>

// Listens for control connections on bind_addr:udp_port, one client at a
// time, and answers them with the receiver's counts and with datagram send
// phases. It ends only when its listening socket fails, or at once when the
// receiver could not bind the datagram socket. Thread entry; no argument.
void *udp_server_thread(void *);

// Answers one client's control blocks on conn; datagrams go to the peer's
// host, on udp_port.
void udp_serve_connection(int conn, char *buf, const sockaddr_in &peer);
