// tcp/server.cc -- serves TCP benchmark clients, one at a time
#include "tcp/server.h"

#include "core/block.h"
#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"

void tcp_serve_connection(int conn, char *buf, const Endpoint &, int32_t)
{
    CONTROL ctl;
    while (recv_control(conn, &ctl) == 0) {
        if (!valid_block_size(ctl.data))
            return;
        const auto size = static_cast<int32_t>(ctl.data);
        if (ctl.cmd == CMD_C2S) {
            say_receiving("TCP", size);
            int64_t bytes;
            if (recv_stream_phase(conn, buf, size, &bytes) != 0)
                return;  // the client went, or kept the server waiting too long
        } else if (ctl.cmd == CMD_S2C) {
            start_timer(MEASURE_SECONDS);
            say_sending("TCP", size);
            int64_t blocks;
            if (send_stream_phase(conn, buf, size, &blocks) != 0 || send_closing_block(conn, buf, size) != 0)
                return;
        } else {
            return;  // CMD_QUIT, and every code this server does not serve
        }
    }
}

void *tcp_server_thread(void *local)
{
    run_service("TCP", *static_cast<const Endpoint *>(local), "socket()", "bind()", tcp_serve_connection);
    return nullptr;
}
