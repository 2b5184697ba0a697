// udp/client.cc -- measures UDP throughput and datagram loss to and from a server
#include "udp/client.h"

#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/sock.h"
#include "udp/datagram.h"
#include "udp/receiver.h"

namespace {

// Datagrams go to the server's address and port: those of the control connection.
SizeResult udp_measure_size(const ClientRun &run, char *buf, int32_t size)
{
    const int sock = run.control;
    say_packet_size(size);
    CONTROL ctl;
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0 || recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;  // the server resets its count before it echoes

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
