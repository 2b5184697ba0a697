// udp/client.cc -- measures UDP throughput and datagram loss to and from a server
#include "udp/client.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/sock.h"
#include "udp/datagram.h"
#include "udp/receiver.h"

namespace {

// A free server echoes a request as soon as its host has it; one that
// serves another client has left this connection in its listen queue,
// whose host acknowledges the request while nobody reads it. A request
// acknowledged this long without an echo is waiting for its turn.
constexpr int ECHO_PROMPT_MS = 2000;
// While it waits, the connection carries no data, so a host that vanished
// would go unnoticed: keepalive probes, which a live host answers, go out
// this often, and the idle limit (TCP_USER_TIMEOUT) gives up on a host that
// answers none of them.
constexpr int PROBE_SECONDS = IDLE_SECONDS / 3;

void probe_while_waiting(int sock, bool on)
{
    const int enable = on ? 1 : 0;
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &PROBE_SECONDS, sizeof PROBE_SECONDS);
    setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &PROBE_SECONDS, sizeof PROBE_SECONDS);
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable);
}

bool request_acknowledged(int sock)
{
    tcp_info info;
    return read_tcp_info(sock, &info) >= 0 && info.tcpi_unacked == 0;
}

// The echo of the run's first request, which a server busy with another
// client sends only when that client's run is over: this says once on
// standard error that the client waits, and waits up to TURN_WAIT_SECONDS.
// 0, or -1 after a report (a connection that failed meanwhile, a turn that
// never came) or when the server closed it.
int wait_echo(int sock, CONTROL *ctl)
{
    const int64_t give_up = now_ms() + TURN_WAIT_SECONDS * 1000LL;
    bool waiting = false;
    pollfd ready = {sock, POLLIN, 0};
    int got;
    while ((got = poll(&ready, 1, ECHO_PROMPT_MS)) <= 0) {
        if (got < 0 && errno != EINTR) {
            perror("poll()");
            return -1;
        }
        if (now_ms() > give_up) {
            errno = ETIMEDOUT;
            perror("recv()");
            return -1;
        }
        if (got == 0 && !waiting && request_acknowledged(sock)) {
            say_waiting_turn();
            probe_while_waiting(sock, true);
            waiting = true;
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if ((ready.revents & POLLERR) != 0 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        errno = error;
        perror("recv()");
        return -1;
    }
    if (waiting)
        probe_while_waiting(sock, false);
    return recv_control(sock, ctl);
}

// Datagrams go to the server's address and port: those of the control connection.
SizeResult udp_measure_size(const ClientRun &run, char *buf, int32_t size)
{
    const int sock = run.control;
    CONTROL ctl;
    // The server resets its count before it echoes. The first size's label
    // waits for the server's turn: a client that gives up prints no line.
    if (!run.first_size)
        say_packet_size(size);
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0 ||
        (run.first_size ? wait_echo(sock, &ctl) : recv_control(sock, &ctl)) != 0)
        return SIZE_CONVERSATION_OVER;
    if (run.first_size)
        say_packet_size(size);

    // Tx: the rate rests on what the server counted
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    uint32_t sent = 0;
    send_datagram_phase(run.datagrams, buf, size, run.server, &sent);  // a failure has been said
    // The time runs until the datagrams have left this host: those still
    // queued here when the alarm rang reach the server and count. (The
    // request that follows would wait behind them anyway.)
    wait_unsent(run.datagrams, 0);
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    if (send_control(sock, CMD_RES, ctl.data) != 0 || recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;
    const uint32_t counted = ctl.data;
    say_tx(static_cast<int64_t>(size) * counted, ticks, loss_percent(sent, counted));

    // Rx: from the request to the server's count, which comes after its phase
    reset_rx_counters();  // before the request, so the first datagram counts
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    clock_start(&start);
    if (recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;
    ticks = clock_elapsed(start, TICKS_PER_SECOND);
    say_rx(udp_rx_bytes.load(), ticks, loss_percent(ctl.data, udp_rx_count.load()));
    return SIZE_MEASURED;
}

}  // namespace

long loss_percent(uint32_t sent, uint32_t received)
{
    if (sent == 0 || received >= sent)
        return 0;
    return static_cast<long>((static_cast<uint64_t>(sent - received) * 100) / sent);
}

int udp_client(const Endpoint *servers, unsigned count_servers, const Endpoint &local, const int32_t *sizes,
               unsigned count)
{
    // The receiver reads local only before it says whether it has bound.
    Endpoint bind_to = local;
    if (start_thread(udp_receiver_thread, &bind_to) != 0)
        return STATUS_NO_THREAD;
    if (!wait_udp_ready())
        return 1;  // bind(DGRAM) has said why
    // The control connection leaves from the datagram socket's address: the
    // server sends its datagrams to the host the connection comes from.
    return run_client({"UDP", servers, count_servers, local.port(), with_port(local, 0), udp_sock.load()}, sizes, count,
                      udp_measure_size);
}
