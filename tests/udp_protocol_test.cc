// tests/udp_protocol_test.cc -- a test client speaks the UDP protocol to the real server.
// The server binds 127.0.0.1; the test client's datagram socket and control
// connection use 127.0.0.2, so both hosts' datagram sockets can share the port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/control.h"
#include "core/measure.h"
#include "peer.h"
#include "udp/client.h"
#include "udp/datagram.h"

// Sends length bytes as one train of 1000-byte datagrams (the last one
// shorter): on loopback it reaches a receiver that takes trains whole.
void send_train(int sock, int port, size_t length)
{
    std::vector<char> data(length, 't');
    iovec whole = {data.data(), length};
    sockaddr_in to = address("127.0.0.1", port);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr train = {&to, sizeof to, &whole, 1, control, sizeof control, 0};
    cmsghdr *segment = CMSG_FIRSTHDR(&train);
    *segment = {CMSG_LEN(sizeof(uint16_t)), SOL_UDP, UDP_SEGMENT};
    const uint16_t size = 1000;
    memcpy(CMSG_DATA(segment), &size, sizeof size);
    ASSERT_EQ(sendmsg(sock, &train, 0), static_cast<ssize_t>(length));
}

TEST(UdpServer, EchoesCountsSendsAndSaysSo)
{
    Server server({"-s", "-u"});
    {
        UdpPeer peer(server.port + 1);
        // the echo is the request unchanged, byte for byte
        const uint32_t request[2] = {htonl(CMD_C2S), htonl(1000)};
        ASSERT_EQ(send(peer.ctl, request, 8, 0), 8);
        uint32_t echo[2];
        ASSERT_TRUE(read_whole(peer.ctl, reinterpret_cast<char *>(echo), 8));
        EXPECT_EQ(memcmp(echo, request, 8), 0);

        peer.send_datagrams(50, 1000);
        peer.send_datagrams(3, 0);  // empty datagrams count nothing
        // trains, each taken whole: 11 datagrams, the last shorter; 10 and
        // 64 whole ones, as tarvo's own sender makes them
        for (size_t length : {10500, 10000, 64000})
            send_train(peer.dgram, server.port + 1, length);
        usleep(200000);
        CONTROL count = peer.ask(CMD_RES, 1000);
        EXPECT_EQ(count.cmd, CMD_RES);
        EXPECT_EQ(count.data, 50u + 11 + 10 + 64);

        SendPhase phase = peer.receive(1000);
        EXPECT_EQ(phase.reply.cmd, CMD_RES);
        EXPECT_TRUE(phase.well_formed);
        EXPECT_GT(phase.datagrams, 100);
        EXPECT_LE(phase.datagrams, static_cast<long>(phase.reply.data));  // n counts what the server tried
        peer.send_raw(CMD_QUIT, 0);
        EXPECT_TRUE(peer.closed_by_server());
    }
    ASSERT_TRUE(server.proc.wait_for_output("UDP server listening.", 10, 2));
    EXPECT_EQ(server.proc.out(), BANNER + "\n" +
                                     "UDP server listening.\n"
                                     "UDP connection established ... "
                                     "\nReceiving from client, packet size 1000 ... "
                                     "\nSending to client, packet size 1000 ... "
                                     "\nDone.\n"
                                     "UDP server listening.\n");
    EXPECT_EQ(server.proc.err(), "");

    // a result asked for before any reset reports what the counter holds
    UdpPeer late(server.port + 1);
    EXPECT_EQ(late.ask(CMD_RES, 0).data, 50u + 11 + 10 + 64);
}

