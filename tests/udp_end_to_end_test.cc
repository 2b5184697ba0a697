// tests/udp_end_to_end_test.cc -- UDP end to end between two namespaces, since a UDP
// client and server cannot share one host's datagram address, or between
// two addresses of one host
#include <gtest/gtest.h>

#include <cstdio>

#include "netns.h"
#include "process.h"

TEST(UdpEndToEnd, EveryDefaultSizeWithRatesAndLoss)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    PairRun run = run_pair(net, TARVO_FAST_BIN, {"-s", "-u"}, {"-u"});
    std::string form = BANNER + "\nUDP connection established.\n";
    for (const char *label : {" 1k", " 2k", " 4k", " 8k", "16k", "32k"})
        form += std::string("Packet size ") + label + " bytes:  # @ (#%) Tx,  # @ (#%) Rx.\n";
    form += "Done.\n\n";
    EXPECT_TRUE(matches_form(run.out, form)) << run.out;
    // on a link that carries datagrams, every phase moves some
    for (size_t at = 0; (at = run.out.find("bytes: ", at)) != std::string::npos; ++at) {
        long tx = 0, rx = 0;
        char unit[8];
        EXPECT_EQ(sscanf(run.out.c_str() + at, "bytes:  %ld %7s (%*d%%) Tx,  %ld", &tx, unit, &rx), 3) << run.out;
        EXPECT_GT(tx, 0) << run.out;
        EXPECT_GT(rx, 0) << run.out;
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(matches_form(run.server_out, BANNER + "\nUDP server listening.\nUDP connection established ... *"
                                                      "\nSending to client, packet size 32k ... \nDone.\n"
                                                      "UDP server listening.\n"))
        << run.server_out;
}

TEST(UdpEndToEnd, DatagramsTooLargeForIpv4AreAllLostBothWays)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    PairRun run = run_pair(net, TARVO_FAST_BIN, {"-s", "-u"}, {"-u", "-b", "64k"});
    EXPECT_EQ(run.out, BANNER +
                           "\nUDP connection established.\n"
                           "Packet size 64k bytes:  0 Byte/s (100%) Tx,  0 Byte/s (100%) Rx.\n"
                           "Done.\n\n");
    // once each, not once a datagram
    EXPECT_EQ(run.err, "sendto(): Message too long\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.server_err, "sendto(): Message too long\n");
}

// A client bound with -h to one address of a host that has several (here
// 127.0.0.2, with the server on 127.0.0.1) gets the server's datagrams
// there: its control connection leaves from that address too.
TEST(UdpEndToEnd, AClientBoundToOneOfItsHostsAddressesGetsItsDatagramsBack)
{
    Server server({"-s", "-u"});
    Process client(TARVO_FAST_BIN,
                   {"-u", "-h", "127.0.0.2", "-b", "1k", "-p", std::to_string(server.port), "127.0.0.1"});
    ASSERT_EQ(client.wait(30), 0) << client.out() << client.err();
    const std::string out = client.out();
    long rx = 0, loss = 100;
    char unit[8] = "";
    ASSERT_EQ(sscanf(out.c_str() + out.find(" Tx, "), " Tx,  %ld %7s (%ld%%) Rx.", &rx, unit, &loss), 3) << out;
    EXPECT_GT(rx, 0) << out;
    EXPECT_LT(loss, 100) << out;
}
