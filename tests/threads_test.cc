// tests/threads_test.cc -- the server threads in this process, as main starts
// them, under load from both protocols at once: the test that ThreadSanitizer
// watches for races on the shared flags, counters and timer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <thread>

#include "app/settings.h"
#include "core/session.h"
#include "core/sock.h"
#include "peer.h"
#include "tcp/server.h"
#include "udp/datagram.h"
#include "udp/receiver.h"
#include "udp/server.h"

namespace {

Endpoint tcp_local, udp_local;  // as main keeps them: for the life of the process

void start(void *(*entry)(void *), Endpoint *local)
{
    ASSERT_EQ(start_thread(entry, local), 0);
}

bool accepts(int32_t port)
{
    for (int tries = 0; tries < 500; ++tries) {
        int sock = connect_tcp("127.0.0.1", port);
        if (sock >= 0) {
            send_raw(sock, CMD_QUIT, 0);
            close(sock);
            return true;
        }
        usleep(10000);
    }
    return false;
}

}  // namespace

TEST(Threads, ReceiverAndBothServersShareTheirStateSafely)
{
    reset_settings();
    bind_addr = address("127.0.0.1", 0);
    tcp_port = free_port();
    udp_port = tcp_port + 1;
    tcp_local = address("127.0.0.1", tcp_port);
    udp_local = address("127.0.0.1", udp_port);
    start(tcp_server_thread, &tcp_local);
    start(udp_receiver_thread, &udp_local);
    start(udp_server_thread, &udp_local);
    ASSERT_TRUE(wait_udp_ready());
    ASSERT_TRUE(accepts(tcp_port));
    ASSERT_TRUE(accepts(udp_port));

    // This thread, and the helpers it starts, now refuse the phase alarm, so
    // the kernel hands it to the first server thread: the TCP server, idle in
    // its wait for a client, which must wait on. (ThreadSanitizer holds back a
    // signal that lands in select, which it does not intercept, until that
    // thread's next intercepted call, which an idle thread never makes: there
    // the alarm stays with this thread.)
#ifndef __SANITIZE_THREAD__
    block_alarm();
#endif
    udp_conversation(udp_port);
    tcp_conversation("127.0.0.1", tcp_port);

    // counts exact after a reset, with the other service's phases running beside
    std::thread tcp([] {
        for (int i = 0; i < 2; ++i)
            tcp_conversation("127.0.0.1", tcp_port);
    });
    for (int i = 0; i < 2; ++i)
        udp_conversation(udp_port);
    tcp.join();
    EXPECT_TRUE(accepts(tcp_port));  // both services still serve
    EXPECT_TRUE(accepts(udp_port));
}

// A receive that fails and goes on failing (here the datagram socket's
// descriptor comes to name a listening stream socket, on which every receive
// fails) is reported once, and the receiver waits between tries instead of
// spinning: it never ends, since its counts are what the benchmark reports.
TEST(Threads, AReceiverWhoseReceivesFailSaysSoOnceAndDoesNotSpin)
{
    reset_settings();
    udp_local = address("127.0.0.1", free_port() + 1);
    const int saved_stderr = dup(2), err = memfd_create("stderr", 0);
    dup2(err, 2);
    start(udp_receiver_thread, &udp_local);
    ASSERT_TRUE(wait_udp_ready());
    // one datagram counted: the receiver is in its loop
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(sender, "x", 1, 0, &udp_local.sa, udp_local.length());
    ASSERT_TRUE(within(5, [] { return udp_rx_count.load() == 1; }));
    const int listener = listen_on(address("127.0.0.1", 0), "socket()", "bind()");
    dup2(listener, udp_sock.load());
    // wakes a receive that still waits on the socket the descriptor named before
    sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr *>(&udp_local), sizeof udp_local);
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    dup2(saved_stderr, 2);
    const std::string said = read_file("/proc/self/fd/" + std::to_string(err));
    EXPECT_EQ(count_of(said, "recvfrom(): "), 1) << said;
    EXPECT_LT(static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9,
              0.1);
    close(sender);
}
