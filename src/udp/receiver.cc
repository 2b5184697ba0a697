// udp/receiver.cc -- counts the datagrams that reach udp_port
#include "udp/receiver.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/settings.h"
#include "core/measure.h"
#include "core/sock.h"

void reset_rx_counters()
{
    udp_rx_count.store(0);
    udp_rx_bytes.store(0);
}

bool wait_udp_ready()
{
    const timespec pause = {0, 10000000};
    while (udp_ready.load() == 0)
        nanosleep(&pause, nullptr);
    return udp_ready.load() > 0;
}

void *udp_receiver_thread(void *)
{
    char *buf = init_buffer(BUFFER_SIZE);
    int sock = -1;
    if (buf == nullptr)
        perror("malloc()");
    else
        sock = open_bound_socket(SOCK_DGRAM, bind_addr, udp_port, "socket(DGRAM)", "bind(DGRAM)");
    if (sock < 0) {
        // udp_sock stays -1: nobody may send on a descriptor that is not ours
        free(buf);
        udp_ready.store(-1);
        return nullptr;
    }
    udp_sock.store(sock);
    udp_ready.store(1);

    for (;;) {
        // 65536 bytes hold the largest datagram, so n is its whole length
        ssize_t n = recvfrom(sock, buf, BUFFER_SIZE, 0, nullptr, nullptr);
        if (n > 0) {
            udp_rx_count.fetch_add(1);
            udp_rx_bytes.fetch_add(n);
        } else if (n < 0 && errno != EINTR) {
            perror("recvfrom()");
        }
        // an empty datagram counts nothing
    }
}
