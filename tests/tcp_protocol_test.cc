// tests/tcp_protocol_test.cc -- a test client speaks the wire protocol to the real TCP server
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "core/control.h"
#include "core/measure.h"
#include "process.h"

namespace {

constexpr char BANNER[] = "\nTARVO - Network Throughput Benchmark, Version 1.26\n\n";

// The test buffer as the server fills it.
const std::vector<char> &pattern()
{
    static std::vector<char> bytes = [] {
        char *buf = init_buffer(BUFFER_SIZE);
        std::vector<char> copy(buf, buf + BUFFER_SIZE);
        free(buf);
        return copy;
    }();
    return bytes;
}

void send_raw(int sock, uint32_t cmd, uint32_t data)
{
    const uint32_t words[2] = {htonl(cmd), htonl(data)};
    ASSERT_EQ(send(sock, words, 8, MSG_NOSIGNAL), 8);
}

void send_blocks(int sock, int32_t size, int blocks, char mark_of_last)
{
    std::vector<char> block(pattern().begin(), pattern().begin() + size);
    for (int i = 0; i < blocks; ++i) {
        block[0] = i == blocks - 1 ? mark_of_last : 0;
        ASSERT_EQ(send(sock, block.data(), size, MSG_NOSIGNAL), size);
    }
}

bool read_whole(int sock, char *buf, int32_t size)
{
    for (int32_t at = 0; at < size;) {
        ssize_t n = recv(sock, buf + at, size - at, 0);
        if (n <= 0)
            return false;
        at += static_cast<int32_t>(n);
    }
    return true;
}

// Asks the server to send and checks its stream: whole blocks of the
// announced size, the test data after the mark, 0 marks then one 1 mark, and
// nothing after it. Returns the number of blocks, the closing one included.
long receive_phase(int sock, int32_t size)
{
    send_raw(sock, CMD_S2C, static_cast<uint32_t>(size));
    std::vector<char> block(size);
    long blocks = 0;
    for (;;) {
        if (!read_whole(sock, block.data(), size)) {
            ADD_FAILURE() << "stream ended inside the phase after " << blocks << " blocks";
            return -1;
        }
        ++blocks;
        if (memcmp(block.data() + 1, pattern().data() + 1, size - 1) != 0) {
            ADD_FAILURE() << "block " << blocks << " does not carry the test data";
            return -1;
        }
        if (block[0] == 1)
            break;
        if (block[0] != 0) {
            ADD_FAILURE() << "block " << blocks << " has end mark " << int(block[0]);
            return -1;
        }
    }
    char extra;
    EXPECT_EQ(recv(sock, &extra, 1, MSG_DONTWAIT), -1) << "bytes after the closing block";
    return blocks;
}

// The server has ended the connection: the stream ends without a byte.
bool closed_by_server(int sock)
{
    char byte;
    return recv(sock, &byte, 1, 0) <= 0;
}

// A whole, normal conversation, which must succeed after anything that went before.
void normal_conversation(const Server &server)
{
    int dones = count_of(server.proc.out(), "\nDone.\n");
    int sock = connect_tcp("127.0.0.1", server.port);
    ASSERT_GE(sock, 0);
    send_raw(sock, CMD_C2S, 1000);
    send_blocks(sock, 1000, 50, 1);
    EXPECT_GT(receive_phase(sock, 1000), 1);
    send_raw(sock, CMD_QUIT, 0);
    EXPECT_TRUE(closed_by_server(sock));
    close(sock);
    EXPECT_TRUE(server.proc.wait_for_output("\nDone.\n", 10, dones + 1)) << server.proc.out();
}

void reset(int sock)
{
    linger hard = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(sock);
}

}  // namespace

TEST(TcpServer, ServesAWholeConversationInWholeBlocksAndSaysSo)
{
    Server server;
    int sock = connect_tcp("127.0.0.1", server.port);
    ASSERT_GE(sock, 0);
    send_raw(sock, CMD_C2S, 1000);
    send_blocks(sock, 1000, 20, 1);
    EXPECT_GT(receive_phase(sock, 1000), 1);
    // the largest block, its label in the k form
    send_raw(sock, CMD_C2S, 65536);
    send_blocks(sock, 65536, 3, 1);
    EXPECT_GT(receive_phase(sock, 65536), 1);
    send_raw(sock, CMD_QUIT, 0);
    EXPECT_TRUE(closed_by_server(sock));
    close(sock);

    ASSERT_TRUE(server.proc.wait_for_output("server listening.", 10, 2));
    EXPECT_EQ(server.proc.out(), std::string(BANNER) +
                                     "TCP server listening.\n"
                                     "TCP connection established ... "
                                     "\nReceiving from client, packet size 1000 ... "
                                     "\nSending to client, packet size 1000 ... "
                                     "\nReceiving from client, packet size 64k ... "
                                     "\nSending to client, packet size 64k ... "
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

    normal_conversation(server);
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
    // closed in the send phase without reading anything
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_S2C, 1024);
    usleep(100000);
    close(sock);
    // closed between phases, and right after connecting
    sock = connect_tcp("127.0.0.1", server.port);
    send_raw(sock, CMD_C2S, 100);
    send_blocks(sock, 100, 2, 1);
    close(sock);
    close(connect_tcp("127.0.0.1", server.port));

    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(server.proc.wait_for_output("\nDone.\n", 15, i + 1)) << server.proc.out();
    normal_conversation(server);
    EXPECT_EQ(server.proc.wait(0), -1) << "the server process ended";
    EXPECT_TRUE(server.proc.wait_for_output("TCP server listening.", 10, 8));
}
