// udp/server.cc -- answers UDP benchmark clients, one at a time
#include "udp/server.h"

#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/sock.h"
#include "udp/datagram.h"
#include "udp/receiver.h"

void udp_serve_connection(int conn, char *buf, const Endpoint &peer, int32_t port)
{
    // datagrams go to the control peer's host, on the datagram port, which
    // is the control port's number
    const Endpoint dest = with_port(peer, port);
    CONTROL ctl;
    while (recv_control(conn, &ctl) == 0) {
        if (ctl.cmd == CMD_C2S) {
            say_receiving("UDP", static_cast<int32_t>(ctl.data));
            // reset before the echo: the client sends only after it
            reset_rx_counters();
        } else if (ctl.cmd == CMD_RES) {
            ctl.data = udp_rx_count.load();
        } else if (ctl.cmd == CMD_S2C && valid_block_size(ctl.data)) {
            const auto size = static_cast<int32_t>(ctl.data);
            start_timer(MEASURE_SECONDS);
            say_sending("UDP", size);
            // every datagram tried counts, those that failed too
            ctl.cmd = CMD_RES;
            send_datagram_phase(udp_sock.load(), buf, size, dest, &ctl.data);  // a failure has been said
            // The reply shares the host's queue with the datagrams: behind a
            // full queue it would be dropped, and its retransmission would
            // stretch the client's Rx time. It leaves once they have.
            wait_unsent(udp_sock.load(), 0);
        } else {
            return;  // CMD_QUIT, an unknown code, or a size that does not fit the test buffer
        }
        if (send_control(conn, ctl.cmd, ctl.data) != 0)
            return;
    }
}

void *udp_server_thread(void *local)
{
    // without the datagram socket there is nothing to serve
    if (wait_udp_ready())
        run_service("UDP", *static_cast<const Endpoint *>(local), "socket(STREAM)", "bind(STREAM)",
                    udp_serve_connection);
    return nullptr;
}
