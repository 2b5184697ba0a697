// udp/receiver.cc -- the thread that takes every datagram from udp_sock and counts it
#include "udp/receiver.h"

#include <netinet/udp.h>
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

// While datagrams flow, the receiver does not sleep between them. A thread
// that sleeps in the socket is woken for each datagram, and the sending
// core pays for the wakeup; a core that idles meanwhile wakes late (a
// virtual machine's by tens of microseconds, far more when its host is
// busy), and the socket buffer (131072 bytes, which the kernel doubles:
// 113 datagrams of 1 KiB, or four trains of 64 KiB) overflows in less. A
// nap between receives has the same fault. So after a receive that took
// datagrams, the receiver looks again at once, without waiting, until
// LOOK_NS pass with nothing to take; only then does it wait in the socket
// again. The clock is read only when a look finds nothing.
constexpr int64_t LOOK_NS = 50000;
// A receive that fails for a reason other than a signal is tried again
// after this pause, so that an error that lasts costs no CPU; it is
// reported when a run of failures begins, not at every try.
constexpr timespec FAILED_PAUSE = {0, 10000000};

int64_t now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
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
    bool flowing = false;     // datagrams came, and looks since have found none for less than LOOK_NS
    int64_t empty_since = 0;  // when looks began to find nothing
    bool failing = false;
    for (;;) {
        for (auto &message : batch)  // the kernel says how much of it it used
            message.msg_hdr.msg_controllen = sizeof(Segment::control);
        // While idle it waits for the first datagram, then takes what else
        // has arrived; while datagrams flow it takes what has arrived.
        const int flags = MSG_TRUNC | (flowing ? MSG_DONTWAIT : MSG_WAITFORONE);
        const int got = recvmmsg(sock, batch, DATAGRAM_BATCH, flags, nullptr);
        if (got < 0 && flowing && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t now = now_ns();
            if (empty_since == 0)
                empty_since = now;
            else if (now - empty_since > LOOK_NS)
                flowing = false;
            continue;
        }
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
        flowing = got > 0;
        empty_since = 0;
        udp_rx_count.fetch_add(count);
        udp_rx_bytes.fetch_add(bytes);
    }
}