TEST(UdpServer, BadSizesOversizedDatagramsAndVanishingClientsNeverStopIt)
{
    Server server({"-s", "-u"});
    for (uint32_t size : {0u, 65537u, 0xFFFFFFFFu}) {
        UdpPeer peer(server.port + 1);
        peer.send_raw(CMD_S2C, size);
        EXPECT_TRUE(peer.closed_by_server()) << size;
    }
    for (uint32_t cmd : {CMD_QUIT, 4u, 5u, 0x7FFFFFFFu}) {
        UdpPeer peer(server.port + 1);
        peer.send_raw(cmd, 1000);
        EXPECT_TRUE(peer.closed_by_server()) << cmd;
    }
    {
        // larger than an IPv4 datagram: every send fails, every one counts as tried
        UdpPeer peer(server.port + 1);
        SendPhase phase = peer.receive(65536);
        EXPECT_EQ(phase.datagrams, 0);
        EXPECT_GT(phase.reply.data, 0u);
        EXPECT_EQ(phase.reply.cmd, CMD_RES);
    }  // the connection ends after a failed sendto: the server listens on
    EXPECT_EQ(count_of(server.proc.err(), "sendto(): Message too long\n"), 1) << "reported once, not per datagram";
    {
        // gone before the reply to a send phase
        UdpPeer peer(server.port + 1);
        peer.send_raw(CMD_S2C, 1000);
        usleep(100000);
        linger hard = {1, 0};
        setsockopt(peer.ctl, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ASSERT_TRUE(server.proc.wait_for_output("\nDone.\n", 10, 9));
    conversation(server, UDP);
    EXPECT_EQ(server.proc.wait(0), -1) << "the server process ended";
}

TEST(UdpServer, TheAlarmOfOneServiceNeverStopsTheOther)
{
    Server server({"-s"});
    // a UDP send phase while the TCP server waits for a client
    {
        UdpPeer peer(server.port + 1);
        EXPECT_EQ(peer.receive(1000).reply.cmd, CMD_RES);
    }
    // then both send phases at once
    std::thread tcp([&] {
        int sock = connect_tcp("127.0.0.1", server.port);
        const uint32_t s2c[2] = {htonl(CMD_S2C), htonl(8192)};
        send(sock, s2c, 8, 0);
        std::vector<char> block(8192);
        long blocks = 0;
        while (recv(sock, block.data(), 8192, MSG_WAITALL) == 8192 && ++blocks < 10000000 && block[0] == 0) {
        }
        EXPECT_EQ(block[0], 1) << "the TCP phase did not end with its closing block";
        close(sock);
    });
    {
        UdpPeer peer(server.port + 1);
        EXPECT_EQ(peer.receive(1000).reply.cmd, CMD_RES);
    }
    tcp.join();
    conversation(server, UDP);
    tcp_conversation("127.0.0.1", server.port);
    EXPECT_TRUE(server.proc.wait_for_output("\nDone.\n", 10, 5));
    EXPECT_EQ(server.proc.wait(0), -1) << "the server process ended";
    EXPECT_EQ(server.proc.err(), "") << "an alarm that ended a wait shows as \"select()\" here";
}

TEST(UdpServer, AReceiverThatCannotBindLeavesNobodyIdling)
{
    int32_t port = free_port();
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in held = address("127.0.0.1", port + 1);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr *>(&held), sizeof held), 0);

    // UDP alone: nothing to serve, so the server ends
    Process udp_only(TARVO_FAST_BIN, {"-s", "-u", "-h", "127.0.0.1", "-p", std::to_string(port)});
    EXPECT_EQ(udp_only.wait(10), 1);
    EXPECT_EQ(udp_only.err(), "bind(DGRAM): Address already in use\n");
    EXPECT_EQ(udp_only.out().find("UDP server listening."), std::string::npos);

    // both: TCP goes on serving
    Process both(TARVO_FAST_BIN, {"-s", "-h", "127.0.0.1", "-p", std::to_string(port)});
    ASSERT_TRUE(both.wait_for_output("TCP server listening.", 10));
    int sock = connect_tcp("127.0.0.1", port);
    ASSERT_GE(sock, 0);
    const uint32_t quit[2] = {htonl(CMD_QUIT), 0};
    send(sock, quit, 8, 0);
    close(sock);
    EXPECT_TRUE(both.wait_for_output("\nDone.\nTCP server listening.\n", 10));
    EXPECT_EQ(both.wait(1), -1);
    EXPECT_EQ(both.err(), "bind(DGRAM): Address already in use\n");

    // a UDP client on a host whose port is taken ends at once
    Process client(TARVO_FAST_BIN, {"-u", "-p", std::to_string(port), "127.0.0.1"});
    EXPECT_EQ(client.wait(10), 1);
    EXPECT_EQ(client.err(), "bind(DGRAM): Address already in use\n");
    close(holder);
}

