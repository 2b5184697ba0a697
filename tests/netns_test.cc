// tests/netns_test.cc -- UDP end to end between two namespaces, since a UDP
// client and server cannot share one host's datagram port
#include <gtest/gtest.h>

#include "netns.h"
#include "process.h"

namespace {

const std::string BANNER = "\nTARVO - Network Throughput Benchmark, Version 1.26\n";

struct UdpRun {
    std::string out, err, server_out, server_err;
    int status;
};

// A UDP server on host a, a UDP client on host b with the arguments given.
UdpRun udp_run(const NetnsPair &net, const std::vector<std::string> &client_args)
{
    Process server(NetnsPair::ip(), NetnsPair::in(net.a(), TARVO_FAST_BIN, {"-s", "-u"}));
    EXPECT_TRUE(server.wait_for_output("UDP server listening.", 10));
    std::vector<std::string> args = client_args;
    args.push_back(NetnsPair::A_ADDR);
    Process client(NetnsPair::ip(), NetnsPair::in(net.b(), TARVO_FAST_BIN, args));
    UdpRun run;
    run.status = client.wait(60);
    run.out = client.out();
    run.err = client.err();
    EXPECT_TRUE(server.wait_for_output("UDP server listening.", 10, 2)) << server.out();
    run.server_out = server.out();
    run.server_err = server.err();
    return run;
}

#define NEED_NAMESPACES(net)                                         \
    do {                                                             \
        if (!(net).why_not().empty())                                \
            GTEST_SKIP() << "SKIPPED: " << (net).why_not();          \
    } while (0)

}  // namespace

TEST(UdpEndToEnd, EveryDefaultSizeWithRatesAndLoss)
{
    NetnsPair net;
    NEED_NAMESPACES(net);
    UdpRun run = udp_run(net, {"-u"});
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
    UdpRun run = udp_run(net, {"-u", "-b", "64k"});
    EXPECT_EQ(run.out, BANNER + "\nUDP connection established.\n"
                                "Packet size 64k bytes:  0 Byte/s (100%) Tx,  0 Byte/s (100%) Rx.\n"
                                "Done.\n\n");
    EXPECT_EQ(run.err.rfind("sendto(): Message too long\n", 0), 0u);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.server_err.rfind("sendto(): Message too long\n", 0), 0u);
}
