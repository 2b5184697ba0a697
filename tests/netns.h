// tests/netns.h -- two test hosts of the test's own: network namespaces joined by veth
#pragma once

#include <string>
#include <vector>

// Host "a" is 10.77.0.1 and 2001:db8:77::1 (fe80::1 on its link), host "b"
// 10.77.0.2 and 2001:db8:77::2 (fe80::2), each alone in its namespace (the
// bed of tools/netbed.sh), until the destructor removes them.
class NetnsPair {
public:
    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    const std::string &why_not() const { return why_not_; }  // empty when the pair stands
    static constexpr const char *A_ADDR = "10.77.0.1";
    static constexpr const char *B_ADDR = "10.77.0.2";
    static constexpr const char *A_ADDR6 = "2001:db8:77::1";
    static constexpr const char *B_ADDR6 = "2001:db8:77::2";
    const std::string &tag() const { return tag_; }  // the bed's, of tools/netbed.sh
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }

    // The arguments of ip that run binary in namespace ns.
    static std::vector<std::string> in(const std::string &ns, const std::string &binary,
                                       const std::vector<std::string> &args);

    // A shell command: whether it succeeded, or what it printed.
    static bool sh(const std::string &command);
    static std::string output_of(const std::string &command);

    // A token bucket that shapes what host ns sends: rate and burst in tc's
    // units ("40mbit", "32kb"), a queue of limit bytes. True when tc took it.
    bool shape(const std::string &ns, const std::string &rate, const std::string &burst, long limit) const;
    // Host ns's end of the link down, or up again with its fixed neighbour.
    bool set_link(const std::string &ns, bool up) const;

    // What a shell command run in host ns printed; its device is dev(ns).
    std::string output_in(const std::string &ns, const std::string &command) const;
    const std::string &dev(const std::string &ns) const { return ns == a_ ? a_dev_ : b_dev_; }

private:
    std::string tag_, a_, b_, a_dev_, b_dev_, why_not_;
};

// A test that needs the pair says why it cannot have it, and stops there.
#define NEED_NAMESPACES(net)                                                                                           \
    do {                                                                                                               \
        if (!(net).why_not().empty())                                                                                  \
            GTEST_SKIP() << "SKIPPED: " << (net).why_not();                                                            \
    } while (0)

// What a link shaped to mbit carries of payload in KByte/s, where the token
// bucket counts whole Ethernet frames of frame bytes. A full TCP segment is
// 1448 bytes of data (MTU 1500 less 20 of IP, 20 of TCP and 12 of
// timestamps) in a frame of 1514 (the 14-byte Ethernet header added); over
// IPv6, whose header is 20 bytes longer, 1428.
constexpr double SEGMENT = 1448, SEGMENT6 = 1428, FRAME = 1514;
constexpr double goodput_kbytes(double mbit, double payload, double frame)
{
    return mbit * 1e6 / 8 * payload / frame / 1024;
}

struct PairRun {
    int status;
    std::string out, err, server_out, server_err;
};

// A tarvo server on host a, then a tarvo client on host b (the server's
// address appended to its arguments) to its end, within seconds; what both printed.
PairRun run_pair(const NetnsPair &net, const char *binary, const std::vector<std::string> &server_args,
                 const std::vector<std::string> &client_args, const char *server_addr = NetnsPair::A_ADDR,
                 double seconds = 60);