TEST(UdpLoss, WholePercentsWithoutWrapOrDivisionByZero)
{
    EXPECT_EQ(loss_percent(1000, 1000), 0);
    EXPECT_EQ(loss_percent(1000, 0), 100);
    EXPECT_EQ(loss_percent(1000, 999), 0);  // 0.1 %, the fraction discarded
    EXPECT_EQ(loss_percent(1000, 989), 1);
    EXPECT_EQ(loss_percent(3, 2), 33);
    EXPECT_EQ(loss_percent(0, 0), 0);
    EXPECT_EQ(loss_percent(0, 5), 0);              // nothing sent, strays arrived
    EXPECT_EQ(loss_percent(100, 150), 0);          // strays from another sender
    EXPECT_EQ(loss_percent(4000000000u, 0), 100);  // no 32-bit overflow of the product
    EXPECT_EQ(loss_percent(4000000000u, 2000000000u), 50);
}

// A batch that the kernel takes in part counts what it took. Sent to a port
// where nobody listens, each call takes one datagram, and the refusal that
// comes back fails the next; the kernel's own count of datagrams sent is
// this test's alone in a network namespace of its own.
// In a namespace of its own, with a 1500-byte MTU on lo and a queue that
// counts every datagram, also those of a train: 1000 bytes go in trains to a
// socket that does not read (every call succeeds), 2000 bytes, which the
// kernel will not cut from a train, one by one to a closed port through a
// connected socket, where every call takes one datagram and then fails.
TEST(UdpLoss, APhaseCountsTheDatagramsTheKernelTook)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "SKIPPED: a network namespace of its own needs root";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up mtu 1500 && tc qdisc add dev lo root pfifo limit 100000") != 0)
            _exit(2);
        auto out_datagrams = [] {  // one a call: no trains go there
            const std::string snmp = read_file("/proc/self/net/snmp");
            const size_t values = snmp.find("Udp: ", snmp.find("Udp: ") + 1);
            long in = 0, no_ports = 0, errors = 0, out = 0;
            sscanf(snmp.c_str() + values, "Udp: %ld %ld %ld %ld", &in, &no_ports, &errors, &out);
            return out;
        };
        auto queued = [] {  // "Sent 123 bytes 4 pkt": one a datagram
            long bytes = 0, packets = 0;
            FILE *tc = popen("tc -s qdisc show dev lo", "r");
            if (tc == nullptr || fscanf(tc, "%*[^S]Sent %ld bytes %ld", &bytes, &packets) != 2)
                packets = -1;
            if (tc != nullptr)
                pclose(tc);
            return packets;
        };
        std::vector<char> buf(pattern());
        const sockaddr_in deaf = address("127.0.0.1", 9), nobody = address("127.0.0.1", 10);
        const int sink = socket(AF_INET, SOCK_DGRAM, 0), sock = socket(AF_INET, SOCK_DGRAM, 0);
        bind(sink, reinterpret_cast<const sockaddr *>(&deaf), sizeof deaf);
        uint32_t in_trains = 0, one_by_one = 0;
        const long queued0 = queued();
        start_timer(1);
        send_datagram_phase(sock, buf.data(), 1000, deaf, &in_trains);
        const long queued1 = queued(), out0 = out_datagrams();
        connect(sock, reinterpret_cast<const sockaddr *>(&nobody), sizeof nobody);
        start_timer(1);
        send_datagram_phase(sock, buf.data(), 2000, nobody, &one_by_one);
        const long out1 = out_datagrams();
        fprintf(stderr, "in trains: tried %u, the queue passed %ld; one by one: tried %u, the kernel sent %ld\n",
                in_trains, queued1 - queued0, one_by_one, out1 - out0);
        // the one whose call failed counts as tried
        const bool right = in_trains > 1000 && in_trains == queued1 - queued0 && out1 > out0 &&
                           (one_by_one == out1 - out0 || one_by_one == out1 - out0 + 1);
        _exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
