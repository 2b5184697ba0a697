// app/main.cc -- start-up: banner, options, then the server threads or one client run
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "app/options.h"
#include "app/settings.h"
#include "core/progress.h"
#include "tcp/client.h"
#include "tcp/server.h"
#include "udp/client.h"
#include "udp/receiver.h"
#include "udp/server.h"

namespace {

// Server threads still serving; each service's thread lowers it as it ends.
std::atomic<int> services_running{0};

// SIGINT is how a server is stopped, so it ends with success; a client
// stopped halfway ends as the shells report an interrupted command.
void on_server_interrupt(int)
{
    _exit(0);
}

void on_client_interrupt(int)
{
    _exit(128 + SIGINT);
}

int start_thread(void *(*entry)(void *))
{
    if (pthread_create(&thread_id, nullptr, entry, nullptr) != 0) {
        puts("Cannot create additional thread.");
        return 1;
    }
    pthread_detach(thread_id);  // never joined: a thread that ends frees its own resources
    return 0;
}

void *tcp_service(void *)
{
    tcp_server_thread(nullptr);
    services_running.fetch_sub(1);
    return nullptr;
}

void *udp_service(void *)
{
    udp_server_thread(nullptr);
    services_running.fetch_sub(1);
    return nullptr;
}

// Starts the selected services and idles while any of them still serves.
int run_server()
{
    if (!journal_lines())
        putchar('\n');
    services_running = (opt_tcp ? 1 : 0) + (opt_udp ? 1 : 0);
    if (opt_tcp && start_thread(tcp_service) != 0)
        return 2;
    if (opt_udp && (start_thread(udp_receiver_thread) != 0 || start_thread(udp_service) != 0))
        return 2;
    // A server with nothing left to serve says so by its exit status.
    while (services_running.load() > 0)
        sleep(1);
    return 1;
}

int run_client()
{
    if (opt_tcp)
        return tcp_client();
    if (start_thread(udp_receiver_thread) != 0)
        return 2;
    if (!wait_udp_ready())
        return 1;  // bind(DGRAM) has said why
    return udp_client();
}

}  // namespace

int main(int argc, char **argv)
{
    use_journal_lines(stdout_is_journal());
    print_banner();
    int status = configure(argc, argv);
    if (status == NEED_USAGE)
        usage();
    if (status != 0)
        return status;

    signal(SIGINT, opt_server ? on_server_interrupt : on_client_interrupt);
    if (opt_server)
        return run_server();
    status = run_client();
    if (status != 2)
        putchar('\n');
    return status;
}
