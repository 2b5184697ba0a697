// tests/peer.cc -- test clients that speak the wire protocol
#include "peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/block.h"
#include "core/constants.h"
#include "core/measure.h"

const std::vector<char> &pattern()
{
    static const std::unique_ptr<char, decltype(&free)> buf(init_buffer(BUFFER_SIZE), free);
    static const std::vector<char> bytes(buf.get(), buf.get() + BUFFER_SIZE);
    return bytes;
}

bool read_whole(int sock, char *buf, int32_t size)
{
    return recv_block(sock, buf, size) == BLOCK_MOVED;
}

void send_raw(int sock, uint32_t cmd, uint32_t data)
{
    ASSERT_EQ(send_control(sock, cmd, data), 0);
}

void send_blocks(int sock, int32_t size, int blocks, char mark_of_last)
{
    std::vector<char> block(pattern().begin(), pattern().begin() + size);
    for (int i = 0; i < blocks; ++i) {
        block[0] = i == blocks - 1 ? mark_of_last : 0;
        ASSERT_EQ(send_block(sock, block.data(), size), BLOCK_MOVED);
    }
}

long receive_phase(int sock, int32_t size)
{
    send_raw(sock, CMD_S2C, static_cast<uint32_t>(size));
    std::vector<char> block(size);
    long blocks = 0;
    for (;;) {
        ++blocks;
        if (!read_whole(sock, block.data(), size) || (block[0] != 0 && block[0] != 1) ||
            memcmp(block.data() + 1, pattern().data() + 1, size - 1) != 0) {
            ADD_FAILURE() << "block " << blocks << ": not whole, end mark " << int(block[0])
                          << ", or not the test data";
            return -1;
        }
        if (block[0] == 1)
            break;
    }
    char extra;
    EXPECT_EQ(recv(sock, &extra, 1, MSG_DONTWAIT), -1) << "bytes after the closing block";
    return blocks;
}

long read_until_closed(int sock, double seconds, double quiet)
{
    const double end = now() + seconds;
    std::vector<char> buf(65536);
    long bytes = 0;
    for (double left; (left = std::min(end - now(), quiet)) > 0;) {
        pollfd fd = {sock, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;  // silent, or out of time: a timeout is not a close
        const ssize_t n = recv(sock, buf.data(), buf.size(), MSG_DONTWAIT);  // readable: it cannot block
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return bytes;
        bytes += n > 0 ? n : 0;
    }
    return -1;
}

void reset(int sock)
{
    linger hard = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(sock);
}

void tcp_conversation(const char *addr, int32_t port)
{
    int sock = connect_tcp(addr, port);
    ASSERT_GE(sock, 0);
    send_raw(sock, CMD_C2S, 1000);
    send_blocks(sock, 1000, 50, 1);
    EXPECT_GT(receive_phase(sock, 1000), 1);
    send_raw(sock, CMD_QUIT, 0);
    EXPECT_TRUE(closed_by_server(sock));
    close(sock);
}

UdpPeer::UdpPeer(int32_t port) : udp_port(port)
{
    dgram = socket(AF_INET, SOCK_DGRAM, 0);
    const int big = 4 << 20;
    setsockopt(dgram, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const sockaddr_in local = address("127.0.0.2", udp_port);
    if (bind(dgram, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error("bind datagram socket");
    ctl = connect_tcp("127.0.0.1", udp_port, "127.0.0.2");
}

CONTROL UdpPeer::ask(uint32_t cmd, uint32_t data) const
{
    send_raw(cmd, data);
    CONTROL out = {0xdead, 0xdead};
    EXPECT_EQ(recv_control(ctl, &out), 0) << "no reply to command " << cmd;
    return out;
}

void UdpPeer::send_datagrams(int count, int size) const
{
    std::vector<char> data(size, 'd');
    const sockaddr_in to = address("127.0.0.1", udp_port);
    for (int i = 0; i < count; ++i)
        sendto(dgram, data.data(), size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

SendPhase UdpPeer::receive(uint32_t size) const
{
    SendPhase phase;
    std::vector<char> buf(65536);
    // datagrams of an earlier client's phase, all in before this client was served
    while (recv(dgram, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
    }
    send_raw(CMD_S2C, size);
    const bool replied = within(20, [&] {
        pollfd fds[2] = {{dgram, POLLIN, 0}, {ctl, POLLIN, 0}};
        poll(fds, 2, 10);
        sockaddr_in from;
        socklen_t len = sizeof from;
        for (ssize_t n; (n = recvfrom(dgram, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                                      &len)) >= 0;) {
            ++phase.datagrams;
            phase.well_formed &= n == static_cast<ssize_t>(size) && buf[0] == 0 && ntohs(from.sin_port) == udp_port;
        }
        return fds[1].revents != 0;  // the reply, or the end of the connection
    });
    EXPECT_TRUE(replied && recv_control(ctl, &phase.reply) == 0) << "no reply to CMD_S2C";
    return phase;
}

void conversation(const Server &server, Protocol protocol)
{
    const int dones = count_of(server.proc.out(), "\nDone.\n");
    if (protocol == TCP)
        tcp_conversation("127.0.0.1", server.port);
    else
        udp_conversation(server.port + 1);
    EXPECT_TRUE(server.proc.wait_for_output("\nDone.\n", 10, dones + 1)) << server.proc.out();
}

void udp_conversation(int32_t udp_port)
{
    UdpPeer peer(udp_port);
    CONTROL echo = peer.ask(CMD_C2S, 1000);
    EXPECT_EQ(echo.cmd, CMD_C2S);
    EXPECT_EQ(echo.data, 1000u);
    peer.send_datagrams(20, 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // resumes after a signal, unlike usleep
    EXPECT_EQ(peer.ask(CMD_RES, 1000).data, 20u);
    SendPhase phase = peer.receive(1000);
    EXPECT_GT(phase.datagrams, 0);
    EXPECT_TRUE(phase.well_formed);
    EXPECT_EQ(phase.reply.cmd, CMD_RES);
    peer.send_raw(CMD_QUIT, 0);
    EXPECT_TRUE(peer.closed_by_server());
}
