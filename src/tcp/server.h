// tcp/server.h -- the TCP benchmark server thread
#pragma once

#include <netinet/in.h>

// Listens on bind_addr:tcp_port and serves one client at a time for ever;
// it ends only when its listening socket fails. Thread entry; no argument.
void *tcp_server_thread(void *);

// Answers one client's control blocks on conn until it quits, goes, or asks
// for something that cannot be served (an unknown code, a size that does not
// fit the test buffer).
void tcp_serve_connection(int conn, char *buf, const sockaddr_in &peer);
