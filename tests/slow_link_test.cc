// tests/slow_link_test.cc -- whole runs over links of 50 kbit/s one way and
// 1 Mbit/s the other, each figure against what the capture saw cross
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "netns.h"
#include "process.h"

namespace {

// Over a link of 50 kbit/s a run takes minutes: its lead-in and the sender's
// buffer draining after the phase cross at 6 KB/s. The shipped build: a
// send there waits some seconds for room, longer than the test build's
// idle limit.
constexpr double RUN_SECONDS = 300;

// The Tx and Rx figures of a TCP run's one result line, in Byte/s:
// "Packet size  1k bytes:  5974 Byte/s Tx,  116 KByte/s Rx."
void figures(const std::string &out, double *tx, double *rx)
{
    char tx_unit[8] = "", rx_unit[8] = "";
    const size_t at = out.find("bytes: ");
    *tx = *rx = -1;
    if (at != std::string::npos)
        sscanf(out.c_str() + at + 7, "%lf %7s Tx, %lf %7s", tx, tx_unit, rx, rx_unit);
    *tx *= tx_unit[0] == 'K' ? 1024 : 1;
    *rx *= rx_unit[0] == 'K' ? 1024 : 1;
}

// A TCP run of 1k blocks, the link from the client tx and back rx, with
// queues of limit bytes; each figure within 1% of the wire: Rx of the span
// from the first byte of the server's data, Tx of the bracket of spans
// where the client's phase lies.
void tcp_over(const char *tx, const char *rx, long limit)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    ASSERT_TRUE(net.shape(net.b(), tx, "1600", limit));  // one frame of burst: no head start
    ASSERT_TRUE(net.shape(net.a(), rx, "1600", limit));
    PairRun run;
    const std::string wire = net.on_the_wire(net.b(), [&] {
        run = run_pair(net, TARVO_BIN, {"-s", "-t"}, {"-t", "-b", "1k"}, NetnsPair::A_ADDR, RUN_SECONDS);
    });
    ASSERT_EQ(run.status, 0) << run.out << run.err << run.server_err;
    const WireRates sent = wire_rates(wire, NetnsPair::B_ADDR, NetnsPair::A_ADDR),
                    got = wire_rates(wire, NetnsPair::A_ADDR, NetnsPair::B_ADDR);
    double fig_tx, fig_rx;
    figures(run.out, &fig_tx, &fig_rx);
    printf("%s / %s, queue %ld: Tx %.0f in [%.1f, %.1f], Rx %.0f of %.1f Byte/s\n", tx, rx, limit, fig_tx, sent.lo,
           sent.hi, fig_rx, got.first);
    EXPECT_GE(fig_tx, sent.lo * 0.99) << run.out << wire;
    EXPECT_LE(fig_tx, sent.hi * 1.01) << run.out << wire;
    EXPECT_NEAR(fig_rx, got.first, got.first * 0.01) << run.out << wire;
}

}  // namespace

// A queue deeper than a sender's buffer, which never drops: the sender's
// buffer and lead-in take a minute each to cross.
TEST(SlowLink, TcpFinishesAt50kbitFromTheClientWithTheFiguresOfTheWire)
{
    tcp_over("50kbit", "1mbit", 400000);
}

// The same, the slow way towards the client.
TEST(SlowLink, TcpFinishesAt50kbitToTheClientWithTheFiguresOfTheWire)
{
    tcp_over("1mbit", "50kbit", 400000);
}
