// core/sock.h -- socket set-up shared by both benchmarks
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <cstdint>

// An IPv4 address (network byte order) with the low 16 bits of port.
sockaddr_in make_address(uint32_t addr, int32_t port);

// Both socket buffers set to SOCKET_BUFFER_SIZE; the results do not matter.
void set_buffer_sizes(int sock);

// A connection's waits bounded by IDLE_SECONDS: a receive that gets no byte
// and a send that gets no room in that time fail, and so does unacknowledged
// data (a peer host that vanished) after it.
void set_idle_limit(int sock);

// A socket with its buffers set, or -1 after perror(label).
int open_socket(int type, const char *label);

// A socket with its buffers set, bound to local, or -1 after a reported
// failure (perror with the labels given).
int open_bound_socket(int type, const sockaddr_in &local, const char *socket_label, const char *bind_label);

// A stream socket listening on local with a backlog of 2, or -1 after a
// reported failure ("socket()"/"bind()" labels as given, then "listen()").
int listen_on(const sockaddr_in &local, const char *socket_label, const char *bind_label);

// A stream socket connected to server, or -1 after a reported failure. It
// leaves from the local address source (network byte order) when that is
// not INADDR_ANY, else from whichever address the route picks.
int connect_to(const sockaddr_in &server, uint32_t source);

// The kernel's own state of a stream (TCP_INFO, struct tcp_info of
// <linux/tcp.h>): 0, or -1 with errno set.
struct tcp_info;
int read_tcp_info(int sock, tcp_info *info);

// The bytes that the peer's host has acknowledged on a stream since it was
// made; 0 when the kernel's count cannot be read.
uint64_t bytes_acknowledged(int sock);

// Sleeps for pause, or less when the connection fails: 0, or -1 with errno
// set to the connection's error.
int nap_unless_failed(int sock, const timespec &pause);

// Waits until at most at_most bytes written to sock are still queued: not
// yet acknowledged by the peer for a stream, not yet taken by the device
// for datagrams (a shaping queue of this host holds them too). 0 when they
// are; -1 with errno set when the connection failed, or when the queue did
// not shrink for IDLE_SECONDS.
int wait_unsent(int sock, int at_most);

enum WaitResult {
    CLIENT_TAKEN,    // *conn is the client's connection
    WAIT_AGAIN,      // no client this time: listen again
    LISTENER_FAILED  // the listening socket failed: the service ends
};

// Waits up to an hour for a client and accepts it, with its buffers set.
WaitResult wait_for_client(int listener, int *conn, sockaddr_in *peer);
