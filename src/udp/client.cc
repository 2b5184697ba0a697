// udp/client.cc -- measures UDP throughput and datagram loss to and from a server
#include "udp/client.h"

#include <cstdio>

#include "core/block.h"
#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/shared.h"
#include "core/sock.h"
#include "udp/receiver.h"

namespace {

// Datagrams go to the server's address and port: those of the control connection.
SizeResult udp_measure_size(int sock, char *buf, int32_t size, const sockaddr_in &server)
{
    say_packet_size(size);
    CONTROL ctl;
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0 || recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;  // the server resets its count before it echoes

    // Tx: the rate rests on what the server counted
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    const uint32_t sent = send_datagram_phase(udp_sock.load(), buf, size, server);
    // The time runs until the datagrams have left this host: those still
    // queued here when the alarm rang reach the server and count. (The
    // request that follows would wait behind them anyway.)
    wait_unsent(udp_sock.load(), 0);
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    if (send_control(sock, CMD_RES, ctl.data) != 0 || recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;
    const uint32_t counted = ctl.data;
    report_rate(static_cast<int64_t>(size) * counted, ticks);
    printf(" (%ld%%) Tx, ", loss_percent(sent, counted));
    fflush(stdout);

    // Rx: from the request to the server's count, which comes after its phase
    reset_rx_counters();  // before the request, so the first datagram counts
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    clock_start(&start);
    if (recv_control(sock, &ctl) != 0)
        return SIZE_CONVERSATION_OVER;
    ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    report_rate(udp_rx_bytes.load(), ticks);
    printf(" (%ld%%) Rx.\n", loss_percent(ctl.data, udp_rx_count.load()));
    return SIZE_MEASURED;
}

}  // namespace

long loss_percent(uint32_t sent, uint32_t received)
{
    if (sent == 0 || received >= sent)
        return 0;
    return static_cast<long>((static_cast<uint64_t>(sent - received) * 100) / sent);
}

int udp_client(const sockaddr_in &server, const int32_t *sizes, unsigned count)
{
    return run_client("UDP", server, sizes, count, udp_measure_size);
}
