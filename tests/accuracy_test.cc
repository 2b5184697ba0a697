// tests/accuracy_test.cc -- the figures checked against a link of known speed:
// two namespaces joined by veth, each direction shaped by a token bucket, and
// for UDP the kernel's own count of what was sent and dropped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "netns.h"
#include "process.h"

namespace {

// Different rates each way, so that a Tx figure taken for Rx shows.
constexpr double TX_MBIT = 100;  // client (host b) to server (host a)
constexpr double RX_MBIT = 40;   // server to client
constexpr double UDP_TX_MBIT = 40;
constexpr double UDP_RX_MBIT = 25;

// A 1024-byte datagram is a frame of 1024 + 8 (UDP) + 20 (IP) + 14 = 1066
// bytes; over IPv6, whose header is 20 bytes longer, 1086.
constexpr double DATAGRAM_FRAME = 1066, DATAGRAM_FRAME6 = 1086;

struct Figures {
    long tx = -1, tx_loss = -1, rx = -1, rx_loss = -1;
};

// The one result line of a single-size run; a rate in Byte/s is turned into KByte/s.
Figures parse(const std::string &out)
{
    Figures f;
    const size_t at = out.find("bytes: ");
    if (at == std::string::npos)
        return f;
    std::istringstream line(out.substr(at + 7));
    std::string unit, word;
    auto rate = [&](long *value, long *loss) {
        line >> *value >> unit;
        if (unit == "Byte/s")
            *value /= 1024;
        line >> word;
        if (word.front() == '(') {
            *loss = std::stol(word.substr(1));
            line >> word;
        }
    };
    rate(&f.tx, &f.tx_loss);
    rate(&f.rx, &f.rx_loss);
    return f;
}

// The one result line of a shipped client against a shipped server, run
// between the namespaces; the whole output when the line is not there.
std::string run(const NetnsPair &net, const std::vector<std::string> &server_args,
                const std::vector<std::string> &client_args, const char *server = NetnsPair::A_ADDR)
{
    PairRun run = run_pair(net, TARVO_BIN, server_args, client_args, server);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return run.out;
}

// TCP figures against the goodput of a link shaped to tx_mbit from client to
// server and rx_mbit back, with a queue of limit bytes at each bottleneck,
// within tolerance; over IPv6 when server is an IPv6 address.
void tcp_accuracy(const char *size, double tx_mbit = TX_MBIT, double rx_mbit = RX_MBIT, long limit = 200000,
                  const char *server = NetnsPair::A_ADDR, double tolerance = 0.03)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    const std::string burst = tx_mbit > 10 ? "32kb" : "8kb";
    ASSERT_TRUE(net.shape(net.b(), std::to_string(static_cast<int>(tx_mbit)) + "mbit", burst, limit));
    ASSERT_TRUE(net.shape(net.a(), std::to_string(static_cast<int>(rx_mbit)) + "mbit", burst, limit));
    const std::string out = run(net, {"-s", "-t"}, {"-t", "-b", size}, server);
    const Figures f = parse(out);
    const double segment = strchr(server, ':') != nullptr ? SEGMENT6 : SEGMENT;
    const double tx = goodput_kbytes(tx_mbit, segment, FRAME), rx = goodput_kbytes(rx_mbit, segment, FRAME);
    printf("TCP %s to %s: Tx %ld of %.0f KByte/s (%.4f), Rx %ld of %.0f KByte/s (%.4f)\n", size, server, f.tx, tx,
           f.tx / tx, f.rx, rx, f.rx / rx);
    EXPECT_NEAR(f.tx, tx, tx * tolerance) << "Tx printed " << f.tx << " KByte/s, the shaped link allows " << tx << "\n"
                                          << out;
    EXPECT_NEAR(f.rx, rx, rx * tolerance) << "Rx printed " << f.rx << " KByte/s, the shaped link allows " << rx << "\n"
                                          << out;
}

// A count of the token bucket of host ns, the number after `before` in tc's
// statistics: "(dropped " for packets dropped, " bytes " for packets passed.
long qdisc_counter(const NetnsPair &net, const std::string &ns, const std::string &before)
{
    // "Sent 123 bytes 4 pkt (dropped 5, overlimits 6 requeues 0)"
    const std::string text = net.output_in(ns, "tc -s qdisc show dev " + net.dev(ns));
    const size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::stol(text.substr(at + before.size()));
}

// A counter of /proc/net/snmp in host ns, of the lines of one protocol
// ("Udp", "OutDatagrams"): the first line names them, the second holds the values.
long snmp_counter(const NetnsPair &net, const std::string &ns, const std::string &protocol, const std::string &name)
{
    const std::string program = "/^" + protocol + ":/ { for (i = 2; i <= NF; ++i) if (n) { if (k[i] == \"" + name +
                                "\") print $i } else k[i] = $i; if (n++) exit }";
    const std::string value = net.output_in(ns, "awk '" + program + "' /proc/net/snmp");
    return value.empty() ? -1 : std::stol(value);
}

