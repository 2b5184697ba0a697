// tests/netns.cc -- creates and removes the namespace test bed
#include "netns.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "process.h"

bool NetnsPair::sh(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> NetnsPair::in(const std::string &ns, const std::string &binary,
                                       const std::vector<std::string> &args)
{
    // ip execs the program in place, so the PID started is the program's own
    std::vector<std::string> all = {"netns", "exec", ns, binary};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

namespace {

// The bed itself is tools/netbed.sh, which the benchmarks use too.
std::string bed(const std::string &args)
{
    return std::string(TARVO_NETBED) + " " + args;
}

}  // namespace

NetnsPair::NetnsPair()
{
    if (geteuid() != 0) {
        why_not_ = "network namespaces need root";
        return;
    }
    static std::atomic<int> serial{0};
    tag_ = std::to_string(getpid()) + "x" + std::to_string(serial++);
    a_ = "tarvo-" + tag_ + "-a";
    b_ = "tarvo-" + tag_ + "-b";
    a_dev_ = "tv" + tag_ + "a";
    b_dev_ = "tv" + tag_ + "b";
    if (!sh(bed("up " + tag_))) {
        why_not_ = "could not create network namespaces and a veth pair with ip";
        sh(bed("down " + tag_));
    }
}

NetnsPair::~NetnsPair()
{
    if (!tag_.empty())
        sh(bed("down " + tag_));
}

std::string NetnsPair::output_of(const std::string &command)
{
    std::string text;
    FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, n);
    pclose(pipe);
    return text;
}

bool NetnsPair::shape(const std::string &ns, const std::string &rate, const std::string &burst, long limit) const
{
    return sh(bed("shape " + tag_ + (ns == a_ ? " a " : " b ") + rate + " " + burst + " " + std::to_string(limit)));
}

bool NetnsPair::set_link(const std::string &ns, bool up) const
{
    return sh(bed("link " + tag_ + (ns == a_ ? " a " : " b ") + (up ? "up" : "down")));
}

long NetnsPair::qdisc_counter(const std::string &ns, const std::string &before) const
{
    // "Sent 123 bytes 4 pkt (dropped 5, overlimits 6 requeues 0)"
    const std::string text = output_of("ip netns exec " + ns + " tc -s qdisc show dev " + (ns == a_ ? a_dev_ : b_dev_));
    const size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::stol(text.substr(at + before.size()));
}

long NetnsPair::udp_counter(const std::string &ns, const std::string &name) const
{
    // two lines start with "Udp:": the names, then the values
    const std::string program = "/^Udp:/ { for (i = 2; i <= NF; ++i) if (n) { if (k[i] == \"" + name +
                                "\") print $i } else k[i] = $i; if (n++) exit }";
    const std::string value = output_of("ip netns exec " + ns + " awk '" + program + "' /proc/net/snmp");
    return value.empty() ? -1 : std::stol(value);
}

PairRun run_pair(const NetnsPair &net, const char *binary, const std::vector<std::string> &server_args,
                 const std::vector<std::string> &client_args)
{
    Process server("ip", NetnsPair::in(net.a(), binary, server_args));
    EXPECT_TRUE(server.wait_for_output("server listening.", 10));
    std::vector<std::string> args = client_args;
    args.push_back(NetnsPair::A_ADDR);
    Process client("ip", NetnsPair::in(net.b(), binary, args));
    PairRun run;
    run.status = client.wait(60);
    run.out = client.out();
    run.err = client.err();
    EXPECT_TRUE(server.wait_for_output("server listening.", 10, 2)) << server.out();
    run.server_out = server.out();
    run.server_err = server.err();
    return run;
}
