// udp/datagram.cc -- the datagram state the threads share, and the datagram sender
#include "udp/datagram.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/measure.h"

std::atomic<int> udp_ready{UDP_SETTING_UP};
std::atomic<int> udp_sock{-1};
std::atomic<uint32_t> udp_rx_count{0};
std::atomic<int64_t> udp_rx_bytes{0};

void reset_datagram_state()
{
    udp_ready = UDP_SETTING_UP;
    udp_sock = -1;
    udp_rx_count = 0;
    udp_rx_bytes = 0;
}

int send_datagram_phase(int sock, char *buf, int32_t size, const sockaddr_in &dest, uint32_t *tried)
{
    // Every datagram of a batch is the same block to the same address, so
    // the batch is one header repeated. The timer is looked at once a batch.
    iovec block = {buf, static_cast<size_t>(size)};
    // a batch of at most DATAGRAM_BATCH_BYTES, so that a phase overruns its
    // alarm by well under a millisecond whatever the datagram's size
    const auto per_call = static_cast<unsigned>(
        std::clamp<int32_t>(DATAGRAM_BATCH_BYTES / size, 1, static_cast<int32_t>(DATAGRAM_BATCH)));
    mmsghdr batch[DATAGRAM_BATCH] = {};
    for (auto &message : batch) {
        message.msg_hdr.msg_name = const_cast<sockaddr_in *>(&dest);
        message.msg_hdr.msg_namelen = sizeof dest;
        message.msg_hdr.msg_iov = &block;
        message.msg_hdr.msg_iovlen = 1;
    }
    *tried = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        // a batch cut short (the alarm, or an error after some went) counts what went
        const int sent = sendmmsg(sock, batch, per_call, 0);
        if (sent >= 0) {
            *tried += static_cast<uint32_t>(sent);
            continue;
        }
        if (errno == EINTR)  // the alarm, most likely: the loop test decides
            continue;
        // The label names the one-datagram call: people who read the error
        // know it by that name.
        perror("sendto()");
        ++*tried;
        return -1;
    }
    return 0;
}
