// tests/netns.cc -- creates and removes the namespace test bed
#include "netns.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "process.h"

std::string NetnsPair::ip()
{
    for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0)
            return path;
    return "ip";
}

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
constexpr const char *A_MAC = "02:00:0a:4d:00:01";
constexpr const char *B_MAC = "02:00:0a:4d:00:02";

// Namespaces left by a test process that was killed before it could remove
// them carry its PID in their name: remove those of processes that are gone.
void sweep_leftovers(const std::string &ip)
{
    std::istringstream names(NetnsPair::output_of(ip + " netns list"));
    for (std::string name; names >> name;) {
        unsigned long pid = 0;
        if (sscanf(name.c_str(), "tarvo-%lux", &pid) == 1 && pid != 0 && kill(static_cast<pid_t>(pid), 0) != 0)
            NetnsPair::sh(ip + " netns del " + name);
        names.ignore(1000, '\n');  // "(id: N)" follows some names
    }
}

}  // namespace

NetnsPair::NetnsPair()
{
    if (geteuid() != 0) {
        why_not_ = "network namespaces need root";
        return;
    }
    sweep_leftovers(ip());
    static std::atomic<int> serial{0};
    const std::string tag = std::to_string(getpid()) + "x" + std::to_string(serial++);
    a_ = "tarvo-" + tag + "-a";
    b_ = "tarvo-" + tag + "-b";
    a_dev_ = "tv" + tag + "a";
    b_dev_ = "tv" + tag + "b";
    const std::string ip = NetnsPair::ip();
    const bool made = sh(ip + " netns add " + a_) && sh(ip + " netns add " + b_) &&
                      sh(ip + " link add " + a_dev_ + " netns " + a_ + " address " + A_MAC + " type veth peer name " +
                         b_dev_ + " netns " + b_ + " address " + B_MAC) &&
                      sh(ip + " -n " + a_ + " addr add " + A_ADDR + "/24 dev " + a_dev_) &&
                      sh(ip + " -n " + b_ + " addr add " + B_ADDR + "/24 dev " + b_dev_) &&
                      sh(ip + " -n " + a_ + " link set lo up") && sh(ip + " -n " + b_ + " link set lo up") &&
                      sh(ip + " -n " + a_ + " link set " + a_dev_ + " up") &&
                      sh(ip + " -n " + b_ + " link set " + b_dev_ + " up") &&
                      // Fixed neighbours: a host whose queue is full of its own
                      // datagrams would drop its ARP probes and lose its peer
                      // for a second, which no tool could measure through.
                      sh(ip + " -n " + a_ + " neigh replace " + B_ADDR + " lladdr " + B_MAC + " nud permanent dev " +
                         a_dev_) &&
                      sh(ip + " -n " + b_ + " neigh replace " + A_ADDR + " lladdr " + A_MAC + " nud permanent dev " +
                         b_dev_);
    if (!made)
        why_not_ = "could not create network namespaces and a veth pair with " + ip;
}

NetnsPair::~NetnsPair()
{
    // the veth pair goes with its namespaces
    if (!a_.empty())
        sh(ip() + " netns del " + a_);
    if (!b_.empty())
        sh(ip() + " netns del " + b_);
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
    const std::string &dev = ns == a_ ? a_dev_ : b_dev_;
    return sh(ip() + " netns exec " + ns + " tc qdisc replace dev " + dev + " root tbf rate " + rate + " burst " +
              burst + " limit " + std::to_string(limit));
}

bool NetnsPair::set_link(const std::string &ns, bool up) const
{
    const bool is_a = ns == a_;
    const std::string &dev = is_a ? a_dev_ : b_dev_;
    if (!up)
        return sh(ip() + " -n " + ns + " link set " + dev + " down");
    return sh(ip() + " -n " + ns + " link set " + dev + " up") &&
           sh(ip() + " -n " + ns + " neigh replace " + (is_a ? B_ADDR : A_ADDR) + " lladdr " +
              (is_a ? B_MAC : A_MAC) + " nud permanent dev " + dev);
}

long NetnsPair::qdisc_drops(const std::string &ns) const
{
    const std::string &dev = ns == a_ ? a_dev_ : b_dev_;
    // "Sent 123 bytes 4 pkt (dropped 5, overlimits 6 requeues 0)"
    const std::string text = output_of(ip() + " netns exec " + ns + " tc -s qdisc show dev " + dev);
    const size_t at = text.find("(dropped ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + 9));
}

long NetnsPair::qdisc_sent(const std::string &ns) const
{
    const std::string &dev = ns == a_ ? a_dev_ : b_dev_;
    const std::string text = output_of(ip() + " netns exec " + ns + " tc -s qdisc show dev " + dev);
    const size_t at = text.find(" bytes ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + 7));
}

long NetnsPair::udp_counter(const std::string &ns, const std::string &name) const
{
    // two lines start with "Udp:": the names, then the values
    std::istringstream snmp(output_of(ip() + " netns exec " + ns + " cat /proc/net/snmp"));
    std::string line, names;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp: ", 0) != 0)
            continue;
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream keys(names), values(line);
        std::string key, value;
        while (keys >> key && values >> value)
            if (key == name)
                return std::stol(value);
        break;
    }
    return -1;
}

PairRun run_pair(const NetnsPair &net, const char *binary, const std::vector<std::string> &server_args,
                 const std::vector<std::string> &client_args)
{
    Process server(NetnsPair::ip(), NetnsPair::in(net.a(), binary, server_args));
    EXPECT_TRUE(server.wait_for_output("server listening.", 10));
    std::vector<std::string> args = client_args;
    args.push_back(NetnsPair::A_ADDR);
    Process client(NetnsPair::ip(), NetnsPair::in(net.b(), binary, args));
    PairRun run;
    run.status = client.wait(60);
    run.out = client.out();
    run.err = client.err();
    EXPECT_TRUE(server.wait_for_output("server listening.", 10, 2)) << server.out();
    run.server_out = server.out();
    run.server_err = server.err();
    return run;
}
