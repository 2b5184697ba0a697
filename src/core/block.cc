// core/block.cc -- the loops that move a block in pieces, and the stream phases built on them
#include "core/block.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/constants.h"
#include "core/measure.h"

BlockResult send_block(int sock, const char *buf, int32_t size)
{
    for (int32_t moved = 0; moved < size;) {
        const ssize_t result = send(sock, buf + moved, static_cast<size_t>(size - moved), MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR)  // the phase alarm; finish the block
                continue;
            perror("send()");
            return BLOCK_FAILED;
        }
        moved += static_cast<int32_t>(result);
    }
    return BLOCK_MOVED;
}

BlockResult recv_block(int sock, char *buf, int32_t size, int64_t deadline_ms)
{
    for (int32_t moved = 0; moved < size;) {
        const ssize_t result = recv(sock, buf + moved, static_cast<size_t>(size - moved), 0);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            perror("recv()");
            return BLOCK_FAILED;
        }
        if (result == 0)
            return BLOCK_CLOSED;
        moved += static_cast<int32_t>(result);
        // a sender that trickles a byte now and then never meets the idle limit
        if (now_ms() > deadline_ms) {
            errno = ETIMEDOUT;
            perror("recv()");
            return BLOCK_FAILED;
        }
    }
    return BLOCK_MOVED;
}

int send_stream_phase(int sock, char *buf, int32_t size, int64_t *blocks)
{
    *blocks = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        if (send_block(sock, buf, size) != BLOCK_MOVED)
            return -1;  // a stream that failed once stays failed
        ++*blocks;
    }
    return 0;
}

int recv_stream_phase(int sock, char *buf, int32_t size, int64_t *bytes, PhaseCut *cut)
{
    const int64_t deadline = now_ms() + (static_cast<int64_t>(MEASURE_SECONDS) + IDLE_SECONDS) * 1000;
    *bytes = 0;
    BlockResult result;
    do {
        result = recv_block(sock, buf, size, deadline);
        *bytes += size;
        if (cut != nullptr && !cut->made && timer_expired.load(std::memory_order_relaxed) != 0) {
            int waiting = 0;
            ioctl(sock, SIOCINQ, &waiting);
            cut->bytes = *bytes + waiting;
            cut->ticks = clock_elapsed(cut->start, TICKS_PER_SECOND);
            cut->made = true;
        }
    } while (result == BLOCK_MOVED && buf[0] == 0);
    return result == BLOCK_MOVED ? 0 : -1;
}

int send_closing_block(int sock, char *buf, int32_t size)
{
    buf[0] = 1;  // the receiver stops on the first block not marked 0
    return send_block(sock, buf, size) == BLOCK_MOVED ? 0 : -1;
}
