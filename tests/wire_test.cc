// tests/wire_test.cc -- the figures against what the link carried in the same
// run, read from a capture of its frames at the client's end (tools/wire.py):
// links that drop and links with deep queues, down to 50 kbit/s
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "netns.h"
#include "process.h"

namespace {

// What tools/wire.py reads from the frames that crossed host b's end while
// run ran: a line for each direction.
template <class Run> std::string on_the_wire(const NetnsPair &net, Run run)
{
    char file[] = "/tmp/tarvo-wire-XXXXXX";
    close(mkstemp(file));
    std::string lines;
    {
        Process capture(TARVO_NETBED, {"capture", net.tag(), "b", file});
        EXPECT_TRUE(within(10, [&] { return capture.err().find("listening on") != std::string::npos; }));
        run();
        capture.signal(SIGINT);
        capture.wait(10);
        lines = NetnsPair::output_of(std::string(TARVO_WIRE) + " " + file);
    }
    unlink(file);
    return lines;
}

// The numbers of wire.py's line of a protocol from one address to another
// ("TCP from to FIRST AGAIN LO HI ..." or "UDP from to DATAGRAMS BYTES RATE"),
// -1 for each one missing.
struct Wire {
    double v[4] = {-1, -1, -1, -1};
};
Wire wire_line(const std::string &lines, const std::string &protocol, const char *from, const char *to)
{
    Wire w;
    const std::string head = protocol + " " + from + " " + to + " ";
    const size_t at = lines.find(head);
    if (at != std::string::npos)
        sscanf(lines.c_str() + at + head.size(), "%lf %lf %lf %lf", &w.v[0], &w.v[1], &w.v[2], &w.v[3]);
    return w;
}

// The Tx and Rx figures of the one result line, in Byte/s:
// "Packet size  1k bytes:  5974 Byte/s Tx,  116 KByte/s Rx." (UDP's loss
// in parentheses after each).
void figures(const std::string &out, double *tx, double *rx)
{
    char tx_unit[8] = "", rx_unit[8] = "", loss[8] = "";
    const size_t at = out.find("bytes: ");
    *tx = *rx = -1;
    if (at == std::string::npos)
        return;
    if (out.find("%) Tx") != std::string::npos)
        sscanf(out.c_str() + at + 7, "%lf %7s %7s Tx, %lf %7s", tx, tx_unit, loss, rx, rx_unit);
    else
        sscanf(out.c_str() + at + 7, "%lf %7s Tx, %lf %7s", tx, tx_unit, rx, rx_unit);
    *tx *= tx_unit[0] == 'K' ? 1024 : 1;
    *rx *= rx_unit[0] == 'K' ? 1024 : 1;
}

// The most that the control exchange around a UDP Rx phase may add to it.
constexpr double RX_EXCHANGE_SECONDS = 0.15;

struct Link {
    const char *tx, *rx;  // rates from the client and back, in tc's units
    long limit;           // each bottleneck's queue, bytes
};

// A run of one block size over the link, each figure within 1% of the wire.
// TCP's Rx against the span from the first byte of the server's data, its
// Tx within the bracket of spans where the client's phase lies (the wire
// does not show where its lead-in ends); UDP's against the rate at which
// the datagrams crossed, from the first to the last.
void over(const Link &link, const char *protocol, const char *size, const char *binary = TARVO_BIN, double seconds = 60)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    // a bucket of one frame: a phase gets no head start on an idle link
    ASSERT_TRUE(net.shape(net.b(), link.tx, "1600", link.limit));
    ASSERT_TRUE(net.shape(net.a(), link.rx, "1600", link.limit));
    PairRun run;
    const std::string wire = on_the_wire(net, [&] {
        run = run_pair(net, binary, {"-s", protocol}, {protocol, "-b", size}, NetnsPair::A_ADDR, seconds);
    });
    ASSERT_EQ(run.status, 0) << run.out << run.err << run.server_err;
    double tx, rx;
    figures(run.out, &tx, &rx);
    const char *a = NetnsPair::A_ADDR, *b = NetnsPair::B_ADDR;
    const std::string name = std::string(protocol) + " " + size + " over " + link.tx + " / " + link.rx + ", queues " +
                             std::to_string(link.limit) + ": ";
    if (std::string(protocol) == "-u") {
        const double sent = wire_line(wire, "UDP", b, a).v[2];
        const Wire back = wire_line(wire, "UDP", a, b);
        const double got = back.v[2];
        printf("%sTx %.0f of %.1f, Rx %.0f of %.1f Byte/s\n", name.c_str(), tx, sent, rx, got);
        EXPECT_NEAR(tx, sent, sent * 0.01) << run.out << wire;
        // Rx runs from the request to the server's count: the exchange
        // around the phase, which the first-to-last span leaves out, adds
        // what a loaded machine takes to schedule both ends (56 ms once).
        EXPECT_LE(rx, got * 1.01) << run.out << wire;
        EXPECT_GE(rx, back.v[1] / (back.v[1] / got + RX_EXCHANGE_SECONDS) * 0.99) << run.out << wire;
        return;
    }
    const Wire sent = wire_line(wire, "TCP", b, a), got = wire_line(wire, "TCP", a, b);
    printf("%sTx %.0f in [%.1f, %.1f], Rx %.0f of %.1f Byte/s\n", name.c_str(), tx, sent.v[2], sent.v[3], rx, got.v[0]);
    // a figure in KByte/s is cut to whole ones
    const double cut = tx >= 100 * 1024 ? 1024 : 1;
    EXPECT_GE(tx + cut, sent.v[2] * 0.99) << run.out << wire;
    EXPECT_LE(tx, sent.v[3] * 1.01) << run.out << wire;
    EXPECT_NEAR(rx, got.v[0], got.v[0] * 0.01 + (rx >= 100 * 1024 ? 1024 : 1)) << run.out << wire;
}

// Over a link of 50 kbit/s a run takes minutes: its lead-in and the sender's
// buffer draining after the phase cross at 6 KB/s. The shipped build: a
// send there waits some seconds for room, longer than the test build's
// idle limit.
constexpr double SLOW_RUN_SECONDS = 300;
constexpr long DEEP = 400000;  // more than a sender's buffer: it never drops

}  // namespace

TEST(Wire, TcpFiguresOverADroppingQueue)
{
    over({"3mbit", "5mbit", 32 * 1024}, "-t", "1k");
}

TEST(Wire, TcpFiguresOverADeepQueue)
{
    over({"10mbit", "3mbit", DEEP}, "-t", "32k");
}

TEST(Wire, UdpFiguresOverADroppingQueue)
{
    over({"3mbit", "10mbit", 32 * 1024}, "-u", "1k");
}

TEST(Wire, UdpFiguresOverADeepQueue)
{
    over({"3mbit", "10mbit", DEEP}, "-u", "1k");
}

TEST(Wire, TcpRunsFinishAt50kbitFromTheClient)
{
    over({"50kbit", "1mbit", DEEP}, "-t", "1k", TARVO_BIN, SLOW_RUN_SECONDS);
}

TEST(Wire, TcpRunsFinishAt50kbitToTheClient)
{
    over({"1mbit", "50kbit", DEEP}, "-t", "1k", TARVO_BIN, SLOW_RUN_SECONDS);
}
