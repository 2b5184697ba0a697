// core/sock.cc -- opening, binding, connecting and accepting stream sockets
#include "core/sock.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "core/constants.h"

namespace {
constexpr int LISTEN_BACKLOG = 2;
constexpr int REMIND_SECONDS = 3600;  // an idle server says it is listening once an hour
}  // namespace

sockaddr_in make_address(uint32_t addr, int32_t port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
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

int open_socket(int type, const char *label)
{
    int sock = socket(AF_INET, type, 0);
    if (sock < 0) {
        perror(label);
        return -1;
    }
    set_buffer_sizes(sock);
    return sock;
}

int open_bound_socket(int type, const sockaddr_in &local, const char *socket_label, const char *bind_label)
{
    int sock = open_socket(type, socket_label);
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
    if (bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        perror(bind_label);
        close(sock);
        return -1;
    }
    return sock;
}

int listen_on(const sockaddr_in &local, const char *socket_label, const char *bind_label)
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

int connect_to(const sockaddr_in &server, uint32_t source)
{
    int sock = open_socket(SOCK_STREAM, "socket()");
    if (sock < 0)
        return -1;
    const sockaddr_in local = make_address(source, 0);  // port 0: any free one
    if (source != INADDR_ANY && bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        perror("bind()");
        close(sock);
        return -1;
    }
    if (connect(sock, reinterpret_cast<const sockaddr *>(&server), sizeof server) < 0) {
        perror("connect()");
        close(sock);
        return -1;
    }
    set_idle_limit(sock);  // after connect, which keeps the system's own limit
    return sock;
}

int read_tcp_info(int sock, tcp_info *info)
{
    socklen_t len = sizeof *info;
    return getsockopt(sock, IPPROTO_TCP, TCP_INFO, info, &len);
}

uint64_t bytes_acknowledged(int sock)
{
    tcp_info info = {};
    return read_tcp_info(sock, &info) == 0 ? info.tcpi_bytes_acked : 0;
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

WaitResult wait_for_client(int listener, int *conn, sockaddr_in *peer)
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

    sockaddr_in from = {};
    socklen_t len = sizeof from;
    *conn = accept(listener, reinterpret_cast<sockaddr *>(&from), &len);
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
