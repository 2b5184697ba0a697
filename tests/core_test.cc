// tests/core_test.cc -- size labels, rates, ticks, control blocks and block loops
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/block.h"
#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/sock.h"
#include "process.h"

namespace {

std::string rate(int64_t bytes, int32_t ticks)
{
    char text[32];
    format_rate(text, sizeof text, bytes, ticks);
    return text;
}

struct SocketPair : ::testing::Test {
    int fd[2];
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        const timeval bound = {10, 0};  // a phase that misses its end fails instead of hanging
        setsockopt(fd[1], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
    void TearDown() override
    {
        close(fd[0]);
        close(fd[1]);
    }
};

void on_test_alarm(int) {}

}  // namespace

TEST(SizeLabel, MultiplesAndOneShortGetTheKForm)
{
    EXPECT_STREQ(format_size(1023), " 1k");
    EXPECT_STREQ(format_size(1024), " 1k");
    EXPECT_STREQ(format_size(1025), "1025");
    EXPECT_STREQ(format_size(2048), " 2k");
    EXPECT_STREQ(format_size(16384), "16k");
    EXPECT_STREQ(format_size(32767), "32k");
    EXPECT_STREQ(format_size(65536), "64k");
    EXPECT_STREQ(format_size(100), "100");
    EXPECT_STREQ(format_size(1), "1");
    // any 32-bit value from the network, without overflow
    EXPECT_STREQ(format_size(0x7FFFFFFF), "2097152k");
    EXPECT_STREQ(format_size(INT32_MIN), "-2097151k");
}

TEST(Rate, ByteFormUpTo614399BytesKByteFormFrom614400)
{
    EXPECT_EQ(rate(614399, 1024), " 614399 Byte/s");
    EXPECT_EQ(rate(614400, 1024), " 600 KByte/s");
    EXPECT_EQ(rate(6LL * 1024 * 1024, 6 * 1024), " 1024 KByte/s");
    EXPECT_EQ(rate(600, 6 * 1024), " 100 Byte/s");
    // a 64-bit byte count beyond 2^31 is divided whole
    EXPECT_EQ(rate(5000000000LL, 6 * 1024), " 813802 KByte/s");
    EXPECT_EQ(rate(0, 6 * 1024), " 0 Byte/s");
}

TEST(Rate, APhaseShorterThanATickCountsAsOneTick)
{
    EXPECT_EQ(rate(1000, 0), " 1024000 Byte/s");
    EXPECT_EQ(rate(1000000, 0), " 1000000 KByte/s");
    EXPECT_EQ(rate(0, 0), " 0 Byte/s");
}

TEST(Ticks, SignedArithmeticTruncatesTowardZero)
{
    EXPECT_EQ(ticks_between(6, 0, TICKS_PER_SECOND), 6144);
    EXPECT_EQ(ticks_between(0, 500000, TICKS_PER_SECOND), 512);
    EXPECT_EQ(ticks_between(0, 976, TICKS_PER_SECOND), 0);  // 0.999 of a tick
    EXPECT_EQ(ticks_between(0, 977, TICKS_PER_SECOND), 1);
    // microseconds behind: 1024 - 1023.99..., the quotient truncated to -1023
    EXPECT_EQ(ticks_between(1, -999999, TICKS_PER_SECOND), 1);
    EXPECT_EQ(ticks_between(2, -500000, TICKS_PER_SECOND), 1536);

    timespec start;
    clock_start(&start);
    usleep(100000);
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    EXPECT_GE(ticks, 102);
    EXPECT_LT(ticks, 400);
}

TEST(TestBuffer, EndMarkZeroAndTheSameSequenceEveryTime)
{
    char *a = init_buffer(BUFFER_SIZE);
    char *b = init_buffer(BUFFER_SIZE);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(memcmp(a, b, BUFFER_SIZE), 0);
    int zeros = 0;
    for (int i = 1; i < BUFFER_SIZE; ++i)
        zeros += a[i] == 0;
    EXPECT_LT(zeros, 1024);  // pseudo-random, not blank
    free(a);
    free(b);
}

// Both ends of a connection have the idle limit on receives, on sends and on
// unacknowledged data. The kernel's limit on unacknowledged data also ends
// a shut window, so a stalled peer shows no difference between the two;
// where it does not (older kernels), the send limit is what ends it. A send
// phase of small blocks, or of blocks larger than loopback's 64 KiB
// segment, corks the stream, one of blocks in between does not; a cork left
// on would hold the phase's tail, and what follows it, for the kernel's 200 ms.
// A reader of large blocks waits for a whole one; it must not wait through a
// closing block that comes in pieces, nor through the control block after it.
TEST(Sockets, BothEndsOfAConnectionHaveTheIdleLimitEachWayAndNoCorkAfterAPhase)
{
    const int listener = listen_on(address("127.0.0.1", 0), "socket()", "bind()");
    ASSERT_GE(listener, 0);
    sockaddr_in at = {};
    socklen_t len = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr *>(&at), &len);
    const int client = connect_to(at, address("127.0.0.2", 0));
    int server = -1;
    Endpoint peer;
    ASSERT_EQ(wait_for_client(listener, &server, &peer), CLIENT_TAKEN);
    EXPECT_EQ(peer.v4.sin_addr.s_addr, inet_addr("127.0.0.2"));
    for (int sock : {client, server}) {
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            timeval limit = {};
            len = sizeof limit;
            getsockopt(sock, SOL_SOCKET, option, &limit, &len);
            EXPECT_EQ(limit.tv_sec, IDLE_SECONDS) << "option " << option;
        }
        unsigned int ms = 0;
        len = sizeof ms;
        getsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, &len);
        EXPECT_EQ(ms, IDLE_SECONDS * 1000U);
    }

    const auto corked = [client] {
        int on = -1;
        socklen_t length = sizeof on;
        getsockopt(client, IPPROTO_TCP, TCP_CORK, &on, &length);
        return on;
    };
    char *out = init_buffer(BUFFER_SIZE), *in = init_buffer(BUFFER_SIZE);
    for (const int32_t size : {1000, 32768, 65536}) {
        std::thread reader([&] {
            int64_t bytes = 0;
            EXPECT_EQ(recv_stream_phase(server, in, size, &bytes), 0);
        });
        // Once more bytes have crossed than the last phase's closing block,
        // the sender is in this one, and it stays corked or not until it
        // sees the alarm: a look taken before the alarm tells what it does.
        int seen = -1;
        const uint64_t before = bytes_acknowledged(client);
        start_timer(1);
        std::thread look([&] {
            for (int i = 0; i < 100 && bytes_acknowledged(client) <= before + 2 * BUFFER_SIZE; ++i)
                usleep(10000);
            const int on = corked();
            if (timer_expired.load() == 0)
                seen = on;
        });
        int64_t blocks = 0;
        EXPECT_EQ(send_stream_phase(client, out, size, &blocks), 0);
        look.join();
        if (seen >= 0) {
            EXPECT_EQ(seen != 0, size != 32768) << size << "-byte blocks";
        }
        EXPECT_EQ(corked(), 0) << "the stream is still corked after its phase of " << size << "-byte blocks";
        EXPECT_EQ(send_closing_block(client, out, size), 0);
        reader.join();
    }

    // A reader of large blocks sleeps until a whole one waits; one that
    // finds half a closing block waiting still ends the phase once the other
    // half is in, and reads the control block behind it at once.
    const int32_t size = 32768;
    out[0] = 0;
    ASSERT_EQ(send_block(client, out, size), BLOCK_MOVED);
    out[0] = 1;
    ASSERT_EQ(send_block(client, out, size / 2), BLOCK_MOVED);
    std::thread pieces([&] {
        usleep(200000);
        send_block(client, out + size / 2, size / 2);
        send_control(client, CMD_QUIT, 0);
    });
    const double started = now();
    int64_t bytes = 0;
    EXPECT_EQ(recv_stream_phase(server, in, size, &bytes), 0);
    EXPECT_EQ(bytes, 2 * size);
    CONTROL next = {};
    EXPECT_EQ(recv_control(server, &next), 0);
    EXPECT_LT(now() - started, 1.5) << "the reader slept through the idle limit (" << IDLE_SECONDS << " s)";
    pieces.join();
    free(out);
    free(in);
    close(client);
    close(server);
    close(listener);
}

