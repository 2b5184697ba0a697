// udp/receiver.cc -- the thread that takes every datagram from udp_sock and counts it
#include "udp/receiver.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
#include "core/measure.h"
#include "core/sock.h"
#include "udp/datagram.h"

namespace {

// While datagrams come faster than a nap, the receiver does not wait in the
// socket: a thread that sleeps there must be woken for every datagram, and
// the sender's CPU pays for the wakeup. On a veth pair that was a third of
// the sender's time at 1 KiB, and the sender's time is what limits the
// rate. So when a receive takes more than one datagram, the receiver naps
// RECEIVE_NAP before the next, and the datagrams gather meanwhile. When it
// takes a single one, it waits in the socket again, as it does when idle;
// when it takes a full batch, more are waiting, and it looks again at once.
// The socket buffer (131072 bytes, which the kernel doubles) holds 113
// datagrams of 1 KiB, 350 us at the fastest rate measured, or five of
// 32 KiB, 230 us: far more than a nap.
constexpr timespec RECEIVE_NAP = {0, 20000};
// A receive that fails for a reason other than a signal is tried again
// after this pause, so that an error that lasts costs no CPU; it is
// reported when a run of failures begins, not at every try.
constexpr timespec FAILED_PAUSE = {0, 10000000};

}  // namespace

void reset_rx_counters()
{
    udp_rx_count.store(0);
    udp_rx_bytes.store(0);
}

bool wait_udp_ready()
{
    const timespec pause = {0, 10000000};
    while (udp_ready.load() == UDP_SETTING_UP)
        nanosleep(&pause, nullptr);
    return udp_ready.load() == UDP_BOUND;
}

void *udp_receiver_thread(void *local)
{
    char *buf = init_buffer(BUFFER_SIZE);
    int sock = -1;
    if (buf == nullptr)
        perror("malloc()");
    else
        sock = open_bound_socket(SOCK_DGRAM, *static_cast<const sockaddr_in *>(local), "socket(DGRAM)", "bind(DGRAM)");
    if (sock < 0) {
        // udp_sock stays -1: nobody may send on a descriptor that is not ours
        free(buf);
        udp_ready.store(UDP_FAILED);
        return nullptr;
    }
    udp_sock.store(sock);
    udp_ready.store(UDP_BOUND);

    // Only lengths count, so every datagram of a batch lands in the same
    // buffer; 65536 bytes hold the largest, so msg_len is its whole length.
    iovec space = {buf, BUFFER_SIZE};
    mmsghdr batch[DATAGRAM_BATCH] = {};
    for (auto &message : batch) {
        message.msg_hdr.msg_iov = &space;
        message.msg_hdr.msg_iovlen = 1;
    }
    // naps as short as asked, not stretched by the default 50 us of slack
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    bool gathering = false;
    bool failing = false;
    for (;;) {
        if (gathering)  // an interrupted nap only looks sooner
            nanosleep(&RECEIVE_NAP, nullptr);
        // waits for the first datagram, then takes what else has arrived
        const int got = recvmmsg(sock, batch, DATAGRAM_BATCH, MSG_WAITFORONE, nullptr);
        gathering = false;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // The label names the one-datagram call: people who read the
            // error know it by that name. The receiver never ends: the
            // counts it keeps are what the benchmark reports.
            if (!failing)
                perror("recvfrom()");
            failing = true;
            nanosleep(&FAILED_PAUSE, nullptr);
            continue;
        }
        failing = false;
        // More than one: they come faster than a nap, so the next ones
        // gather. A full batch leaves more waiting: take them at once.
        gathering = got > 1 && got < static_cast<int>(DATAGRAM_BATCH);
        uint32_t count = 0;
        int64_t bytes = 0;
        for (int i = 0; i < got; ++i) {
            if (batch[i].msg_len > 0) {  // an empty datagram counts nothing
                ++count;
                bytes += batch[i].msg_len;
            }
        }
        udp_rx_count.fetch_add(count);
        udp_rx_bytes.fetch_add(bytes);
    }
}
