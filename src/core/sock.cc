// core/sock.cc -- opening, binding, connecting and accepting stream sockets
#include "core/sock.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/constants.h"

namespace {
constexpr int LISTEN_BACKLOG = 2;
constexpr int REMIND_SECONDS = 3600;  // an idle server says it is listening once an hour
// The largest UDP payloads that one send may carry, as this kernel takes
// them: 65535 less the IPv4 and UDP headers, and an IPv6 payload of 65535
// less the UDP header (IPv6's own header is not in its payload length).
constexpr int32_t LARGEST_IPV4_DATAGRAM = 65507;
constexpr int32_t LARGEST_IPV6_DATAGRAM = 65527;

bool is_ipv4_as_ipv6(const Endpoint &addr)
{
    return addr.family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&addr.v6.sin6_addr);
}

// An IPv6 socket, with its buffers set: for an address of no family one
// that takes IPv4 as well, whatever net.ipv6.bindv6only says (it differs
// between hosts, and between namespaces of one host); for an IPv6 address,
// one for IPv6 alone. -1 with errno set, EAFNOSUPPORT where the host has
// no IPv6.
int open_ipv6_socket(int type, bool both_families)
{
    const int sock = socket(AF_INET6, type, 0);
    if (sock < 0)
        return -1;
    const int only = both_families ? 0 : 1;
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) {
        close(sock);
        errno = EAFNOSUPPORT;
        return -1;
    }
    set_buffer_sizes(sock);
    return sock;
}
}  // namespace

sockaddr_in make_address(uint32_t addr, int32_t port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

Endpoint with_port(const Endpoint &addr, int32_t port)
{
    Endpoint at = addr;
    // sin_port and sin6_port share their place, also for an address of no family
    at.v6.sin6_port = htons(static_cast<uint16_t>(port));
    return at;
}

Endpoint in_family(const Endpoint &addr, int family)
{
    if (family == AF_INET6 && addr.family() == AF_INET) {
        sockaddr_in6 v6 = {};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = addr.v4.sin_port;
        v6.sin6_addr.s6_addr[10] = 0xff;
        v6.sin6_addr.s6_addr[11] = 0xff;
        memcpy(&v6.sin6_addr.s6_addr[12], &addr.v4.sin_addr, 4);
        return v6;
    }
    if (family == AF_INET && is_ipv4_as_ipv6(addr)) {
        sockaddr_in v4 = {};
        v4.sin_family = AF_INET;
        v4.sin_port = addr.v6.sin6_port;
        memcpy(&v4.sin_addr, &addr.v6.sin6_addr.s6_addr[12], 4);
        return v4;
    }
    return addr;
}

int socket_family(int sock)
{
    int family = AF_UNSPEC;
    socklen_t len = sizeof family;
    getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &family, &len);
    return family;
}

int32_t largest_datagram(const Endpoint &addr)
{
    return addr.family() == AF_INET6 && !is_ipv4_as_ipv6(addr) ? LARGEST_IPV6_DATAGRAM : LARGEST_IPV4_DATAGRAM;
}

void format_address(const Endpoint &addr, char *out, size_t len)
{
    const Endpoint plain = in_family(addr, AF_INET);
    if (plain.family() == AF_INET) {
        inet_ntop(AF_INET, &plain.v4.sin_addr, out, static_cast<socklen_t>(len));
        return;
    }
    if (plain.family() != AF_INET6 ||
        inet_ntop(AF_INET6, &plain.v6.sin6_addr, out, static_cast<socklen_t>(len)) == nullptr) {
        snprintf(out, len, "?");
        return;
    }
    const uint32_t scope = plain.v6.sin6_scope_id;
    if (scope == 0)
        return;
    const size_t used = strlen(out);
    char name[IF_NAMESIZE];
    if (if_indextoname(scope, name) != nullptr)
        snprintf(out + used, len - used, "%%%s", name);
    else
        snprintf(out + used, len - used, "%%%u", scope);
}