// The kernel's Udp counters count a train of datagrams once; the token
// bucket counts each datagram, and it passes the control connection's
// segments too.
struct Counters {
    long out, sndbuf_errors, rcvbuf_errors, qdisc_drops, qdisc_sent, in, tcp_out;
};

Counters counters(const NetnsPair &net, const std::string &ns)
{
    return {snmp_counter(net, ns, "Udp", "OutDatagrams"),
            snmp_counter(net, ns, "Udp", "SndbufErrors"),
            snmp_counter(net, ns, "Udp", "RcvbufErrors"),
            qdisc_counter(net, ns, "(dropped "),
            qdisc_counter(net, ns, " bytes "),
            snmp_counter(net, ns, "Udp", "InDatagrams"),
            snmp_counter(net, ns, "Tcp", "OutSegs")};
}

std::string describe(const char *who, const Counters &before, const Counters &after)
{
    std::ostringstream text;
    text << who << ": OutDatagrams +" << after.out - before.out << ", SndbufErrors +"
         << after.sndbuf_errors - before.sndbuf_errors << ", RcvbufErrors +"
         << after.rcvbuf_errors - before.rcvbuf_errors << ", qdisc dropped +" << after.qdisc_drops - before.qdisc_drops
         << ", qdisc passed +" << after.qdisc_sent - before.qdisc_sent << ", Tcp OutSegs +"
         << after.tcp_out - before.tcp_out << ", InDatagrams +" << after.in - before.in << "\n";
    return text.str();
}

// The kernel's loss for datagrams from `from` to `to`, in percent: what the
// sender's token bucket and the receiver's socket buffer dropped, of what
// the sender handed to the stack, counted a datagram at a time: what the
// token bucket passed (less the control connection's segments) and dropped.
// The receiver's socket buffer counts each datagram while the receiving
// device merges none (the bed's veth does not).
double kernel_loss(const Counters &from0, const Counters &from1, const Counters &to0, const Counters &to1)
{
    const double handed = (from1.qdisc_sent - from0.qdisc_sent) - (from1.tcp_out - from0.tcp_out) +
                          (from1.qdisc_drops - from0.qdisc_drops);
    const double dropped = (from1.qdisc_drops - from0.qdisc_drops) + (to1.rcvbuf_errors - to0.rcvbuf_errors);
    return handed > 0 ? dropped * 100 / handed : -1;
}

}  // namespace

TEST(Accuracy, TcpFiguresMatchTheShapedGoodputWith32kBlocks)
{
    tcp_accuracy("32k");
}

TEST(Accuracy, TcpFiguresMatchTheShapedGoodputWith1kBlocks)
{
    tcp_accuracy("1k");
}

// A slow link whose queue is shallower than what one connection can have in
// flight, so that it drops, as users' links do: the figures are the rate at
// which the link carries the stream while it keeps the link busy. A segment
// lost at the very end of a phase, which only a timeout repairs, must not
// stretch them, and what the buffers and the queue hold when the alarm rings
// must not count as if it had crossed.
TEST(Accuracy, TcpFiguresMatchASlowLinkWithADroppingQueue)
{
    tcp_accuracy("32k", 3, 5, 100000);
}

// UDP rates on a slow link with a deep queue, within tolerance; over IPv6
// when server is an IPv6 address.
void udp_slow_link(const char *server, double tolerance)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    ASSERT_TRUE(net.shape(net.b(), "2mbit", "8kb", 200000));
    ASSERT_TRUE(net.shape(net.a(), "3mbit", "8kb", 200000));
    const Figures f = parse(run(net, {"-s", "-u"}, {"-u", "-b", "1k"}, server));
    const double frame = strchr(server, ':') != nullptr ? DATAGRAM_FRAME6 : DATAGRAM_FRAME;
    const double tx = goodput_kbytes(2, 1024, frame), rx = goodput_kbytes(3, 1024, frame);
    printf("UDP 1k to %s, slow: Tx %ld of %.0f KByte/s (%.4f), Rx %ld of %.0f KByte/s (%.4f)\n", server, f.tx, tx,
           f.tx / tx, f.rx, rx, f.rx / rx);
    EXPECT_NEAR(f.tx, tx, tx * tolerance) << "Tx printed " << f.tx << " KByte/s, the shaped link allows " << tx;
    EXPECT_NEAR(f.rx, rx, rx * tolerance) << "Rx printed " << f.rx << " KByte/s, the shaped link allows " << rx;
}

TEST(Accuracy, UdpRatesMatchASlowLinkWithADeepQueue)
{
    udp_slow_link(NetnsPair::A_ADDR, 0.03);
}

