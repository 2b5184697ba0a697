// tests/tcp_protocol_test.cc -- a test client speaks the wire protocol to the real TCP server
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/block.h"
#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/sock.h"
#include "peer.h"
#include "tcp/turn.h"

// A send phase of blocks of size bytes (end marks 0, then 1), as one stream
// sent piece bytes at a time with a pause after each piece, so that the
// receiver takes most blocks in several reads, each across a block's bound.
void send_in_pieces(int sock, int32_t size, int blocks, int32_t piece)
{
    std::vector<char> stream;
    for (int i = 0; i < blocks; ++i) {
        stream.insert(stream.end(), pattern().begin(), pattern().begin() + size);
        stream[static_cast<size_t>(i) * static_cast<size_t>(size)] = i == blocks - 1 ? 1 : 0;
    }
    for (size_t at = 0; at < stream.size(); at += static_cast<size_t>(piece)) {
        const auto length = std::min(stream.size() - at, static_cast<size_t>(piece));
        ASSERT_EQ(send_block(sock, stream.data() + at, static_cast<int32_t>(length)), BLOCK_MOVED);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TEST(TcpServer, ServesAWholeConversationInWholeBlocksAndSaysSo)
{
    {
        // A fresh server of both protocols, asked to send first, sends its
        // own test data: both services fill their buffers at the same time.
        Server fresh({"-s"});
        int sock = connect_tcp("127.0.0.1", fresh.port);
        EXPECT_GT(receive_phase(sock, 65536), 1);
        close(sock);
    }
    Server server;
    int sock = connect_tcp("127.0.0.1", server.port);
    ASSERT_GE(sock, 0);
    // any mark but 0 closes a phase
    send_raw(sock, CMD_C2S, 1000);
    send_blocks(sock, 1000, 20, 2);
    EXPECT_GT(receive_phase(sock, 1000), 1);
    // the largest block, its label in the k form
    send_raw(sock, CMD_C2S, 65536);
    send_blocks(sock, 65536, 3, static_cast<char>(0xFF));
    EXPECT_GT(receive_phase(sock, 65536), 1);
    // blocks that arrive in pieces across their bounds: every end mark is
    // still read where it is, or the server would end the phase early or
    // never, and not answer the request that follows
    send_raw(sock, CMD_C2S, 32768);
    send_in_pieces(sock, 32768, 6, 5000);
    EXPECT_GT(receive_phase(sock, 32768), 1);
    send_raw(sock, CMD_QUIT, 0);
    EXPECT_TRUE(closed_by_server(sock));
    close(sock);

    ASSERT_TRUE(server.proc.wait_for_output("server listening.", 10, 2));
    EXPECT_EQ(server.proc.out(), BANNER + "\n" +
                                     "TCP server listening.\n"
                                     "TCP connection established ... "
                                     "\nReceiving from client, packet size 1000 ... "
                                     "\nSending to client, packet size 1000 ... "
                                     "\nReceiving from client, packet size 64k ... "
                                     "\nSending to client, packet size 64k ... "
                                     "\nReceiving from client, packet size 32k ... "
                                     "\nSending to client, packet size 32k ... "
                                     "\nDone.\n"
                                     "TCP server listening.\n");
    EXPECT_EQ(server.proc.err(), "");
}

TEST(TcpServer, EndsOnlyTheConnectionOnBadCodesSizesAndSplitBlocks)
{
    Server server;
    const uint32_t commands[] = {CMD_C2S, CMD_S2C};
    const uint32_t sizes[] = {0, 65537, 0xFFFFFFFF};
    for (uint32_t cmd : commands) {
        for (uint32_t size : sizes) {
            int sock = connect_tcp("127.0.0.1", server.port);
            ASSERT_GE(sock, 0);
            send_raw(sock, cmd, size);
            EXPECT_TRUE(closed_by_server(sock)) << "command " << cmd << " size " << size;
            close(sock);
        }
    }
    for (uint32_t cmd : {CMD_QUIT, CMD_RES, 7u, 0xFFFFFFFFu}) {
        int sock = connect_tcp("127.0.0.1", server.port);
        send_raw(sock, cmd, 1000);
        EXPECT_TRUE(closed_by_server(sock)) << "command " << cmd;
        close(sock);
    }
    // a control block in two pieces is not a control block
    int sock = connect_tcp("127.0.0.1", server.port);
    const uint32_t words[2] = {htonl(CMD_C2S), htonl(1000)};
    send(sock, words, 4, 0);
    usleep(200000);
    send(sock, reinterpret_cast<const char *>(words) + 4, 4, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_server(sock));
    close(sock);

    conversation(server, TCP);
    EXPECT_EQ(server.proc.out().find("packet size 0 "), std::string::npos);
    EXPECT_EQ(server.proc.wait(0), -1) << "the server process ended";
}

TEST(TcpServer, ClientsThatCloseOrResetInAnyPhaseNeverStopTheServer)
{
    Server server;
    // closed in the middle of a block of the receive phase
    int sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_C2S, 4096);
    send_blocks(sock, 4096, 3, 0);
    send(sock, pattern().data(), 100, 0);
    close(sock);
    // reset in the receive phase
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_C2S, 4096);
    send_blocks(sock, 4096, 3, 0);
    reset(sock);
    // reset in the send phase, after reading a little
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_S2C, 32768);
    std::vector<char> block(32768);
    EXPECT_TRUE(read_whole(sock, block.data(), 32768));
    reset(sock);
    // closed in the send phase without reading anything, after a FIN: the
    // reset that follows it makes the server's blocked send fail with EPIPE,
    // which raises SIGPIPE unless the send says MSG_NOSIGNAL
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_S2C, 32768);
    usleep(100000);
    shutdown(sock, SHUT_WR);
    usleep(20000);
    close(sock);
    // closed between phases, and right after connecting
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_C2S, 100);
    send_blocks(sock, 100, 2, 1);
    close(sock);
    close(connect_tcp("127.0.0.1", server.port));

    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(server.proc.wait_for_output("\nDone.\n", 15, i + 1)) << server.proc.out();
    conversation(server, TCP);
    EXPECT_EQ(server.proc.wait(0), -1) << "the server process ended";
    EXPECT_TRUE(server.proc.wait_for_output("TCP server listening.", 10, 8));
}

