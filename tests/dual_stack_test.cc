// tests/dual_stack_test.cc -- IPv6, and both families at one server, between
// two namespaces: runs that measure, and the journal's names of the clients
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "netns.h"
#include "process.h"

namespace {

struct Bed {
    const char *name;
    std::string on_server, on_client;  // shell commands run in each host first; TAG stands for the bed's tag
    std::vector<std::string> server_args, client_args;
    std::string server;              // the address the client names
    std::string tcp_peer, udp_peer;  // how the server's journal names the client
};

void PrintTo(const Bed &bed, std::ostream *out)
{
    *out << bed.name;
}

class DualStack : public ::testing::TestWithParam<Bed> {};

std::string with_devices(std::string text, const NetnsPair &net)
{
    for (const auto &[from, to] : {std::pair{"DEVA", net.dev(net.a())}, std::pair{"DEVB", net.dev(net.b())}})
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, 4, to);
    return text;
}

// The run measured: rates above 0, and for UDP datagrams that arrived each
// way (the share lost is the receiving core's on a loaded machine). Nothing
// on standard error but, for TCP, the note of a wait: on a loaded machine a
// server starved of its core for a moment shuts its window, and the client
// takes it for a busy server.
void expect_measured(const PairRun &run, bool udp)
{
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(run.err.empty() || (!udp && run.err == "the server is busy with another client; waiting\n")) << run.err;
    long tx = 0, rx = 0, tx_loss = 100, rx_loss = 100;
    char t[8], r[8];
    const size_t at = run.out.find("bytes: ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const char *line = run.out.c_str() + at + 7;
    if (udp) {
        ASSERT_EQ(sscanf(line, " %ld %7s (%ld%%) Tx,  %ld %7s (%ld%%) Rx.", &tx, t, &tx_loss, &rx, r, &rx_loss), 6)
            << run.out;
    } else {
        ASSERT_EQ(sscanf(line, " %ld %7s Tx,  %ld %7s Rx.", &tx, t, &rx, r), 4) << run.out;
    }
    EXPECT_GT(tx, 0) << run.out;
    EXPECT_GT(rx, 0) << run.out;
    if (udp) {
        EXPECT_LT(tx_loss, 100) << run.out;
        EXPECT_LT(rx_loss, 100) << run.out;
    }
}

}  // namespace

