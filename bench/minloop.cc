// bench/minloop.cc -- the floor: the least a blocking TCP benchmark can do on
// this host, against which tarvo's own work shows. The sender sends blocks
// of the size given with one blocking send each; the receiver takes 64 KiB
// a call and the kernel discards them (MSG_TRUNC). Same socket buffers, same
// 6-second send phase and the same way of timing it, over IPv4 or IPv6.
// With "marks", the receiver reads as a receiver must that looks at every
// block's first byte: it sleeps until a whole block waits (SO_RCVLOWAT),
// then takes that byte and has the kernel discard the rest, two calls a
// block; the floor of any such reader.
//
//   minloop -s PORT                              serve one client after another, on both families
//   minloop -c ADDR PORT SIZE SECONDS tx [marks] client sends, server discards
//   minloop -c ADDR PORT SIZE SECONDS rx [marks] server sends, client discards
// The client prints "KBYTES_PER_SECOND BYTES".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int SOCKET_BUFFER = 131072;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int stream_socket(int family)
{
    int sock = socket(family, SOCK_STREAM, 0);
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
    return sock;
}

volatile sig_atomic_t time_up;

void on_alarm(int)
{
    time_up = 1;
}

// Sends blocks until the alarm; returns the bytes sent.
int64_t send_for(int sock, const char *buf, int size, int seconds)
{
    int64_t bytes = 0;
    time_up = 0;
    struct sigaction action = {};
    action.sa_handler = on_alarm;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    alarm(static_cast<unsigned>(seconds));
    while (!time_up) {
        ssize_t n = send(sock, buf, size, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        bytes += n;
    }
    return bytes;
}

int64_t discard_all(int sock, char *buf)
{
    int64_t bytes = 0;
    for (ssize_t n; (n = recv(sock, buf, 65536, MSG_TRUNC)) > 0;)
        bytes += n;
    return bytes;
}

int64_t discard_marked(int sock, char *buf, int size)
{
    setsockopt(sock, SOL_SOCKET, SO_RCVLOWAT, &size, sizeof size);
    int64_t bytes = 0;
    for (;;) {
        ssize_t n = recv(sock, buf, 1, MSG_WAITALL);
        if (n <= 0)
            return bytes;
        bytes += n;
        if ((n = recv(sock, buf, static_cast<size_t>(size - 1), MSG_TRUNC | MSG_WAITALL)) <= 0)
            return bytes;
        bytes += n;
    }
}

int serve(int port)
{
    int listener = stream_socket(AF_INET6);
    const int on = 1, off = 0;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sa = {};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listener, 2) != 0) {
        perror("minloop server");
        return 1;
    }
    std::vector<char> buf(65536, 'x');
    for (;;) {
        int conn = accept(listener, nullptr, nullptr);
        if (conn < 0)
            continue;
        int32_t request[3];  // direction ('T': tx, read marks), block size, seconds
        if (recv(conn, request, sizeof request, MSG_WAITALL) == sizeof request) {
            if (request[0] == 'r')
                send_for(conn, buf.data(), request[1], request[2]);
            else if (request[0] == 'T')
                discard_marked(conn, buf.data(), request[1]);
            else
                discard_all(conn, buf.data());
        }
        close(conn);
    }
}

int client(const char *addr, int port, int size, int seconds, bool tx, bool marks)
{
    sockaddr_in6 sa6 = {};
    sockaddr_in sa4 = {};
    sa6.sin6_family = AF_INET6;
    sa6.sin6_port = sa4.sin_port = htons(static_cast<uint16_t>(port));
    sa4.sin_family = AF_INET;
    const bool v6 = inet_pton(AF_INET6, addr, &sa6.sin6_addr) == 1;
    sa4.sin_addr.s_addr = inet_addr(addr);
    int sock = stream_socket(v6 ? AF_INET6 : AF_INET);
    if (connect(sock, v6 ? reinterpret_cast<sockaddr *>(&sa6) : reinterpret_cast<sockaddr *>(&sa4),
                v6 ? sizeof sa6 : sizeof sa4) != 0) {
        perror("minloop client");
        return 1;
    }
    std::vector<char> buf(65536, 'x');
    const int32_t request[3] = {tx ? (marks ? 'T' : 't') : 'r', size, seconds};  // rx marks are read here
    send(sock, request, sizeof request, 0);
    const double start = now();
    const int64_t bytes = tx      ? send_for(sock, buf.data(), size, seconds)
                          : marks ? discard_marked(sock, buf.data(), size)
                                  : discard_all(sock, buf.data());
    const double elapsed = now() - start;
    close(sock);
    printf("%.0f %lld\n", static_cast<double>(bytes) / 1024 / elapsed, static_cast<long long>(bytes));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-s") == 0)
        return serve(atoi(argv[2]));
    if ((argc == 7 || (argc == 8 && strcmp(argv[7], "marks") == 0)) && strcmp(argv[1], "-c") == 0)
        return client(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), strcmp(argv[6], "tx") == 0, argc == 8);
    fprintf(stderr, "usage: minloop -s PORT | -c ADDR PORT SIZE SECONDS tx|rx [marks]\n");
    return 2;
}
