// core/block.cc -- the loops that move a block in pieces, and the stream phases built on them
#include "core/block.h"

#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/constants.h"
#include "core/measure.h"

namespace {

// The data block as a file: sendfile hands the kernel the file's pages
// instead of copying the block from the program's memory, which is where a
// sender's time goes on a fast path. Its content never changes, so pages
// still waiting in the socket to be acknowledged stay right: it is the test
// buffer with end mark 0. -1 when it cannot be made; blocks are then sent.
int make_data_file()
{
    char *buf = init_buffer(BUFFER_SIZE);
    int fd = buf == nullptr ? -1 : memfd_create("tarvo-block", MFD_CLOEXEC);
    for (int32_t moved = 0; fd >= 0 && moved < BUFFER_SIZE;) {
        const ssize_t result = write(fd, buf + moved, static_cast<size_t>(BUFFER_SIZE - moved));
        if (result > 0) {
            moved += static_cast<int32_t>(result);
        } else if (result < 0 && errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
    free(buf);
    return fd;
}

// Made once, for every thread, before the first phase that sends from it.
int data_file()
{
    static const int fd = make_data_file();
    return fd;
}

// A block resumed after a partial transfer or an interrupted call, from
// buf, or from the data file when fd is one. BLOCK_CLOSED here means the
// kernel will not send from the file (nothing of the block went): the
// caller sends from buf instead.
BlockResult send_pieces(int sock, const char *buf, int fd, int32_t size)
{
    for (int32_t moved = 0; moved < size;) {
        const auto rest = static_cast<size_t>(size - moved);
        off_t at = moved;
        const ssize_t result = fd < 0 ? send(sock, buf + moved, rest, MSG_NOSIGNAL) : sendfile(sock, fd, &at, rest);
        if (result < 0) {
            if (errno == EINTR)  // the phase alarm; finish the block
                continue;
            if (fd >= 0 && moved == 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
                return BLOCK_CLOSED;
            // The label names the call as people who read the error know it.
            perror("send()");
            return BLOCK_FAILED;
        }
        moved += static_cast<int32_t>(result);
    }
    return BLOCK_MOVED;
}

// sendfile has no MSG_NOSIGNAL: a peer that has gone raises SIGPIPE. While
// a phase sends from the file it is held back, and taken away again after.
void hold_sigpipe(sigset_t *before)
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, before);
}

void release_sigpipe(const sigset_t &before)
{
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1 && sigismember(&before, SIGPIPE) == 0) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now = {0, 0};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// A block of at least this size is read only as far as its end mark; the
// kernel discards the rest (MSG_TRUNC) instead of copying it, at the cost
// of a second call. Below it one copying call costs less: on loopback, a
// discarding receiver moved 0.76 times as much at 1 KiB, about as much at
// 8 KiB, and 1.4 times as much at 16 KiB.
constexpr int32_t DISCARD_FROM = 16384;
// Blocks of at least this size go out from the data file. Below it the
// call costs more than the copy it saves: sendfile moved 0.5 times as much
// at 1 KiB, 0.85 at 4 KiB, about as much at 16 KiB, and 1.6 times as much
// at 32 KiB.
constexpr int32_t SENDFILE_FROM = 32768;

// A block resumed after a partial transfer or an interrupted call, copied
// into buf, or with discard its first byte alone, the end mark, and the
// rest dropped in the kernel: each call takes no more than the block holds,
// so the next block's mark is never dropped with it.
BlockResult recv_pieces(int sock, char *buf, int32_t size, int64_t deadline_ms, bool discard)
{
    for (int32_t moved = 0; moved < size;) {
        const bool mark = moved == 0;
        const size_t length = discard && mark ? 1 : static_cast<size_t>(size - moved);
        const ssize_t result = recv(sock, buf + (discard ? 0 : moved), length, discard && !mark ? MSG_TRUNC : 0);
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

}  // namespace

BlockResult send_block(int sock, const char *buf, int32_t size)
{
    return send_pieces(sock, buf, -1, size);
}

BlockResult recv_block(int sock, char *buf, int32_t size, int64_t deadline_ms)
{
    return recv_pieces(sock, buf, size, deadline_ms, false);
}

int send_stream_phase(int sock, char *buf, int32_t size, int64_t *blocks)
{
    *blocks = 0;
    buf[0] = 0;
    int fd = size >= SENDFILE_FROM ? data_file() : -1;
    sigset_t before;
    const bool from_file = fd >= 0;
    if (from_file)
        hold_sigpipe(&before);
    int failed = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        BlockResult result = send_pieces(sock, buf, fd, size);
        if (result == BLOCK_CLOSED) {  // the kernel will not: send it, and the rest
            fd = -1;
            result = send_block(sock, buf, size);
        }
        if (result != BLOCK_MOVED) {
            failed = -1;  // a stream that failed once stays failed
            break;
        }
        ++*blocks;
    }
    if (from_file)
        release_sigpipe(before);
    return failed;
}

int recv_stream_phase(int sock, char *buf, int32_t size, int64_t *bytes, PhaseCut *cut)
{
    const int64_t deadline = now_ms() + (static_cast<int64_t>(MEASURE_SECONDS) + IDLE_SECONDS) * 1000;
    *bytes = 0;
    BlockResult result;
    do {
        result = recv_pieces(sock, buf, size, deadline, size >= DISCARD_FROM);
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
