// tcp/server.h -- the TCP benchmark server thread
#pragma once

// Listens on bind_addr:tcp_port and serves one client at a time for ever;
// it ends only when its listening socket fails. Thread entry; no argument.
void *tcp_server_thread(void *);