// The kernel fills in as much of tcp_info as it knows: the turn's wait reads
// the window's state only where this kernel filled it in, and a kernel
// before 5.4 (no tcpi_snd_wnd) or 4.6 (no tcpi_notsent_bytes) is not waited
// for, rather than read as zeros, which a window that seems shut would be.
TEST(TcpInfo, IsZeroedAndReadOnlyAsFarAsTheKernelFilledItIn)
{
    const Server server;
    const int sock = connect_tcp("127.0.0.1", server.port);
    ASSERT_GE(sock, 0);
    tcp_info info;
    memset(&info, 0xff, sizeof info);
    const int filled = read_tcp_info(sock, &info);
    EXPECT_TRUE(turn_visible(filled)) << filled << " bytes on this kernel";
    EXPECT_EQ(info.tcpi_bytes_acked, 1U) << "the SYN's byte only";
    EXPECT_EQ(read_tcp_info(-1, &info), -1);
    EXPECT_EQ(info.tcpi_snd_wnd, 0U) << "not zeroed where the kernel filled nothing in";
    for (const size_t short_of : {offsetof(tcp_info, tcpi_snd_wnd), offsetof(tcp_info, tcpi_notsent_bytes),
                                  offsetof(tcp_info, tcpi_bytes_acked)})
        EXPECT_FALSE(turn_visible(static_cast<int>(short_of))) << short_of;
    EXPECT_FALSE(turn_visible(-1));
    close(sock);
}
