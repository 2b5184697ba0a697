// tests/options_test.cc -- the command line read into the settings
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/settings.h"

namespace {

ConfigResult run(std::initializer_list<const char *> words)
{
    reset_settings();
    std::vector<std::string> text = {"tarvo"};
    text.insert(text.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &word : text)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    opterr = 0;  // getopt's own complaints are checked end to end
    return configure(static_cast<int>(text.size()), argv.data());
}

// An address as the service's lines write it; "" for one of no family.
std::string text(const Endpoint &addr)
{
    char out[ADDRESS_TEXT_SIZE] = "";
    if (addr.family() != AF_UNSPEC)
        format_address(addr, out, sizeof out);
    return out;
}

}  // namespace

TEST(Options, BlockSizeClampsWrapsAndOnlyLowerCaseKMultiplies)
{
    EXPECT_EQ(parse_block_size("64k"), 65536);
    EXPECT_EQ(parse_block_size("100k"), 65536);
    EXPECT_EQ(parse_block_size("65535"), 65535);
    EXPECT_EQ(parse_block_size("65536"), 65536);
    EXPECT_EQ(parse_block_size("0"), 1);
    EXPECT_EQ(parse_block_size("-5"), 1);
    EXPECT_EQ(parse_block_size("2K"), 2);
    EXPECT_EQ(parse_block_size("x"), 1);
    EXPECT_EQ(parse_block_size("4194304k"), 1);  // 2^32 wraps to 0
    EXPECT_EQ(parse_block_size("2097152k"), 1);  // 2^31 wraps negative
    EXPECT_EQ(parse_block_size("99999999999"), 65536);
    EXPECT_EQ(parse_block_size("-99999999999"), 1);
    EXPECT_EQ(parse_block_size("32k"), 32768);
    EXPECT_EQ(parse_block_size("100"), 100);

    ASSERT_EQ(run({"-t", "-b", "2k", "127.0.0.1"}), CONFIG_RUN);
    EXPECT_EQ(nblock_sizes, 1u);
    EXPECT_EQ(block_sizes[0], 2048);
}

TEST(Options, PortGivesTcpAndUdpPortsAndModesAreChosen)
{
    ASSERT_EQ(run({"-s"}), CONFIG_RUN);
    EXPECT_TRUE(opt_server && opt_tcp && opt_udp);
    EXPECT_EQ(tcp_port, 18767);
    EXPECT_EQ(udp_port, 18768);
    EXPECT_EQ(nblock_sizes, 6u);
    EXPECT_EQ(block_sizes[5], 32767);

    ASSERT_EQ(run({"-s", "-u", "-p", "5000"}), CONFIG_RUN);
    EXPECT_TRUE(opt_udp);
    EXPECT_FALSE(opt_tcp);
    EXPECT_EQ(tcp_port, 5000);
    EXPECT_EQ(udp_port, 5001);

    ASSERT_EQ(run({"-s", "-t", "-p", "70000", "-h", "127.0.0.3"}), CONFIG_RUN);
    EXPECT_FALSE(opt_udp);
    EXPECT_EQ(tcp_port & 0xffff, 70000 - 65536);
    EXPECT_EQ(udp_port & 0xffff, 70001 - 65536);
    EXPECT_EQ(text(bind_addr), "127.0.0.3");

    ASSERT_EQ(run({"-u", "10.1.2.3", "ignored"}), CONFIG_RUN);
    EXPECT_EQ(text(server_addrs[0]), "10.1.2.3");
    EXPECT_EQ(nserver_addrs, 1u);
    EXPECT_EQ(bind_addr.family(), AF_UNSPEC);  // both families
}

TEST(Options, UsageErrorsAndTheAddressRule)
{
    EXPECT_EQ(run({}), CONFIG_USAGE);
    for (const char *inert : {"-n", "-d", "-?", "-x"})
        EXPECT_EQ(run({"-t", inert, "127.0.0.1"}), CONFIG_USAGE) << inert;
    EXPECT_EQ(run({"-m", "x", "-t", "127.0.0.1"}), CONFIG_USAGE);
    EXPECT_EQ(run({"-t", "-a", "x", "127.0.0.1"}), CONFIG_USAGE);
    EXPECT_EQ(run({"-t", "-b"}), CONFIG_USAGE);   // missing argument
    EXPECT_EQ(run({"-t"}), CONFIG_USAGE);         // no server
    EXPECT_EQ(run({"127.0.0.1"}), CONFIG_USAGE);  // a client must choose -t or -u
    EXPECT_EQ(run({"-t", "-u", "127.0.0.1"}), CONFIG_USAGE);

    // names are looked up before a client's protocols are checked
    EXPECT_EQ(run({"-t", "-u", "no-such-host.invalid"}), CONFIG_FAILED);
    EXPECT_EQ(run({"-s", "-h", "no-such-host.invalid"}), CONFIG_FAILED);

    // a text that starts with a digit is a dotted address, and one that does
    // not parse is an error, not 255.255.255.255
    EXPECT_EQ(run({"-t", "1nvalid.example"}), CONFIG_FAILED);
    EXPECT_EQ(run({"-t", "10.0.0.256"}), CONFIG_FAILED);
    EXPECT_EQ(run({"-s", "-t", "-h", "1.2.3.x"}), CONFIG_FAILED);
    ASSERT_EQ(run({"-t", "255.255.255.255"}), CONFIG_RUN);
    EXPECT_EQ(server_addrs[0].v4.sin_addr.s_addr, INADDR_NONE);
    // a text with a colon is IPv6, also when it starts with a digit, and a
    // link-local one keeps its scope or fails
    for (auto [given, taken] : std::vector<std::pair<const char *, std::string>>{{"2001:db8::1", "2001:db8::1"},
                                                                                 {"fe80::1%lo", "fe80::1%lo"},
                                                                                 {"::ffff:10.1.2.3", "10.1.2.3"},
                                                                                 {"2001:db8::x", ""},
                                                                                 {"fe80::1", ""},
                                                                                 {"fe80::1%no-such-if", ""}}) {
        EXPECT_EQ(run({"-t", given}), taken.empty() ? CONFIG_FAILED : CONFIG_RUN) << given;
        if (!taken.empty()) {
            EXPECT_EQ(text(server_addrs[0]), taken) << given;
        }
    }
    ASSERT_EQ(run({"-s", "-h", "::"}), CONFIG_RUN);
    EXPECT_EQ(bind_addr.family(), AF_INET6);
    // a port that is not a number, or that makes either port 0
    for (const char *port : {"abc", "", "12x", "65535", "0", "-1", "131072", "99999999999999999999"})
        EXPECT_EQ(run({"-s", "-p", port}), CONFIG_FAILED) << port;
    // a name gives its addresses of both families, or only those of -h's
    ASSERT_EQ(run({"-t", "localhost"}), CONFIG_RUN);
    ASSERT_GE(nserver_addrs, 1u);
    EXPECT_NE(std::find_if(server_addrs, server_addrs + nserver_addrs,
                           [](const Endpoint &a) { return text(a) == "127.0.0.1"; }),
              server_addrs + nserver_addrs);
    ASSERT_EQ(run({"-t", "-h", "127.0.0.1", "localhost"}), CONFIG_RUN);
    EXPECT_TRUE(std::all_of(server_addrs, server_addrs + nserver_addrs,
                            [](const Endpoint &a) { return a.family() == AF_INET; }));
    ASSERT_EQ(run({"-s", "-h", "127.0.0.9", "-h", "localhost"}), CONFIG_RUN);  // the last -h holds
    EXPECT_NE(text(bind_addr), "127.0.0.9");
}
