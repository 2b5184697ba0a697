// core/sock.h -- socket set-up shared by both benchmarks
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

// An address of either family, with its port, as the socket calls take it.
// One that has no family (AF_UNSPEC, as an Endpoint starts) stands for
// every local address of both families: a socket bound to it is one IPv6
// socket that takes IPv4 too, or an IPv4 one where the host has no IPv6.
struct Endpoint {
    union {
        sockaddr sa;
        sockaddr_in v4;
        sockaddr_in6 v6;
    };
    Endpoint() : v6{} {}
    // not explicit: an address of either family is an Endpoint as it stands
    // cppcheck-suppress noExplicitConstructor
    Endpoint(const sockaddr_in &a) : v4(a) {}
    // cppcheck-suppress noExplicitConstructor
    Endpoint(const sockaddr_in6 &a) : v6(a) {}
    int family() const { return sa.sa_family; }
    int32_t port() const { return ntohs(v6.sin6_port); }  // sin_port shares its place
    socklen_t length() const { return family() == AF_INET ? sizeof v4 : sizeof v6; }
};

// An IPv4 address (network byte order) with the low 16 bits of port.
sockaddr_in make_address(uint32_t addr, int32_t port);
// The address with the low 16 bits of port.
Endpoint with_port(const Endpoint &addr, int32_t port);
// The address as a socket of family sends to it: an IPv4 address as IPv6
// takes it (::ffff:192.0.2.7) and back. Any other stays as it is.
Endpoint in_family(const Endpoint &addr, int family);
// The family of a socket's addresses: AF_INET or AF_INET6.
int socket_family(int sock);
// The largest datagram that one send may carry to addr: 65535 less the
// headers, of IPv4 for an IPv4 address (also one as IPv6 takes it), else of IPv6.
int32_t largest_datagram(const Endpoint &addr);
// The address as people write it: 192.0.2.7 (also for ::ffff:192.0.2.7),
// 2001:db8::7, fe80::7%eth0.
void format_address(const Endpoint &addr, char *out, size_t len);
constexpr size_t ADDRESS_TEXT_SIZE = INET6_ADDRSTRLEN + 1 + 16;  // with a scope's interface name

// Both socket buffers set to SOCKET_BUFFER_SIZE; the results do not matter.
void set_buffer_sizes(int sock);

// A connection's waits bounded by IDLE_SECONDS: a receive that gets no byte
// and a send that gets no room in that time fail, and so does unacknowledged
// data (a peer host that vanished) after it.
void set_idle_limit(int sock);

// A socket of family with its buffers set, or -1 after perror(label).
int open_socket(int family, int type, const char *label);

// A socket with its buffers set, bound to local, or -1 after a reported
// failure (perror with the labels given). Its family is local's; for an
// address of no family, IPv6 taking IPv4 too, or IPv4 where the host has
// no IPv6. An IPv6 address given takes IPv6 only.
int open_bound_socket(int type, const Endpoint &local, const char *socket_label, const char *bind_label);

// A stream socket listening on local with a backlog of 2, or -1 after a
// reported failure ("socket()"/"bind()" labels as given, then "listen()").
int listen_on(const Endpoint &local, const char *socket_label, const char *bind_label);

// A stream socket connected to server, or -1 after a failure. It leaves
// from the local address source when that has a family, else from
// whichever address the route picks. Failures are reported, except that of
// connect itself when connect_error is given: its errno goes there.
int connect_to(const Endpoint &server, const Endpoint &source, int *connect_error = nullptr);

// The kernel's own state of a stream (TCP_INFO, struct tcp_info of
// <linux/tcp.h>), zeroed first: an older kernel fills in fewer fields than
// this program knows (tcpi_notsent_bytes came with 4.6, tcpi_snd_wnd with
// 5.4) and leaves the rest 0. The number of bytes it filled in, or -1 with
// errno set.
struct tcp_info;
int read_tcp_info(int sock, tcp_info *info);
// Whether the first filled bytes of a tcp_info hold its field member.
#define TCP_INFO_HOLDS(filled, member)                                                                                 \
    ((filled) >= static_cast<int>(offsetof(tcp_info, member) + sizeof(tcp_info::member)))

// The bytes that the peer's host has acknowledged on a stream since it was
// made; 0 when the kernel's count cannot be read (a kernel before 4.1).
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
WaitResult wait_for_client(int listener, int *conn, Endpoint *peer);
