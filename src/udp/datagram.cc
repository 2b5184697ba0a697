// udp/datagram.cc -- the datagram state the threads share, and the datagram sender
#include "udp/datagram.h"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

namespace {

// A train is one call of datagrams of the same size that the kernel cuts
// apart on the way out (UDP_SEGMENT). At most this many to a train (the
// kernel's limit now; older kernels refuse more than 64), and no more
// bytes than one datagram of the destination's family may hold: a train of
// 1 KiB datagrams is 63 of them, 64 us of sending at 1 GB/s, so a phase
// overruns its alarm by far less than a millisecond. Each datagram with its
// headers must fit the path's MTU (over IPv6 a datagram and 48 bytes), or
// the kernel refuses the train.
constexpr unsigned TRAIN_DATAGRAMS = 128;
constexpr unsigned OLDER_KERNELS_TRAIN = 64;

// What a send that sends nothing says when the kernel will not cut trains
// of this size for this path: a datagram that does not fit the path's MTU
// (EMSGSIZE, EINVAL on older kernels), a device that cannot checksum them
// (EIO, behind IPsec for one), a kernel without UDP_SEGMENT (ENOPROTOOPT).
bool trains_refused(int error)
{
    return error == EMSGSIZE || error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

// A kernel older than UDP_SEGMENT (4.18) would not refuse a train: it would
// skip the option it does not know and send the train as one datagram. Its
// socket option tells them apart.
bool kernel_cuts_trains(int sock)
{
    int segment = 0;
    socklen_t length = sizeof segment;
    return getsockopt(sock, SOL_UDP, UDP_SEGMENT, &segment, &length) == 0;
}

enum PhaseEnd { PHASE_OVER, PHASE_FAILED, PHASE_REFUSED };

// Reports a call that failed and counts its datagrams as tried: every next
// call would meet the same error (one too large for its family, a missing route).
PhaseEnd phase_failed(uint32_t *tried, uint32_t datagrams)
{
    // The label names the one-datagram call: people who read the error know
    // it by that name.
    perror("sendto()");
    *tried += datagrams;
    return PHASE_FAILED;
}

// Trains of per_train datagrams, each datagram the same block: the iovec
// points at it per_train times, so the kernel's cuts fall on the block's
// bounds and nothing is copied to make the train.
PhaseEnd send_trains(int sock, const iovec &block, unsigned per_train, const Endpoint &dest, uint32_t *tried)
{
    iovec blocks[TRAIN_DATAGRAMS];
    for (unsigned i = 0; i < per_train; ++i)
        blocks[i] = block;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr train = {};
    train.msg_name = const_cast<sockaddr *>(&dest.sa);
    train.msg_namelen = dest.length();
    train.msg_iov = blocks;
    train.msg_iovlen = per_train;
    train.msg_control = control;
    train.msg_controllen = sizeof control;
    cmsghdr *segment = CMSG_FIRSTHDR(&train);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const auto size = static_cast<uint16_t>(block.iov_len);
    memcpy(CMSG_DATA(segment), &size, sizeof size);
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        const ssize_t sent = sendmsg(sock, &train, 0);
        if (sent >= 0) {
            // what the kernel took, in datagrams
            *tried += static_cast<uint32_t>(static_cast<size_t>(sent) / block.iov_len);
            continue;
        }
        if (errno == EINTR)  // the alarm, most likely: the loop test decides
            continue;
        if (trains_refused(errno) && train.msg_iovlen > OLDER_KERNELS_TRAIN) {
            train.msg_iovlen = OLDER_KERNELS_TRAIN;  // an older kernel's limit; a size it refuses fails again
            continue;
        }
        if (trains_refused(errno))
            return PHASE_REFUSED;
        return phase_failed(tried, per_train);
    }
    return PHASE_OVER;
}

// Batches of single datagrams, as many as fit DATAGRAM_BATCH_BYTES up to
// DATAGRAM_BATCH, one header repeated.
PhaseEnd send_batches(int sock, const iovec &block, const Endpoint &dest, uint32_t *tried)
{
    const auto per_call = static_cast<unsigned>(std::clamp<int32_t>(
        DATAGRAM_BATCH_BYTES / static_cast<int32_t>(block.iov_len), 1, static_cast<int32_t>(DATAGRAM_BATCH)));
    mmsghdr batch[DATAGRAM_BATCH] = {};
    for (auto &message : batch) {
        message.msg_hdr.msg_name = const_cast<sockaddr *>(&dest.sa);
        message.msg_hdr.msg_namelen = dest.length();
        message.msg_hdr.msg_iov = const_cast<iovec *>(&block);
        message.msg_hdr.msg_iovlen = 1;
    }
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        // a batch cut short (the alarm, or an error after some went) counts what went
        const int sent = sendmmsg(sock, batch, per_call, 0);
        if (sent >= 0) {
            *tried += static_cast<uint32_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        return phase_failed(tried, 1);
    }
    return PHASE_OVER;
}

}  // namespace

int send_datagram_phase(int sock, char *buf, int32_t size, const Endpoint &to, uint32_t *tried)
{
    // an IPv4 address in IPv6's form where the socket takes both families
    const Endpoint dest = in_family(to, socket_family(sock));
    const iovec block = {buf, static_cast<size_t>(size)};
    *tried = 0;
    buf[0] = 0;
    // Trains where two or more datagrams make one; where the kernel
    // refuses them for this size, single datagrams for the rest of the
    // phase. The timer is looked at once a call.
    const auto per_train = static_cast<unsigned>(std::min<int32_t>(largest_datagram(dest) / size, TRAIN_DATAGRAMS));
    PhaseEnd end = PHASE_REFUSED;
    if (per_train > 1 && kernel_cuts_trains(sock))
        end = send_trains(sock, block, per_train, dest, tried);
    if (end == PHASE_REFUSED)
        end = send_batches(sock, block, dest, tried);
    return end == PHASE_OVER ? 0 : -1;
}
