// tcp/client.cc -- measures TCP throughput to and from a server
#include "tcp/client.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
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

// The kernel's times of a connection are this coarse at most (a jiffy).
constexpr int64_t COARSE_US = 10000;

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
// when the stream ended or failed first. *early is what had arrived by then:
// it crossed before the clock starts.
int wait_first_byte(int sock, int *early)
{
    char byte;
    ssize_t got;
    do
        got = recv(sock, &byte, 1, MSG_PEEK);
    while (got < 0 && errno == EINTR);
    if (got > 0) {
        *early = 0;
        ioctl(sock, SIOCINQ, early);
        return 0;
    }
    if (got < 0)
        perror("recv()");
    return -1;
}

// Where a send phase starts: the bytes taken and the segments
// received by then, and when (now_us).
struct TxStart {
    uint64_t acked;
    uint32_t segs_in;
    int64_t at_us;
};

// The bytes that the peer's host has: those acknowledged, and those it has
// told of beyond a hole (a selective acknowledgement), which crossed as
// well; a phase that ends while a loss is being repaired (on a dropping
// link, as often as not) would otherwise count them short.
uint64_t bytes_taken(const tcp_info &info)
{
    return info.tcpi_bytes_acked + static_cast<uint64_t>(info.tcpi_sacked) * info.tcpi_snd_mss;
}

TxStart tx_start(int sock)
{
    tcp_info info;
    const int filled = read_tcp_info(sock, &info);
    return {TCP_INFO_HOLDS(filled, tcpi_bytes_acked) ? bytes_taken(info) : 0,
            TCP_INFO_HOLDS(filled, tcpi_segs_in) ? info.tcpi_segs_in : 0, now_us()};
}

struct TxSpan {
    int64_t acked;
    int32_t ticks;
};

// The bytes taken since start, and the ticks until now; or until
// the last acknowledgement, where they come so far apart that the gap
// since matters (on a slow link, one segment's time is a good part of a
// second), unless the gap is longer than two of the phase's mean gaps: a
// stall at the end counts as the time it took.
TxSpan tx_span(int sock, const TxStart &start)
{
    tcp_info info;
    const int filled = read_tcp_info(sock, &info);
    int64_t end = now_us();
    if (!TCP_INFO_HOLDS(filled, tcpi_segs_in))
        return {0, ticks_between(0, end - start.at_us, TICKS_PER_SECOND)};
    const int64_t since_last = info.tcpi_last_ack_recv * 1000LL;
    const int64_t last = end - since_last;
    const int64_t gap = (last - start.at_us) / std::max<int64_t>(info.tcpi_segs_in - start.segs_in, 1);
    if (since_last > COARSE_US && since_last <= 2 * gap)
        end = last;
    return {static_cast<int64_t>(bytes_taken(info) - start.acked),
            ticks_between(0, end - start.at_us, TICKS_PER_SECOND)};
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
    const TxStart started = tx_start(sock);
    start_timer(MEASURE_SECONDS);
    int64_t blocks = 0;
    int failed = send_stream_phase(sock, buf, size, &blocks);
    const TxSpan tx = tx_span(sock, started);
    if (failed == 0)
        failed = send_closing_block(sock, buf, size);
    // The closing block too: a request queued behind it would wait for the
    // server's Rx phase.
    if (failed == 0)
        failed = wait_acknowledged(sock, 0);
    say_tx(tx.acked, tx.ticks);
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
    int early = 0;
    failed = wait_first_byte(sock, &early);
    if (failed == 0) {
        start_timer(MEASURE_SECONDS);
        clock_start(&cut.start);
        failed = recv_stream_phase(sock, buf, size, &received, &cut);
    }
    if (!cut.made)
        cut.ticks = clock_elapsed(cut.start, TICKS_PER_SECOND);
    say_rx((cut.made ? cut.bytes : received) - early, cut.ticks);
    return failed == 0 ? SIZE_MEASURED : SIZE_CUT_SHORT;  // a server that went shows at the next size
}

}  // namespace

int tcp_client(const Endpoint *servers, unsigned count_servers, int32_t port, const Endpoint &source,
               const int32_t *sizes, unsigned count)
{
    return run_client({"TCP", servers, count_servers, port, source, -1}, sizes, count, tcp_measure_size);
}
