// core/session.cc -- client runs and listening loops of both benchmarks
#include "core/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/settings.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/sock.h"

int run_client(const char *protocol, int32_t port, measure_fn measure)
{
    char *buf = init_buffer(BUFFER_SIZE);
    if (buf == nullptr) {
        perror("malloc()");
        return 1;
    }
    int sock = connect_to(server_addr, port);
    if (sock < 0) {
        free(buf);
        return 1;
    }
    printf("\n%s connection established.\n", protocol);

    int status = 0;
    for (unsigned i = 0; i < nblock_sizes; ++i) {
        const int result = measure(sock, buf, block_sizes[i]);
        if (result != 0)
            status = 1;
        if (result < 0)
            break;
    }

    send_control(sock, CMD_QUIT, 0);  // the run ends whatever its fate
    puts("Done.");
    close(sock);
    free(buf);
    return status;
}

namespace {

void serve_clients(const char *protocol, int listener, char *buf, serve_fn serve)
{
    for (;;) {
        say_listening(protocol);
        sockaddr_in peer;
        int conn = wait_for_client(listener, &peer);
        if (conn == WAIT_FAILED)
            return;
        if (conn == WAIT_AGAIN)
            continue;
        say_established(protocol, peer);
        serve(conn, buf, peer);
        say_done(protocol);
        close(conn);
    }
}

}  // namespace

void run_service(const char *protocol, int32_t port, const char *socket_label, const char *bind_label,
                 serve_fn serve)
{
    char *buf = init_buffer(BUFFER_SIZE);
    if (buf == nullptr) {
        perror("malloc()");
    } else {
        int listener = listen_on(bind_addr, port, socket_label, bind_label);
        if (listener >= 0) {
            serve_clients(protocol, listener, buf, serve);
            close(listener);
        }
    }
    free(buf);
}
