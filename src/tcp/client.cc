// tcp/client.cc -- measures TCP throughput to and from a server
#include "tcp/client.h"

#include <cstdio>

#include "app/settings.h"
#include "core/block.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/session.h"

namespace {

// One result line.
int measure_size(int sock, char *buf, int32_t size)
{
    printf("Packet size %s bytes: ", format_size(size));
    fflush(stdout);
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0)
        return -1;

    // Tx: 6 seconds of blocks; the closing block goes outside the measured time
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    bool failed = false;
    const int64_t sent = static_cast<int64_t>(send_phase(sock, buf, size, nullptr, &failed)) * size;
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    report_rate(sent, ticks);
    printf(" Tx, ");
    fflush(stdout);
    if (failed || send_closing_block(sock, buf, size) != 0)
        return -1;

    // Rx: from the request to the server's closing block, which counts
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return -1;
    clock_start(&start);
    bool complete = false;
    const int64_t received = recv_phase(sock, buf, size, &complete);
    ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    report_rate(received, ticks);
    puts(" Rx.");
    return complete ? 0 : 1;  // a server that went shows at the next size
}

}  // namespace

int tcp_client()
{
    return run_client("TCP", tcp_port, measure_size);
}
