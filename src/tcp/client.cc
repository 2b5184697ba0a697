// tcp/client.cc -- measures TCP throughput to and from a server
#include "tcp/client.h"

#include <sys/socket.h>

#include <cerrno>
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

// Waits for the first byte of the server's phase: 0, or -1 after a report
// when the stream ended or failed first.
int wait_first_byte(int sock)
{
    char byte;
    ssize_t got;
    do
        got = recv(sock, &byte, 1, MSG_PEEK);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        return 0;
    if (got < 0)
        perror("recv()");
    return -1;
}

SizeResult tcp_measure_size(const ClientRun &run, char *buf, int32_t size)
{
    const int sock = run.control;
    say_packet_size(size);
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    // The first phase of the connection starts when the server takes its
    // data; every phase starts with nothing on its way.
    if (run.first_size && wait_turn(sock, buf, size) != 0)
        return SIZE_CONVERSATION_OVER;
    if (wait_acknowledged(sock, 0) != 0)
        return SIZE_CONVERSATION_OVER;

    // Tx: the bytes that the server's host acknowledged while the blocks
    // went, over that time. What the buffers and the path's queues still
    // hold at the end has not crossed, and does not count; a segment lost
    // at the very end, which only a timeout repairs, adds no time.
    const uint64_t acked_at_start = bytes_acknowledged(sock);
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    int64_t blocks = 0;
    int failed = send_stream_phase(sock, buf, size, &blocks);
    const int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    const auto acked = static_cast<int64_t>(bytes_acknowledged(sock) - acked_at_start);
    if (failed == 0)
        failed = send_closing_block(sock, buf, size);
    // The closing block too: a request queued behind it would wait for the
    // server's Rx phase.
    if (failed == 0)
        failed = wait_acknowledged(sock, 0);
    say_tx(acked, ticks);
    if (failed != 0)
        return SIZE_CONVERSATION_OVER;

    // Rx: the bytes that arrived in the MEASURE_SECONDS after the first byte
    // of the server's phase, over that time; or all of them, up to the
    // closing block, when it comes sooner. Every block is read up to it.
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return SIZE_CONVERSATION_OVER;
    PhaseCut cut = {};
    int64_t received = 0;
    clock_start(&cut.start);  // for a server that sends nothing at all
    failed = wait_first_byte(sock);
    if (failed == 0) {
        start_timer(MEASURE_SECONDS);
        clock_start(&cut.start);
        failed = recv_stream_phase(sock, buf, size, &received, &cut);
    }
    if (!cut.made)
        cut.ticks = clock_elapsed(cut.start, TICKS_PER_SECOND);
    say_rx(cut.made ? cut.bytes : received, cut.ticks);
    return failed == 0 ? SIZE_MEASURED : SIZE_CUT_SHORT;  // a server that went shows at the next size
}

}  // namespace

int tcp_client(const Endpoint *servers, unsigned count_servers, int32_t port, const Endpoint &source,
               const int32_t *sizes, unsigned count)
{
    return run_client({"TCP", servers, count_servers, port, source, -1}, sizes, count, tcp_measure_size);
}
