// core/block.cc -- the only loops that move a block in pieces
#include "core/block.h"

#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/constants.h"
#include "core/shared.h"

namespace {

// The coarse clock costs a few nanoseconds, nothing beside a receive.
int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

ssize_t send_block(int sock, const char *buf, int32_t size)
{
    ssize_t result = 0;
    for (int32_t moved = 0; moved < size;) {
        result = send(sock, buf + moved, static_cast<size_t>(size - moved), MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR)  // the phase alarm; finish the block
                continue;
            perror("send()");
            return result;
        }
        moved += static_cast<int32_t>(result);
    }
    return result;
}

ssize_t recv_block(int sock, char *buf, int32_t size, int64_t deadline_ms)
{
    ssize_t result = 0;
    for (int32_t moved = 0; moved < size;) {
        result = recv(sock, buf + moved, static_cast<size_t>(size - moved), 0);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            perror("recv()");
            return result;
        }
        if (result == 0)  // the peer has closed its end
            return result;
        moved += static_cast<int32_t>(result);
        // a sender that trickles a byte now and then never meets the idle limit
        if (now_ms() > deadline_ms) {
            errno = ETIMEDOUT;
            perror("recv()");
            return -1;
        }
    }
    return result;
}

int send_stream_phase(int sock, char *buf, int32_t size, int64_t *blocks)
{
    *blocks = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        if (send_block(sock, buf, size) < 0)
            return -1;  // a stream that failed once stays failed
        ++*blocks;
    }
    return 0;
}

int recv_stream_phase(int sock, char *buf, int32_t size, int64_t *bytes)
{
    const int64_t deadline = now_ms() + (static_cast<int64_t>(MEASURE_SECONDS) + IDLE_SECONDS) * 1000;
    *bytes = 0;
    ssize_t result;
    do {
        result = recv_block(sock, buf, size, deadline);
        *bytes += size;
    } while (buf[0] == 0 && result > 0);
    return result > 0 ? 0 : -1;
}

int send_closing_block(int sock, char *buf, int32_t size)
{
    buf[0] = 1;  // the receiver stops on the first block not marked 0
    return send_block(sock, buf, size) > 0 ? 0 : -1;
}

uint32_t send_datagram_phase(int sock, char *buf, int32_t size, const sockaddr_in &dest)
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
    uint32_t tried = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        // a batch cut short (the alarm, or an error after some went) counts what went
        const int sent = sendmmsg(sock, batch, per_call, 0);
        if (sent >= 0) {
            tried += static_cast<uint32_t>(sent);
            continue;
        }
        if (errno == EINTR)  // the alarm, most likely: the loop test decides
            continue;
        // named for the one-datagram call, as this report always has been
        perror("sendto()");
        ++tried;
        break;
    }
    return tried;
}
