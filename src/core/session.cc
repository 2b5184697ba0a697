// core/session.cc -- client runs and listening loops of both benchmarks
#include "core/session.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/sock.h"

int start_thread(void *(*entry)(void *), void *arg)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, entry, arg) != 0) {
        say_no_thread();
        return -1;
    }
    pthread_detach(thread);  // a thread that ends frees its own resources
    return 0;
}

namespace {

// The control connection to the first of the server's addresses that
// answers, or -1. Where there are several, their failures are said only
// when none answers, each with its address.
int connect_to_server(ClientRun &run)
{
    if (run.nservers == 1) {
        run.server = with_port(run.servers[0], run.port);
        return connect_to(run.server, run.source);
    }
    int errors[MAX_SERVER_ADDRESSES] = {};
    for (unsigned i = 0; i < run.nservers && i < MAX_SERVER_ADDRESSES; ++i) {
        run.server = with_port(run.servers[i], run.port);
        const int sock = connect_to(run.server, run.source, &errors[i]);
        if (sock >= 0)
            return sock;
    }
    for (unsigned i = 0; i < run.nservers && i < MAX_SERVER_ADDRESSES; ++i) {
        if (errors[i] == 0)
            continue;  // socket() or bind() has said why
        char text[ADDRESS_TEXT_SIZE];
        format_address(run.servers[i], text, sizeof text);
        fprintf(stderr, "connect() to %s: %s\n", text, strerror(errors[i]));
    }
    return -1;
}

}  // namespace

int run_client(ClientRun run, const int32_t *sizes, unsigned count, measure_fn measure)
{
    char *buf = init_buffer(BUFFER_SIZE);
    if (buf == nullptr) {
        perror("malloc()");
        return 1;
    }
    const int sock = connect_to_server(run);
    if (sock < 0) {
        free(buf);
        return 1;
    }
    say_connected(run.protocol);
    run.control = sock;
    run.first_size = true;

    int status = 0;
    for (unsigned i = 0; i < count; ++i) {
        const SizeResult result = measure(run, buf, sizes[i]);
        run.first_size = false;
        if (result != SIZE_MEASURED)
            status = 1;
        if (result == SIZE_CONVERSATION_OVER)
            break;
    }

    send_control(sock, CMD_QUIT, 0);  // the run ends whatever its fate
    say_client_done();
    close(sock);
    free(buf);
    return status;
}

namespace {

void serve_clients(const char *protocol, int listener, char *buf, int32_t port, serve_fn serve)
{
    for (;;) {
        say_listening(protocol);
        Endpoint peer;
        int conn;
        const WaitResult waited = wait_for_client(listener, &conn, &peer);
        if (waited == LISTENER_FAILED)
            return;
        if (waited == WAIT_AGAIN)
            continue;
        say_established(protocol, peer);
        serve(conn, buf, peer, port);
        say_done(protocol);
        close(conn);
    }
}

}  // namespace

void run_service(const char *protocol, const Endpoint &local, const char *socket_label, const char *bind_label,
                 serve_fn serve)
{
    char *buf = init_buffer(BUFFER_SIZE);
    if (buf == nullptr) {
        perror("malloc()");
    } else {
        int listener = listen_on(local, socket_label, bind_label);
        if (listener >= 0) {
            serve_clients(protocol, listener, buf, local.port(), serve);
            close(listener);
        }
    }
    free(buf);
}