TEST_F(SocketPair, ControlBlockTravelsBigEndianAndASplitOneFails)
{
    ASSERT_EQ(send_control(fd[0], CMD_S2C, 32767), 0);
    unsigned char raw[8];
    ASSERT_EQ(recv(fd[1], raw, 8, 0), 8);
    const unsigned char expect[8] = {0, 0, 0, 2, 0, 0, 0x7f, 0xff};
    EXPECT_EQ(memcmp(raw, expect, 8), 0);

    ASSERT_EQ(send(fd[0], raw, 8, 0), 8);
    CONTROL ctl;
    ASSERT_EQ(recv_control(fd[1], &ctl), 0);
    EXPECT_EQ(ctl.cmd, CMD_S2C);
    EXPECT_EQ(ctl.data, 32767u);

    // four bytes now, four later: one read sees only half a block
    ASSERT_EQ(send(fd[0], raw, 4, 0), 4);
    std::thread late([&] {
        usleep(100000);
        send(fd[0], raw + 4, 4, 0);
    });
    EXPECT_EQ(recv_control(fd[1], &ctl), -1);
    late.join();

    shutdown(fd[0], SHUT_WR);
    EXPECT_EQ(recv_once(fd[1], raw + 4, 4, 0), 0);  // the late half
    EXPECT_EQ(recv_once(fd[1], raw, 8, 0), 1);      // end of stream
}

