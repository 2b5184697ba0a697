// udp/receiver.cc -- the thread that takes every datagram from udp_sock and counts it
#include "udp/receiver.h"

#include <netinet/udp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/constants.h"
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
// 32 KiB, 230 us: far more than a nap. Whole trains (below) fill it far
// sooner, so the receiver does not nap after those.
constexpr timespec RECEIVE_NAP = {0, 20000};
constexpr int64_t NAP_AFTER_BYTES = SOCKET_BUFFER_SIZE / 2;  // the kernel doubles the buffer
// A receive that fails for a reason other than a signal is tried again
// after this pause, so that an error that lasts costs no CPU; it is
// reported when a run of failures begins, not at every try.
constexpr timespec FAILED_PAUSE = {0, 10000000};

// More than one receive at once: they come faster than a nap, so the next
// ones gather. Not after a full batch, which leaves more waiting, nor after
// more than a quarter of the socket's room (whole trains, at several GB/s
// on veth): a nap then would let the socket overflow.
bool worth_a_nap(int got, int64_t bytes)
{
    return got > 1 && got < static_cast<int>(DATAGRAM_BATCH) && bytes <= NAP_AFTER_BYTES;
}

// The control space of one receive: room for the size of the datagrams of a train.
struct Segment {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
};

// The datagrams that one receive holds: 0 for an empty one, 1 for a single
// one, and for a train the count its length makes in datagrams of the size
// its control message gives (the last may be shorter).
uint32_t datagrams_in(const mmsghdr &received)
{
    if (received.msg_len == 0)  // an empty datagram counts nothing
        return 0;
    msghdr &header = const_cast<msghdr &>(received.msg_hdr);
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO)
            continue;
        int segment = 0;
        memcpy(&segment, CMSG_DATA(c), sizeof segment);
        if (segment > 0)  // the last datagram of a train may be shorter
            return (received.msg_len + static_cast<unsigned>(segment) - 1) / static_cast<unsigned>(segment);
    }
    return 1;
}

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
    const int sock =
        open_bound_socket(SOCK_DGRAM, *static_cast<const Endpoint *>(local), "socket(DGRAM)", "bind(DGRAM)");
    if (sock < 0) {
        // udp_sock stays -1: nobody may send on a descriptor that is not ours
        udp_ready.store(UDP_FAILED);
        return nullptr;
    }
    udp_sock.store(sock);
    udp_ready.store(UDP_BOUND);

    // Datagrams that arrive as one train (merged by the receiving device,
    // or never cut apart on the way) come as one receive, with the size of
    // its datagrams in a control message; a kernel without it delivers them
    // one by one.
    const int on = 1;
    setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);

    // Only lengths count, so no byte is copied out: with MSG_TRUNC a
    // receive into no space still gives the datagram's (or the train's)
    // whole length, after the kernel has checked its checksum, and drops it.
    // Copying it would cost the receiving core more than everything else it
    // does (at 1 KiB on veth, 30% of the rate).
    mmsghdr batch[DATAGRAM_BATCH] = {};
    Segment segments[DATAGRAM_BATCH] = {};
    for (unsigned i = 0; i < DATAGRAM_BATCH; ++i)
        batch[i].msg_hdr.msg_control = segments[i].control;
    // naps as short as asked, not stretched by the default 50 us of slack
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    bool gathering = false;
    bool failing = false;
    for (;;) {
        if (gathering)  // an interrupted nap only looks sooner
            nanosleep(&RECEIVE_NAP, nullptr);
        for (auto &message : batch)  // the kernel says how much of it it used
            message.msg_hdr.msg_controllen = sizeof(Segment::control);
        // waits for the first datagram, then takes what else has arrived
        const int got = recvmmsg(sock, batch, DATAGRAM_BATCH, MSG_WAITFORONE | MSG_TRUNC, nullptr);
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
        uint32_t count = 0;
        int64_t bytes = 0;
        for (int i = 0; i < got; ++i) {
            count += datagrams_in(batch[i]);
            bytes += batch[i].msg_len;
        }
        gathering = worth_a_nap(got, bytes);
        udp_rx_count.fetch_add(count);
        udp_rx_bytes.fetch_add(bytes);
    }
}
