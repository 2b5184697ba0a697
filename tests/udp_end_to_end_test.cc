// tests/udp_end_to_end_test.cc -- UDP end to end between two namespaces, since a UDP
// client and server cannot share one host's datagram port
#include <gtest/gtest.h>

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