// IPv6's longer headers leave less of each frame to the data: the figures
// must follow them closely, or IPv4's goodput would pass for IPv6's.
TEST(Accuracy, OverIpv6TcpAndUdpFiguresMatchTheShapedGoodput)
{
    tcp_accuracy("32k", TX_MBIT, RX_MBIT, 200000, NetnsPair::A_ADDR6, 0.01);
    udp_slow_link(NetnsPair::A_ADDR6, 0.01);
}

TEST(Accuracy, UdpLossAgreesWithTheKernelAndRatesWithTheShapedGoodput)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    // a queue of a few dozen frames: a sender that offers more than the link
    // takes loses datagrams there instead of blocking in sendto
    ASSERT_TRUE(net.shape(net.b(), "40mbit", "16kb", 40 * 1066));
    ASSERT_TRUE(net.shape(net.a(), "25mbit", "16kb", 40 * 1066));
    const Counters a0 = counters(net, net.a()), b0 = counters(net, net.b());
    const std::string out = run(net, {"-s", "-u"}, {"-u", "-b", "1k"});
    const Counters a1 = counters(net, net.a()), b1 = counters(net, net.b());
    const Figures f = parse(out);
    const std::string accounts = out + describe("client host", b0, b1) + describe("server host", a0, a1);

    // A printed whole percent p stands for a loss from p up to p + 1 (the
    // fraction is cut off); that range must come within a point of the kernel's.
    const double tx_loss = kernel_loss(b0, b1, a0, a1), rx_loss = kernel_loss(a0, a1, b0, b1);
    EXPECT_NEAR(f.tx_loss + 0.5, tx_loss, 1.5)
        << "Tx loss printed " << f.tx_loss << "%, the kernel's " << tx_loss << "%\n"
        << accounts;
    EXPECT_NEAR(f.rx_loss + 0.5, rx_loss, 1.5)
        << "Rx loss printed " << f.rx_loss << "%, the kernel's " << rx_loss << "%\n"
        << accounts;
    EXPECT_GT(tx_loss, 5) << "the link did not drop: nothing was tested\n" << accounts;
    EXPECT_GT(rx_loss, 5) << "the link did not drop: nothing was tested\n" << accounts;

    const double tx = goodput_kbytes(UDP_TX_MBIT, 1024, DATAGRAM_FRAME),
                 rx = goodput_kbytes(UDP_RX_MBIT, 1024, DATAGRAM_FRAME);
    printf(
        "UDP 1k: Tx %ld of %.0f KByte/s (%.4f), loss %ld%% against %.2f%%; Rx %ld of %.0f KByte/s (%.4f), "
        "loss %ld%% against %.2f%%\n%s",
        f.tx, tx, f.tx / tx, f.tx_loss, tx_loss, f.rx, rx, f.rx / rx, f.rx_loss, rx_loss, accounts.c_str());
    EXPECT_NEAR(f.tx, tx, tx * 0.03) << "Tx printed " << f.tx << " KByte/s, the shaped link allows " << tx << "\n"
                                     << accounts;
    EXPECT_NEAR(f.rx, rx, rx * 0.03) << "Rx printed " << f.rx << " KByte/s, the shaped link allows " << rx << "\n"
                                     << accounts;
}

// A link far slower than a receiving core takes datagrams: the receiving
// sockets at both ends must drop none, whether the token bucket cuts the
// sender's trains into datagrams (a small burst) or passes them whole. At
// 100 Mbit/s the socket's buffer holds 9 ms of datagrams: on a loaded
// virtual machine a receiving core may stall for some milliseconds (at
// 250 Mbit/s, 4.5 ms of buffer, it dropped some now and then).
TEST(Accuracy, UdpReceiversDropNothingOnALinkBelowTheirCore)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    for (const char *burst : {"32kb", "128kb"}) {
        ASSERT_TRUE(net.shape(net.b(), "100mbit", burst, 400000));
        ASSERT_TRUE(net.shape(net.a(), "100mbit", burst, 400000));
        const Counters a0 = counters(net, net.a()), b0 = counters(net, net.b());
        const std::string out = run(net, {"-s", "-u"}, {"-u", "-b", "1k"});
        const Counters a1 = counters(net, net.a()), b1 = counters(net, net.b());
        const std::string accounts = out + describe("client host", b0, b1) + describe("server host", a0, a1);
        EXPECT_EQ(a1.rcvbuf_errors - a0.rcvbuf_errors, 0) << "burst " << burst << ": the server's socket dropped\n"
                                                          << accounts;
        EXPECT_EQ(b1.rcvbuf_errors - b0.rcvbuf_errors, 0) << "burst " << burst << ": the client's socket dropped\n"
                                                          << accounts;
        EXPECT_GT(parse(out).rx, 10000) << "the link was not kept busy: nothing was tested\n" << accounts;
    }
}
