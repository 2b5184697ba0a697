// fuzz/control_fuzz.cc -- arbitrary bytes as a client's side of a control
// connection, fed to the servers' command handling over a real socket pair.
// The first byte picks the service (even: TCP, odd: UDP); the rest is what the
// client sends. Built with 0-second phases, so a send phase is its closing
// block (TCP) or its reply (UDP) alone.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

#include "core/constants.h"
#include "core/measure.h"
#include "core/sock.h"
#include "tcp/server.h"
#include "udp/datagram.h"
#include "udp/server.h"

namespace {

char *setup()
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return nullptr;
    // the datagram socket, on loopback; datagrams go to the discard port
    int dgram = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in local = make_address(inet_addr("127.0.0.1"), 0);
    bind(dgram, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    udp_sock = dgram;
    udp_ready = UDP_BOUND;
    return init_buffer(BUFFER_SIZE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char *buf = setup();
    if (size < 1 || buf == nullptr)
        return 0;
    int fd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0)
        return 0;
    // the whole conversation waits in the socket before the server reads it
    if (size > 1 && send(fd[0], data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
        close(fd[0]);
        close(fd[1]);
        return 0;
    }
    shutdown(fd[0], SHUT_WR);
    std::thread drain([&] {
        char sink[65536];
        while (recv(fd[0], sink, sizeof sink, 0) > 0) {
        }
    });
    const sockaddr_in peer = make_address(inet_addr("127.0.0.1"), 0);
    if (data[0] % 2 == 0)
        tcp_serve_connection(fd[1], buf, peer, 0);
    else
        udp_serve_connection(fd[1], buf, peer, 9);
    shutdown(fd[1], SHUT_RDWR);
    drain.join();
    close(fd[0]);
    close(fd[1]);
    return 0;
}
