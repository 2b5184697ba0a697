// app/main.cc -- start-up: banner, options, then the server threads or one client run
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "app/options.h"
#include "app/settings.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/sock.h"
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

// The local addresses of the services, for the threads to read: they live
// as long as the process.
Endpoint tcp_local, udp_local;

// A service thread: the service, then one fewer running.
template <void *(*serve)(void *)> void *service(void *local)
{
    serve(local);
    services_running.fetch_sub(1);
    return nullptr;
}

// Starts the selected services and idles while any of them still serves.
// Returns the exit status.
int server_mode()
{
    say_server_start();
    services_running = (opt_tcp ? 1 : 0) + (opt_udp ? 1 : 0);
    if (opt_tcp && start_thread(service<tcp_server_thread>, &tcp_local) != 0)
        return STATUS_NO_THREAD;
    if (opt_udp && (start_thread(udp_receiver_thread, &udp_local) != 0 ||
                    start_thread(service<udp_server_thread>, &udp_local) != 0))
        return STATUS_NO_THREAD;
    // A server with nothing left to serve says so by its exit status.
    while (services_running.load() > 0)
        sleep(1);
    return 1;
}

// One client run of the chosen protocol. Returns the exit status.
int client_mode()
{
    if (opt_tcp)
        return tcp_client(server_addrs, nserver_addrs, tcp_port, bind_addr, block_sizes, nblock_sizes);
    return udp_client(server_addrs, nserver_addrs, udp_local, block_sizes, nblock_sizes);
}

}  // namespace

int main(int argc, char **argv)
{
    use_journal_lines(stdout_is_journal());
    print_banner();
    const ConfigResult config = configure(argc, argv);
    if (config == CONFIG_USAGE)
        usage();
    if (config == CONFIG_FAILED)
        return 1;

    signal(SIGINT, opt_server ? on_server_interrupt : on_client_interrupt);
    tcp_local = with_port(bind_addr, tcp_port);
    udp_local = with_port(bind_addr, udp_port);
    if (opt_server)
        return server_mode();
    const int status = client_mode();
    if (status != STATUS_NO_THREAD)
        say_run_over();
    return status;
}
