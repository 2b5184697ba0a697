// core/block.cc -- the only loops that move a block in pieces
#include "core/block.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "app/settings.h"

ssize_t send_block(int sock, const char *buf, int32_t size, const sockaddr_in *dest)
{
    ssize_t result = 0;
    for (int32_t moved = 0; moved < size;) {
        if (dest == nullptr)
            result = send(sock, buf + moved, size - moved, MSG_NOSIGNAL);
        else
            result = sendto(sock, buf + moved, size - moved, 0,
                            reinterpret_cast<const sockaddr *>(dest), sizeof *dest);
        if (result < 0) {
            if (errno == EINTR)  // the phase alarm; finish the block
                continue;
            perror(dest == nullptr ? "send()" : "sendto()");
            return result;
        }
        moved += static_cast<int32_t>(result);
    }
    return result;
}

ssize_t recv_block(int sock, char *buf, int32_t size)
{
    ssize_t result = 0;
    for (int32_t moved = 0; moved < size;) {
        result = recv(sock, buf + moved, size - moved, 0);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            perror("recv()");
            return result;
        }
        if (result == 0)  // the peer has closed its end
            return result;
        moved += static_cast<int32_t>(result);
    }
    return result;
}

uint64_t send_phase(int sock, char *buf, int32_t size, const sockaddr_in *dest, bool *failed)
{
    uint64_t blocks = 0;
    buf[0] = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        if (send_block(sock, buf, size, dest) < 0 && dest == nullptr) {
            *failed = true;  // a stream that failed once stays failed
            break;
        }
        ++blocks;
    }
    return blocks;
}

int64_t recv_phase(int sock, char *buf, int32_t size, bool *complete)
{
    int64_t bytes = 0;
    ssize_t result;
    do {
        result = recv_block(sock, buf, size);
        bytes += size;
    } while (buf[0] == 0 && result > 0);
    *complete = result > 0;
    return bytes;
}

int send_closing_block(int sock, char *buf, int32_t size)
{
    buf[0] = 1;  // the receiver stops on the first block not marked 0
    return send_block(sock, buf, size) > 0 ? 0 : 1;
}
