// udp/server.cc -- answers UDP benchmark clients, one at a time
#include "udp/server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/settings.h"
#include "core/block.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/sock.h"
#include "udp/receiver.h"

namespace {

// Answers control blocks until the client quits, goes, or asks for
// something that cannot be served.
void serve_connection(int conn, char *buf, const sockaddr_in &dest)
{
    CONTROL ctl;
    while (recv_control(conn, &ctl) == 0) {
        if (ctl.cmd == CMD_C2S) {
            printf("\nReceiving from client, packet size %s ... ", format_size(static_cast<int32_t>(ctl.data)));
            fflush(stdout);
            // reset before the echo: the client sends only after it
            reset_rx_counters();
        } else if (ctl.cmd == CMD_RES) {
            ctl.data = udp_rx_count.load();
        } else if (ctl.cmd == CMD_S2C && valid_block_size(ctl.data)) {
            const auto size = static_cast<int32_t>(ctl.data);
            start_timer(MEASURE_SECONDS);
            printf("\nSending to client, packet size %s ... ", format_size(size));
            fflush(stdout);
            bool failed = false;
            // every datagram tried counts, those that failed too
            ctl.cmd = CMD_RES;
            ctl.data = static_cast<uint32_t>(send_phase(udp_sock.load(), buf, size, &dest, &failed));
        } else {
            return;  // CMD_QUIT, an unknown code, or a size that does not fit the test buffer
        }
        if (send_control(conn, ctl.cmd, ctl.data) != 0)
            return;
    }
}

}  // namespace

void *udp_server_thread(void *)
{
    char *buf = init_buffer(BUFFER_SIZE);
    int listener = -1;
    if (buf == nullptr)
        perror("malloc()");
    else if (wait_udp_ready())  // without the datagram socket there is nothing to serve
        listener = listen_on(bind_addr, udp_port, "socket(STREAM)", "bind(STREAM)");

    while (listener >= 0) {
        puts("UDP server listening.");
        fflush(stdout);
        sockaddr_in peer;
        int conn = wait_for_client(listener, &peer);
        if (conn == WAIT_FAILED)
            break;
        if (conn == WAIT_AGAIN)
            continue;
        printf("UDP connection established ... ");
        fflush(stdout);
        // datagrams go to the control peer's host, on the datagram port
        serve_connection(conn, buf, make_address(peer.sin_addr.s_addr, udp_port));
        puts("\nDone.");
        fflush(stdout);
        close(conn);
    }

    if (listener >= 0)
        close(listener);
    free(buf);
    services_running.fetch_sub(1);
    return nullptr;
}
