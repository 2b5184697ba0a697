// tests/cli_test.cc -- the real binary end to end: texts, exit statuses, whole runs
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "process.h"

namespace {

std::string usage_text(int port)
{
    return "\nUsage: tarvo [options] [<server>]\n\n"
           "  -s            run server side of benchmark (otherwise run client)\n"
           "  -b <size>[k]  use this block size (otherwise run with 1,2,4,8,16 and 32k)\n\n"
           "  -t            use TCP protocol for benchmark\n"
           "  -u            use UDP protocol for benchmark\n"
           "  -h <addr>     bind TCP and UDP servers to this local host address/name only\n"
           "                (default is to bind to all local addresses)\n"
           "  -p <port>     bind TCP and UDP servers to this port (default is " +
           std::to_string(port) +
           ")\n\n"
           "  <server>      If the client side of the benchmark is running,\n"
           "                a server name or address is required.\n\n"
           "The server side can run either TCP (-t) or UDP (-u) protocol or both\n"
           "(default, if neither -t or -u is specified). The client runs one of\n"
           "these protocols only (must specify -t or -u).\n\n";
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args, const char *binary = TARVO_FAST_BIN, double seconds = 60)
{
    Process proc(binary, args);
    int status = proc.wait(seconds);
    return {status, proc.out(), proc.err()};
}

// One result line of a TCP run, with the rates left open.
std::string result_line(const std::string &label)
{
    return "Packet size " + label + " bytes:  # @ Tx,  # KByte/s Rx.\n";
}

void expect_whole_run(const Outcome &r, const std::vector<std::string> &labels)
{
    std::string form = BANNER + "\nTCP connection established.\n";
    for (const auto &label : labels)
        form += result_line(label);
    form += "Done.\n\n";
    EXPECT_TRUE(matches_form(r.out, form)) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace

TEST(CommandLine, UsageTextGetoptMessagesAndExitStatuses)
{
    Outcome r = run({});
    EXPECT_EQ(r.out, BANNER + usage_text(18767));
    EXPECT_EQ(r.status, 1);

    // a -p before the fault shows in the text
    r = run({"-p", "1234", "-n"});
    EXPECT_EQ(r.out, BANNER + usage_text(1234));
    EXPECT_EQ(r.status, 1);

    r = run({"-x", "-t", "127.0.0.1"});
    EXPECT_EQ(r.out, BANNER + usage_text(18767));
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);

    for (auto args : std::vector<std::vector<std::string>>{
             {"-t"}, {"-t", "-u", "127.0.0.1"}, {"127.0.0.1"}, {"-d"}, {"-m", "x"}, {"-a", "x"}, {"-t", "-b"}}) {
        r = run(args);
        EXPECT_EQ(r.out, BANNER + usage_text(18767)) << args[0];
        EXPECT_EQ(r.status, 1) << args[0];
    }

    r = run({"-t", "no-such-host.invalid"});
    EXPECT_EQ(r.out, BANNER);
    EXPECT_EQ(r.err.rfind("gethostbyname(): ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Success"), std::string::npos) << "the resolver's reason, not errno's";
    EXPECT_EQ(r.status, 1);

    for (auto [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-s", "-t", "-h", "1.2.3.x"}, "tarvo: 1.2.3.x: not an IPv4 address\n"},
             {{"-t", "2001:db8::x"}, "tarvo: 2001:db8::x: not an IPv6 address\n"},
             {{"-t", "fe80::1"}, "tarvo: fe80::1: a link-local address needs its interface, as in fe80::1%eth0\n"}}) {
        r = run(args);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 1);
    }
    r = run({"-s", "-p", "65535"});
    EXPECT_EQ(r.err, "tarvo: -p 65535: the TCP port (65535) or the UDP port (0) would be 0\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, RefusedConnectionIsAFailedRun)
{
    int32_t port = free_port();
    Outcome r = run({"-t", "-p", std::to_string(port), "127.0.0.1"});
    EXPECT_EQ(r.out, BANNER + "\n");
    EXPECT_EQ(r.err, "connect(): Connection refused\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, ServerThatCannotListenEndsWithStatus1AndInterruptEndsWith0)
{
    int32_t port = free_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = address("127.0.0.1", port);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    Outcome r = run({"-s", "-t", "-h", "127.0.0.1", "-p", std::to_string(port)}, TARVO_FAST_BIN, 10);
    close(holder);
    EXPECT_EQ(r.out, BANNER + "\n");
    EXPECT_EQ(r.err, "bind(): Address already in use\n");
    EXPECT_EQ(r.status, 1);

    Server server;
    // Out of descriptors, accept fails; the service waits and serves again
    // once it has them back. (0, 1, 2 and the listener are all it holds.)
    const rlimit few = {4, 4096}, enough = {1024, 4096};
    ASSERT_EQ(prlimit(server.proc.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    int waiting = connect_tcp("127.0.0.1", server.port);
    ASSERT_GE(waiting, 0);
    usleep(2500000);
    EXPECT_EQ(server.proc.wait(0), -1) << "a failed accept ended the server";
    ASSERT_EQ(prlimit(server.proc.pid(), RLIMIT_NOFILE, &enough, nullptr), 0);
    send_raw(waiting, CMD_QUIT, 0);
    EXPECT_TRUE(closed_by_server(waiting, 5));
    close(waiting);
    tcp_conversation("127.0.0.1", server.port);

    // a client stopped halfway ends as the shells report an interrupted command
    Process client(TARVO_FAST_BIN, {"-t", "-p", std::to_string(server.port), "127.0.0.1"});
    ASSERT_TRUE(client.wait_for_output("Packet size", 10));
    client.signal(SIGINT);
    EXPECT_EQ(client.wait(10), 130);
    // and a server stopped so has done what it was asked
    server.proc.signal(SIGINT);
    EXPECT_EQ(server.proc.wait(10), 0);
}

TEST(EndToEnd, OneBlockSizeWithThePortsLow16Bits)
{
    Server server;
    Outcome r = run({"-t", "-b", "100", "-p", std::to_string(server.port + 65536), "127.0.0.1"});
    expect_whole_run(r, {"100"});
    EXPECT_TRUE(server.proc.wait_for_output("\nDone.\nTCP server listening.\n", 10));
}

TEST(EndToEnd, EveryDefaultBlockSize)
{
    Server server;
    Outcome r = run({"-t", "-p", std::to_string(server.port), "127.0.0.1"});
    expect_whole_run(r, {" 1k", " 2k", " 4k", " 8k", "16k", "32k"});
}

TEST(EndToEnd, ShippedBinaryMeasuresSixSecondPhases)
{
    Server server({"-s", "-t"}, "127.0.0.1", TARVO_BIN);
    Process client(TARVO_BIN, {"-t", "-b", "32k", "-p", std::to_string(server.port), "127.0.0.1"});
    // the Tx figure stands after one 6-second phase, the line after two
    EXPECT_FALSE(client.wait_for_output(" Tx, ", 5.5));
    EXPECT_TRUE(client.wait_for_output(" Tx, ", 3));
    EXPECT_FALSE(client.wait_for_output(" Rx.", 5));
    ASSERT_EQ(client.wait(10), 0);
    Outcome r = {0, client.out(), client.err()};
    expect_whole_run(r, {"32k"});
    long tx = 0, rx = 0;
    ASSERT_EQ(sscanf(r.out.c_str() + r.out.find("bytes: "), "bytes:  %ld KByte/s Tx,  %ld KByte/s Rx", &tx, &rx), 2);
    EXPECT_GT(tx, 10000);  // loopback moves far more than 10 MByte/s
    EXPECT_GT(rx, 10000);
}

TEST(EndToEnd, ClientSurvivesAServerThatVanishes)
{
    Server server;
    Process client(TARVO_FAST_BIN, {"-t", "-p", std::to_string(server.port), "127.0.0.1"});
    ASSERT_TRUE(client.wait_for_output("Packet size  2k bytes: ", 10));
    usleep(300000);  // inside the Tx phase
    server.proc.signal(SIGKILL);
    server.proc.wait(10);
    EXPECT_EQ(client.wait(20), 1);
    const std::string out = client.out();
    EXPECT_TRUE(matches_form(out, BANNER + "\nTCP connection established.\n" + result_line(" 1k") +
                                      "Packet size  2k bytes: *Done.\n\n"))
        << out;
    EXPECT_NE(client.err().find("send()"), std::string::npos);
}

TEST(EndToEnd, RxIsTimedToTheClosingBlockAndAnEarlyEndMovesOnToTheNextSize)
{
    // A scripted server: it holds back the closing block of the first Rx
    // phase for two seconds, then goes away inside the second.
    const int32_t port = free_port();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = address("127.0.0.1", port);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    sockaddr_in client_at = {};
    std::thread script([&] {
        socklen_t len = sizeof client_at;
        int conn = accept(listener, reinterpret_cast<sockaddr *>(&client_at), &len);
        std::vector<char> block(65536);
        for (int32_t size : {1024, 2048}) {
            ASSERT_TRUE(read_whole(conn, block.data(), 8));  // C2S
            do
                ASSERT_TRUE(read_whole(conn, block.data(), size));
            while (block[0] == 0);
            ASSERT_TRUE(read_whole(conn, block.data(), 8));  // S2C
            send_blocks(conn, size, 10, 0);
            if (size == 2048)
                break;
            usleep(2000000);
            send_blocks(conn, size, 1, 1);
        }
        close(conn);
    });
    // -h: the connection leaves from that address of the client's host
    Outcome r = run({"-t", "-h", "127.0.0.2", "-p", std::to_string(port), "127.0.0.1"}, TARVO_FAST_BIN, 30);
    script.join();
    close(listener);
    EXPECT_EQ(client_at.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_TRUE(matches_form(r.out, BANNER + "\nTCP connection established.\n"
                                             "Packet size  1k bytes:  # @ Tx,  # Byte/s Rx.\n"
                                             "Packet size  2k bytes:  # @ Tx,  # Byte/s Rx.\n"
                                             "Packet size  4k bytes: *Done.\n\n"))
        << r.out;
    EXPECT_EQ(r.status, 1);
    // 11 blocks of 1024 bytes in a little over two seconds, not over the Tx
    // phase's one; those that came with the first byte crossed before the
    // clock started, and do not count
    long rx = 0;
    ASSERT_EQ(sscanf(r.out.c_str() + r.out.find("Tx, "), "Tx,  %ld Byte/s Rx", &rx), 1);
    EXPECT_GT(rx, 1024 / 4);
    EXPECT_LT(rx, 11 * 1024 * 10 / 17) << "Rx timed over less than 1.7 s";
}

TEST(Service, InTheJournalEveryServerEventIsALineOfItsOwn)
{
    // JOURNAL_STREAM names standard output, as systemd sets it for a service
    const int32_t port = free_port();
    Process server("/bin/sh",
                   {"-c", std::string("exec 3>&1; JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/3) exec ") +
                              TARVO_FAST_BIN + " -s -t -h 127.0.0.1 -p " + std::to_string(port)});
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", 10));
    tcp_conversation("127.0.0.1", port);
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", 10, 2));
    EXPECT_EQ(server.out(), BANNER.substr(1) +
                                "TCP server listening.\n"
                                "TCP connection established with 127.0.0.1.\n"
                                "TCP receiving from client, packet size 1000.\n"
                                "TCP sending to client, packet size 1000.\n"
                                "TCP done.\n"
                                "TCP server listening.\n");
}

TEST(EndToEnd, AClosedPipeEndsTheClientQuietly)
{
    Server server;
    const std::string client =
        std::string(TARVO_FAST_BIN) + " -t -b 1k -p " + std::to_string(server.port) + " 127.0.0.1";
    Process pipeline("/bin/bash", {"-c", client + " | head -c 30; echo \" status ${PIPESTATUS[0]}\""});
    ASSERT_EQ(pipeline.wait(30), 0);
    // the banner's first 30 bytes, then death by the broken pipe: no message of any kind
    EXPECT_EQ(pipeline.out(), BANNER.substr(0, 30) + " status 141\n");
    EXPECT_EQ(pipeline.err(), "");
}
