// tcp/server.cc -- serves TCP benchmark clients, one at a time
#include "tcp/server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/settings.h"
#include "core/block.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/sock.h"

namespace {

// Answers control blocks until the client quits, goes, or asks for
// something that cannot be served (an unknown code, a size that does not
// fit the test buffer).
void serve_connection(int conn, char *buf)
{
    CONTROL ctl;
    while (recv_control(conn, &ctl) == 0) {
        if (!valid_block_size(ctl.data))
            return;
        const auto size = static_cast<int32_t>(ctl.data);
        bool ok = true;
        if (ctl.cmd == CMD_C2S) {
            printf("\nReceiving from client, packet size %s ... ", format_size(size));
            fflush(stdout);
            recv_phase(conn, buf, size, &ok);  // a client that went shows at the next control block
        } else if (ctl.cmd == CMD_S2C) {
            start_timer(MEASURE_SECONDS);
            printf("\nSending to client, packet size %s ... ", format_size(size));
            fflush(stdout);
            bool failed = false;
            send_phase(conn, buf, size, nullptr, &failed);
            if (failed || send_closing_block(conn, buf, size) != 0)
                return;
        } else {
            return;  // CMD_QUIT, and every code this server does not serve
        }
    }
}

}  // namespace

void *tcp_server_thread(void *)
{
    char *buf = init_buffer(BUFFER_SIZE);
    int listener = -1;
    if (buf == nullptr)
        perror("malloc()");
    else
        listener = listen_on(bind_addr, tcp_port, "socket()", "bind()");

    while (listener >= 0) {
        puts("TCP server listening.");
        fflush(stdout);
        int conn = wait_for_client(listener, nullptr);
        if (conn == WAIT_FAILED)
            break;
        if (conn == WAIT_AGAIN)
            continue;
        printf("TCP connection established ... ");
        fflush(stdout);
        serve_connection(conn, buf);
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