TEST_F(SocketPair, BlocksResumeAfterPartialTransfersAndInterruptions)
{
    // small socket buffers force every block through in pieces
    const int small = 4096;
    setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    // an alarm without SA_RESTART, kept away from the helper thread, makes
    // this thread's blocked calls fail with EINTR or return short
    struct sigaction action = {}, old;
    action.sa_handler = on_test_alarm;
    sigaction(SIGALRM, &action, &old);
    auto helper = [](auto work) {
        return std::thread([work] {
            block_alarm();
            work();
        });
    };
    itimerval every = {{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    char *data = init_buffer(BUFFER_SIZE);
    std::vector<char> got(BUFFER_SIZE);

    // a block that arrives in slow pieces is received whole
    std::thread writer = helper([&] {
        for (int at = 0; at < BUFFER_SIZE; at += 8192) {
            usleep(20000);
            send_block(fd[0], data + at, 8192);
        }
    });
    EXPECT_EQ(recv_block(fd[1], got.data(), BUFFER_SIZE), BLOCK_MOVED);
    writer.join();
    EXPECT_EQ(memcmp(got.data(), data, BUFFER_SIZE), 0);

    // a block sent to a reader that stalls longer than the alarm period (so
    // that sends are interrupted before they move a byte) goes whole,
    // without a byte twice
    std::fill(got.begin(), got.end(), 0);
    std::thread reader = helper([&] {
        for (int at = 0; at < BUFFER_SIZE;) {
            usleep(12000);
            ssize_t n = recv(fd[1], got.data() + at, 4096, 0);
            if (n <= 0)
                break;
            at += static_cast<int>(n);
        }
    });
    EXPECT_EQ(send_block(fd[0], data, BUFFER_SIZE), BLOCK_MOVED);
    reader.join();
    EXPECT_EQ(memcmp(got.data(), data, BUFFER_SIZE), 0);

    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);

    // the end of the stream in the middle of a block ends it with 0
    send(fd[0], data, 100, 0);
    shutdown(fd[0], SHUT_WR);
    EXPECT_EQ(recv_block(fd[1], got.data(), 1000), BLOCK_CLOSED);
    free(data);
}

TEST_F(SocketPair, PhasesFrameWholeBlocksAndStopOnTheEndMark)
{
    const int32_t size = 1000;
    char *out = init_buffer(BUFFER_SIZE);
    char *in = init_buffer(BUFFER_SIZE);

    int64_t blocks = 0;
    int failed = 0;
    std::thread sender([&] {
        start_timer(1);
        failed = send_stream_phase(fd[0], out, size, &blocks);
        EXPECT_EQ(send_closing_block(fd[0], out, size), 0);
        send(fd[0], "after", 5, 0);  // not part of the phase
    });
    int64_t bytes = 0;
    EXPECT_EQ(recv_stream_phase(fd[1], in, size, &bytes), 0);
    sender.join();
    EXPECT_EQ(failed, 0);
    EXPECT_GT(blocks, 0);
    EXPECT_EQ(bytes, (blocks + 1) * size);  // the closing block counts
    char rest[8];
    EXPECT_EQ(recv(fd[1], rest, sizeof rest, 0), 5);

    // any mark but 0 closes a phase
    out[0] = 0;
    send_block(fd[0], out, size);
    out[0] = static_cast<char>(0xFF);
    send_block(fd[0], out, size);
    EXPECT_EQ(recv_stream_phase(fd[1], in, size, &bytes), 0);
    EXPECT_EQ(bytes, 2 * size);

    // blocks that wait together are taken together, whole, and never what
    // comes after the closing one; the receiver's own buffer stays as it was
    out[0] = 0;
    for (int i = 0; i < 60; ++i)
        send_block(fd[0], out, 500);
    EXPECT_EQ(send_closing_block(fd[0], out, 500), 0);
    EXPECT_EQ(send_control(fd[0], CMD_S2C, 500), 0);
    memset(in + 1, 'x', BUFFER_SIZE - 1);
    EXPECT_EQ(recv_stream_phase(fd[1], in, 500, &bytes), 0);
    EXPECT_EQ(bytes, 61 * 500);
    CONTROL next = {};
    EXPECT_EQ(recv_control(fd[1], &next), 0);
    EXPECT_EQ(next.cmd, CMD_S2C);
    EXPECT_EQ(std::string(in + 1, BUFFER_SIZE - 1), std::string(BUFFER_SIZE - 1, 'x'));

    // a peer that goes before the closing block leaves the phase incomplete
    out[0] = 0;
    send_block(fd[0], out, size);
    close(fd[0]);
    fd[0] = socket(AF_INET, SOCK_STREAM, 0);
    in[0] = 0;
    EXPECT_EQ(recv_stream_phase(fd[1], in, size, &bytes), -1);
    EXPECT_EQ(bytes, 2 * size);

    // a stream that fails ends the send phase at once, the failed block uncounted
    start_timer(5);
    EXPECT_EQ(send_stream_phase(fd[1], out, size, &blocks), -1);
    EXPECT_EQ(blocks, 0);
    alarm(0);
    free(out);
    free(in);
}
