// core/block.cc -- the only loops that move a block in pieces
#include "core/block.h"

#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "app/settings.h"

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
    uint32_t tried = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        const ssize_t sent = sendto(sock, buf, static_cast<size_t>(size), 0,
                                    reinterpret_cast<const sockaddr *>(&dest), sizeof dest);
        if (sent < 0 && errno == EINTR)  // the alarm, most likely: the loop test decides
            continue;
        ++tried;
        if (sent < 0) {
            perror("sendto()");
            break;
        }
    }
    return tried;
}
