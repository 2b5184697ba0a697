// tests/netns.cc -- creates and removes the namespace test bed
#include "netns.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
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
    // the bed itself is tools/netbed.sh, which the benchmarks use too
    if (!sh(TARVO_NETBED " up " + tag_)) {
        why_not_ = "could not create network namespaces and a veth pair with ip";
        sh(TARVO_NETBED " down " + tag_);
    }
}

NetnsPair::~NetnsPair()
{
    if (!tag_.empty())
        sh(TARVO_NETBED " down " + tag_);
}

std::string NetnsPair::output_of(const std::string &command)
{
    Process shell("sh", {"-c", command});
    shell.wait(30);
    return shell.out();
}

bool NetnsPair::shape(const std::string &ns, const std::string &rate, const std::string &burst, long limit) const
{
    return sh(TARVO_NETBED " shape " + tag_ + (ns == a_ ? " a " : " b ") + rate + " " + burst + " " +
              std::to_string(limit));
}

bool NetnsPair::set_link(const std::string &ns, bool up) const
{
    return sh(TARVO_NETBED " link " + tag_ + (ns == a_ ? " a " : " b ") + (up ? "up" : "down"));
}

std::string NetnsPair::output_in(const std::string &ns, const std::string &command) const
{
    return output_of("ip netns exec " + ns + " " + command);
}

PairRun run_pair(const NetnsPair &net, const char *binary, const std::vector<std::string> &server_args,
                 const std::vector<std::string> &client_args, const char *server_addr, double seconds)
{
    Process server("ip", NetnsPair::in(net.a(), binary, server_args));
    EXPECT_TRUE(server.wait_for_output("server listening.", 10));
    std::vector<std::string> args = client_args;
    args.push_back(server_addr);
    Process client("ip", NetnsPair::in(net.b(), binary, args));
    PairRun run;
    run.status = client.wait(seconds);
    run.out = client.out();
    run.err = client.err();
    EXPECT_TRUE(server.wait_for_output("server listening.", 10, 2)) << server.out();
    run.server_out = server.out();
    run.server_err = server.err();
    return run;
}