// One server, its events as journal lines, serves a TCP and then a UDP client.
TEST_P(DualStack, OneServerMeasuresATcpAndAUdpClientAndNamesThem)
{
    const Bed &bed = GetParam();
    NetnsPair net;
    NEED_NAMESPACES(net);
    for (const auto &[ns, command] : {std::pair{net.a(), bed.on_server}, std::pair{net.b(), bed.on_client}}) {
        if (!command.empty()) {
            ASSERT_TRUE(NetnsPair::sh("ip netns exec " + ns + " sh -ec '" + with_devices(command, net) + "'"))
                << command;
        }
    }
    std::string server_cmd =
        std::string("exec 3>&1; JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/3) exec ") + TARVO_FAST_BIN;
    for (const auto &arg : bed.server_args)
        server_cmd += " " + arg;
    const std::string server = with_devices(bed.server, net);
    std::vector<std::string> tcp_args = {"-t", "-b", "32k"}, udp_args = {"-u", "-b", "1k"};
    for (auto *args : {&tcp_args, &udp_args})
        args->insert(args->end(), bed.client_args.begin(), bed.client_args.end());

    Process journal("ip", NetnsPair::in(net.a(), "/bin/sh", {"-c", server_cmd}));
    ASSERT_TRUE(journal.wait_for_output("UDP server listening.", 10)) << journal.out() << journal.err();
    for (const auto &args : {tcp_args, udp_args}) {
        std::vector<std::string> all = args;
        all.push_back(server);
        Process client("ip", NetnsPair::in(net.b(), TARVO_FAST_BIN, all));
        PairRun run = {client.wait(60), client.out(), client.err(), "", ""};
        expect_measured(run, args[0] == "-u");
    }
    ASSERT_TRUE(journal.wait_for_output("UDP done.", 10)) << journal.out();
    const std::string out = journal.out();
    EXPECT_NE(out.find("TCP connection established with " + with_devices(bed.tcp_peer, net) + ".\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("UDP connection established with " + with_devices(bed.udp_peer, net) + ".\n"), std::string::npos)
        << out;
    EXPECT_EQ(journal.err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Ipv6, DualStack,
    ::testing::Values(Bed{"AnIpv4AndAnIpv6Client", "", "", {"-s"}, {}, "10.77.0.1", "10.77.0.2", "10.77.0.2"},
                      Bed{"Ipv6Literal", "", "", {"-s"}, {}, "2001:db8:77::1", "2001:db8:77::2", "2001:db8:77::2"},
                      // whatever the host's default, the server takes both families
                      Bed{"BindV6OnlyOnTheServersHost",
                          "sysctl -qw net.ipv6.bindv6only=1",
                          "",
                          {"-s"},
                          {},
                          "2001:db8:77::1",
                          "2001:db8:77::2",
                          "2001:db8:77::2"},
                      Bed{"BindV6OnlyAndAnIpv4Client",
                          "sysctl -qw net.ipv6.bindv6only=1",
                          "",
                          {"-s"},
                          {},
                          "10.77.0.1",
                          "10.77.0.2",
                          "10.77.0.2"},
                      Bed{"Ipv6DisabledOnTheServersHost",
                          "for c in all default DEVA lo; do sysctl -qw net.ipv6.conf.$c.disable_ipv6=1; done",
                          "",
                          {"-s"},
                          {},
                          "10.77.0.1",
                          "10.77.0.2",
                          "10.77.0.2"},
                      Bed{"NoIpv4AtAll",
                          "ip -4 addr flush dev DEVA",
                          "ip -4 addr flush dev DEVB",
                          {"-s"},
                          {},
                          "2001:db8:77::1",
                          "2001:db8:77::2",
                          "2001:db8:77::2"},
                      // a path whose MTU is below the block: the kernel refuses trains of it
                      Bed{"PathMtuBelowTheBlock",
                          "ip route replace 10.77.0.0/24 dev DEVA mtu lock 1000",
                          "ip route replace 10.77.0.0/24 dev DEVB mtu lock 1000",
                          {"-s"},
                          {},
                          "10.77.0.1",
                          "10.77.0.2",
                          "10.77.0.2"},
                      Bed{"LinkLocalWithItsScope", "", "", {"-s"}, {}, "fe80::1%DEVB", "fe80::2%DEVA", "fe80::2%DEVA"},
                      // a server bound to a second address, a client bound with -h to one
                      // of its own: the datagrams come back to that address
                      Bed{"SecondAddressesBothEnds",
                          "ip addr add 2001:db8:77::11/64 dev DEVA nodad",
                          "ip addr add 2001:db8:77::12/64 dev DEVB nodad",
                          {"-s", "-h", "2001:db8:77::11"},
                          {"-h", "2001:db8:77::12"},
                          "2001:db8:77::11",
                          "2001:db8:77::12",
                          "2001:db8:77::12"}),
    [](const ::testing::TestParamInfo<Bed> &info) { return std::string(info.param.name); });

// A name with an IPv6 and an IPv4 address (the IPv6 one first, as the
// resolver ranks them) at a server that listens on IPv4 alone: the client
// goes on to the next address in silence. With no server at all, each
// address says why it failed.
TEST(Ipv6, ANameOfBothFamiliesReachesAnIpv4OnlyServerOrSaysWhyNot)
{
    // ip netns exec binds /etc/netns/<namespace>/hosts over /etc/hosts in a
    // mount namespace of its own; the bed's removal takes the namespace's
    // folder away, and this the parent when the test made it
    struct Parent {
        bool made = mkdir("/etc/netns", 0755) == 0;
        ~Parent()
        {
            if (made)
                rmdir("/etc/netns");
        }
    } parent;
    NetnsPair net;
    NEED_NAMESPACES(net);
    const std::string dir = "/etc/netns/" + net.b();
    ASSERT_TRUE(NetnsPair::sh("mkdir -p " + dir));
    std::ofstream(dir + "/hosts") << "2001:db8:77::1 tarvo-server\n10.77.0.1 tarvo-server\n";
    PairRun run = run_pair(net, TARVO_FAST_BIN, {"-s", "-t", "-h", "10.77.0.1"}, {"-t", "-b", "1k"}, "tarvo-server");
    expect_measured(run, false);

    Process nobody("ip", NetnsPair::in(net.b(), TARVO_FAST_BIN, {"-t", "tarvo-server"}));
    EXPECT_EQ(nobody.wait(30), 1);
    EXPECT_EQ(nobody.err(),
              "connect() to 2001:db8:77::1: Connection refused\n"
              "connect() to 10.77.0.1: Connection refused\n");
}