void set_buffer_sizes(int sock)
{
    const int size = SOCKET_BUFFER_SIZE;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void set_idle_limit(int sock)
{
    const timeval limit = {IDLE_SECONDS, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const unsigned int limit_ms = IDLE_SECONDS * 1000U;
    setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit_ms, sizeof limit_ms);
}

int open_socket(int family, int type, const char *label)
{
    int sock = socket(family, type, 0);
    if (sock < 0) {
        perror(label);
        return -1;
    }
    set_buffer_sizes(sock);
    return sock;
}

int open_bound_socket(int type, const Endpoint &local, const char *socket_label, const char *bind_label)
{
    Endpoint at = local;
    int sock;
    if (local.family() == AF_INET) {
        sock = open_socket(AF_INET, type, socket_label);
    } else {
        sock = open_ipv6_socket(type, local.family() == AF_UNSPEC);
        if (sock >= 0) {
            at.v6.sin6_family = AF_INET6;
        } else if (local.family() == AF_UNSPEC && errno == EAFNOSUPPORT) {
            // a host without IPv6 serves IPv4 alone, and says nothing of it
            at = make_address(INADDR_ANY, local.port());
            sock = open_socket(AF_INET, type, socket_label);
        } else {
            perror(socket_label);
        }
    }
    if (sock < 0)
        return -1;
    if (type == SOCK_STREAM) {
        // A restarted server may take its port while connections of its last
        // run still linger in TIME_WAIT; a port that another socket listens on
        // stays refused. Never for datagrams: a port that another process
        // holds must fail to bind, or two processes would split the datagrams.
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (bind(sock, &at.sa, at.length()) < 0) {
        perror(bind_label);
        close(sock);
        return -1;
    }
    return sock;
}

int listen_on(const Endpoint &local, const char *socket_label, const char *bind_label)
{
    int sock = open_bound_socket(SOCK_STREAM, local, socket_label, bind_label);
    if (sock < 0)
        return -1;
    if (listen(sock, LISTEN_BACKLOG) != 0) {
        perror("listen()");
        close(sock);
        return -1;
    }
    return sock;
}

int connect_to(const Endpoint &server, const Endpoint &source, int *connect_error)
{
    int sock = open_socket(server.family(), SOCK_STREAM, "socket()");
    if (sock < 0)
        return -1;
    const Endpoint local = with_port(source, 0);  // port 0: any free one
    if (source.family() != AF_UNSPEC && bind(sock, &local.sa, local.length()) < 0) {
        perror("bind()");
        close(sock);
        return -1;
    }
    if (connect(sock, &server.sa, server.length()) < 0) {
        if (connect_error != nullptr)
            *connect_error = errno;
        else
            perror("connect()");
        close(sock);
        return -1;
    }
    set_idle_limit(sock);  // after connect, which keeps the system's own limit
    return sock;
}

int read_tcp_info(int sock, tcp_info *info)
{
    *info = {};
    socklen_t len = sizeof *info;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, info, &len) != 0)
        return -1;
    return static_cast<int>(len);
}

uint64_t bytes_acknowledged(int sock)
{
    tcp_info info;
    return TCP_INFO_HOLDS(read_tcp_info(sock, &info), tcpi_bytes_acked) ? info.tcpi_bytes_acked : 0;
}

int nap_unless_failed(int sock, const timespec &pause)
{
    pollfd watch = {sock, 0, 0};  // POLLERR and POLLHUP are always watched
    if (ppoll(&watch, 1, &pause, nullptr) > 0 && (watch.revents & (POLLERR | POLLHUP)) != 0) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len);
        errno = error != 0 ? error : EPIPE;
        return -1;
    }
    return 0;  // an interrupted nap is only a shorter one
}

int wait_unsent(int sock, int at_most)
{
    // A pause of 0.2 ms adds at most that to a 6-second phase; on a fast
    // path the first look usually finds the queue empty.
    const timespec pause = {0, 200000};
    int last = INT_MAX;
    timespec progress;
    clock_gettime(CLOCK_MONOTONIC, &progress);
    for (;;) {
        int queued = 0;
        if (ioctl(sock, SIOCOUTQ, &queued) != 0)
            return -1;
        if (queued <= at_most)
            return 0;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (queued < last) {
            last = queued;
            progress = now;
        } else if (now.tv_sec - progress.tv_sec >= IDLE_SECONDS) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (nap_unless_failed(sock, pause) != 0)
            return -1;
    }
}

WaitResult wait_for_client(int listener, int *conn, Endpoint *peer)
{
    fd_set readable;
    int ready;
    do {
        // the phase alarm of another thread may land here; wait on
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval timeout = {REMIND_SECONDS, 0};
        ready = select(FD_SETSIZE, &readable, nullptr, nullptr, &timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        perror("select()");
        return LISTENER_FAILED;
    }
    if (ready == 0 || !FD_ISSET(listener, &readable))
        return WAIT_AGAIN;

    Endpoint from;
    socklen_t len = sizeof from.v6;
    *conn = accept(listener, &from.sa, &len);
    if (*conn < 0) {
        // Mostly a client that went before it was accepted. Out of
        // descriptors, the pending client would wake select at once again:
        // give the process time to free some rather than spin.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            sleep(1);
        return WAIT_AGAIN;
    }
    set_buffer_sizes(*conn);
    set_idle_limit(*conn);
    *peer = from;
    return CLIENT_TAKEN;
}
