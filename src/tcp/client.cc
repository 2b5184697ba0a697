// tcp/client.cc -- measures TCP throughput to and from a server
#include "tcp/client.h"

#include <cstdio>

#include "core/block.h"
#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/session.h"
#include "core/sock.h"
#include "tcp/turn.h"

namespace {

// Waits until at most at_most bytes sent on sock lack an acknowledgement. A
// connection that fails meanwhile, or stalls for the idle limit, fails as a
// send would, and says so.
int wait_acknowledged(int sock, int at_most)
{
    if (wait_unsent(sock, at_most) == 0)
        return 0;
    perror("send()");
    return -1;
}

SizeResult tcp_measure_size(const ClientLink &link, char *buf, int32_t size)
{
    const int sock = link.control;
    say_packet_size(size);
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    // The first phase of the connection starts when the server takes its data.
    if (link.first_size && wait_turn(sock, buf, size) != 0)
        return SIZE_CONVERSATION_OVER;

    // Tx: 6 seconds of blocks, then the closing block. The time runs until
    // the server's host has acknowledged the last block counted, so the
    // blocks still in this host's buffer or in a queue of the path when the
    // alarm rang are timed as they get through, not as they were queued.
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    int64_t blocks = 0;
    int failed = send_stream_phase(sock, buf, size, &blocks);
    if (failed == 0)
        failed = send_closing_block(sock, buf, size);
    if (failed == 0)
        failed = wait_acknowledged(sock, size);
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    // The closing block too: a request queued behind it would start the Rx
    // clock early.
    if (failed == 0)
        failed = wait_acknowledged(sock, 0);
    say_tx(blocks * size, ticks);
    if (failed != 0)
        return SIZE_CONVERSATION_OVER;

    // Rx: from the request to the server's closing block, which counts
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    clock_start(&start);
    int64_t received = 0;
    failed = recv_stream_phase(sock, buf, size, &received);
    ticks = clock_elapsed(start, TICKS_PER_SECOND);
    say_rx(received, ticks);
    return failed == 0 ? SIZE_MEASURED : SIZE_CUT_SHORT;  // a server that went shows at the next size
}

}  // namespace

int tcp_client(const sockaddr_in &server, uint32_t source, const int32_t *sizes, unsigned count)
{
    return run_client({"TCP", server, source, -1}, sizes, count, tcp_measure_size);
}
