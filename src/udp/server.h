// udp/server.h -- the UDP benchmark server thread
#pragma once

// Listens for control connections on bind_addr:udp_port, one client at a
// time, and answers them with the receiver's counts and with datagram send
// phases. It ends only when its listening socket fails, or at once when the
// receiver could not bind the datagram socket. Thread entry; no argument.
void *udp_server_thread(void *);
