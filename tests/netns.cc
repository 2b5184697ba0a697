// tests/netns.cc -- creates and removes the namespace test bed
#include "netns.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

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

NetnsPair::NetnsPair()
{
    if (geteuid() != 0) {
        why_not_ = "network namespaces need root";
        return;
    }
    static std::atomic<int> serial{0};
    const std::string tag = std::to_string(getpid()) + "x" + std::to_string(serial++);
    a_ = "tarvo-" + tag + "-a";
    b_ = "tarvo-" + tag + "-b";
    a_dev_ = "tv" + tag + "a";
    b_dev_ = "tv" + tag + "b";
    const std::string ip = NetnsPair::ip();
    const bool made = sh(ip + " netns add " + a_) && sh(ip + " netns add " + b_) &&
                      sh(ip + " link add " + a_dev_ + " netns " + a_ + " type veth peer name " + b_dev_ +
                         " netns " + b_) &&
                      sh(ip + " -n " + a_ + " addr add " + A_ADDR + "/24 dev " + a_dev_) &&
                      sh(ip + " -n " + b_ + " addr add " + B_ADDR + "/24 dev " + b_dev_) &&
                      sh(ip + " -n " + a_ + " link set lo up") && sh(ip + " -n " + b_ + " link set lo up") &&
                      sh(ip + " -n " + a_ + " link set " + a_dev_ + " up") &&
                      sh(ip + " -n " + b_ + " link set " + b_dev_ + " up");
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
