// core/block.cc -- the loops that move a block in pieces, and the stream phases built on them
#include "core/block.h"

#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/tcp.h>  // TCP_CORK, TCP_MAXSEG

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/constants.h"
#include "core/control.h"
#include "core/measure.h"

namespace {

// While a send phase runs, a stream of small blocks is corked: the kernel
// sends only full segments, however the blocks fall on them, and the end of
// the phase lets the rest go. Each block is still one call. So is a stream
// of blocks larger than the path's segment, whose tails would otherwise go
// as small segments of their own. A block of CORK_BELOW bytes or more that
// fits one segment goes uncorked, a segment to itself or joined with the
// next where the kernel finds it still queued: on loopback, whose segment
// is 64 KiB, the window of SOCKET_BUFFER_SIZE holds two full segments only,
// and a corked sender waits for every window update (a third of the time
// at 40 KiB). There, uncorked blocks of 2, 4, 24, 32 and 48 KiB moved 1.2
// to 1.5 times as much at less CPU per GB, and 8 and 16 KiB ones 0.9 to
// 1.2 times, while 1 KiB blocks moved 1.06 times as much corked and 64 KiB
// ones 1.3 times (kernel 6.18, BBR). On a path of 1500-byte frames every
// block of CORK_BELOW bytes is larger than a segment, and every stream is
// corked. The block is copied into the socket: handing the kernel the
// pages of a file that holds it instead (sendfile) moved 0.7 times as much
// corked, and 0.9 times uncorked, on the same host.
constexpr int32_t CORK_BELOW = 2048;

void cork(int sock, int on)
{
    setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// Whether a send phase of size-byte blocks on sock is corked; where the
// segment cannot be read, it is, as every phase once was.
bool corks(int sock, int32_t size)
{
    int segment = 0;
    socklen_t length = sizeof segment;
    return size < CORK_BELOW || getsockopt(sock, IPPROTO_TCP, TCP_MAXSEG, &segment, &length) != 0 || size > segment;
}

// A block of at least this size is read only as far as its end mark; the
// kernel discards the rest (MSG_TRUNC) instead of copying it, at the cost
// of a second call. Below it one copying call costs less: on loopback, a
// discarding receiver moved 0.76 times as much at 1 KiB, about as much at
// 8 KiB, and 1.4 times as much at 16 KiB.
constexpr int32_t DISCARD_FROM = 16384;

// Blocks below DISCARD_FROM are taken many to a call where many wait in
// the socket: as many whole ones as wait, up to READ_AHEAD bytes, into a
// buffer of the thread's own (the caller's is what it sends from), each
// end mark looked at where it lies. Whole blocks alone, so a call never
// takes what an honest peer sends after the closing block: nothing, or a
// control block shorter than a block. Asking what waits costs a call; where
// few wait (a sender slower than the receiver), the next PROBE_AFTER blocks
// come one to a call without asking.
constexpr int32_t READ_AHEAD = 65536;
constexpr int32_t PROBE_AFTER = 8;

// What an honest stream phase carries besides its timed seconds' worth: the
// client's lead-in (some 384 KiB acknowledged, and its send buffer
// then full), and what the sender's buffer and the path still hold when
// its alarm rings, the closing block too. On a slow link that takes long
// to cross, and a phase may take that long more, at the rate it shows, on
// links down to the slowest the tool is meant for: a sender that trickles
// slower is given up after the timed seconds and the idle limit.
constexpr int64_t PHASE_EXTRA_BYTES = 1 << 20;
constexpr int64_t SLOWEST_LINK = 5000;  // bytes per second: 40 kbit/s of goodput

// How long a receive phase may last: the timed seconds and the idle limit,
// and at a slow link the time its extra bytes take there.
struct Deadline {
    int64_t start_ms, at_ms;
    int64_t carried;  // the phase's bytes before this block; -1 for a fixed deadline
    int sock;         // whose low water is raised (see LOW_WATER_MS); -1 for none
};

// A reader of blocks of DISCARD_FROM bytes or more that sleeps in the
// socket is woken once a whole block waits (SO_RCVLOWAT), not at every
// segment. On loopback (kernel 6.18, BBR, a 2-core VM) a reader woken at
// every segment moved 0.6 to 0.7 times as much as the floor at 32 KiB,
// whose reader takes 64 KiB a call, and its sender spent a quarter of its
// core in the pacing timer; woken so, 0.85 to 1.05 times as much, and as
// much as a bare loop that reads as it does. The kernel wakes a sleeper
// only once that much is unread, so the reader must never wait for bytes
// of which fewer than that are still to come: before a block marked 0 a
// whole block more (the closing one) always comes from an honest sender,
// but once a block's mark says it closes the phase, its rest may be all,
// and every arrival wakes the reader again. So it does once the phase has
// run its timed seconds: a sender that trickles is then given up at its
// deadline, not an idle limit later.
constexpr int64_t LOW_WATER_MS = static_cast<int64_t>(MEASURE_SECONDS) * 1000;

void raise_low_water(Deadline *deadline, int sock, int32_t size)
{
    setsockopt(sock, SOL_SOCKET, SO_RCVLOWAT, &size, sizeof size);
    deadline->sock = sock;
}

void lower_low_water(Deadline *deadline)
{
    if (deadline->sock < 0)
        return;
    const int one = 1;
    setsockopt(deadline->sock, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    deadline->sock = -1;
}

// Whether bytes that crossed wait where the count of unread ones (SIOCINQ)
// does not see them: behind a loss not yet repaired, out of order. Only
// once the reader has taken all else can that be told, from the memory the
// socket still holds; where the kernel does not say, nothing is held.
bool held_out_of_order(int sock, int waiting)
{
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_RMEM_ALLOC * sizeof memory[0])
        return false;
    return waiting > 0 || memory[SK_MEMINFO_RMEM_ALLOC] != 0;
}

// Makes the cut, once the alarm has rung, with the phase's bytes read so
// far and those waiting. A cut while a loss is being repaired would leave
// out what crossed beyond it (on a dropping link, some tenth of a second's
// worth, often): it waits until the reader has caught up with all that
// arrived, which it does within a segment's time on a link slower than it,
// or until the phase ends, whose end counts all.
void cut_if_due(int sock, PhaseCut *cut, int64_t read)
{
    if (cut == nullptr || cut->made || timer_expired.load(std::memory_order_relaxed) == 0)
        return;
    int waiting = 0;
    ioctl(sock, SIOCINQ, &waiting);
    if (held_out_of_order(sock, waiting))
        return;
    cut->bytes = read + waiting;
    cut->ticks = clock_elapsed(cut->start, TICKS_PER_SECOND);
    cut->made = true;
}

// Whether the deadline has passed, now that moved more bytes of this block
// are in; it moves out first when the phase is slow.
bool past(Deadline *deadline, int32_t moved)
{
    const int64_t now = now_ms();
    if (now - deadline->start_ms > LOW_WATER_MS)
        lower_low_water(deadline);
    if (now <= deadline->at_ms)
        return false;
    if (deadline->carried < 0)
        return true;
    const int64_t rate = (deadline->carried + moved) * 1000 / std::max<int64_t>(now - deadline->start_ms, 1);
    if (rate < SLOWEST_LINK)
        return true;
    deadline->at_ms = deadline->start_ms + (static_cast<int64_t>(MEASURE_SECONDS) + IDLE_SECONDS) * 1000 +
                      PHASE_EXTRA_BYTES * 1000 / rate;
    return now > deadline->at_ms;
}

// A block resumed after a partial transfer or an interrupted call, copied
// into buf, or with discard its first byte alone, the end mark, and the
// rest dropped in the kernel: each call takes no more than the block holds,
// so the next block's mark is never dropped with it.
BlockResult recv_pieces(int sock, char *buf, int32_t size, Deadline *deadline, bool discard, PhaseCut *cut = nullptr)
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
        if (mark && buf[0] != 0)
            lower_low_water(deadline);
        moved += static_cast<int32_t>(result);
        cut_if_due(sock, cut, deadline->carried + moved);
        // a sender that trickles a byte now and then never meets the idle limit
        if (past(deadline, moved)) {
            errno = ETIMEDOUT;
            perror("recv()");
            return BLOCK_FAILED;
        }
    }
    return BLOCK_MOVED;
}

// A receive phase of blocks below DISCARD_FROM (see READ_AHEAD).
int recv_small_blocks(int sock, int32_t size, int64_t *bytes, PhaseCut *cut, Deadline *deadline)
{
    static thread_local char in[READ_AHEAD];
    const int32_t most = READ_AHEAD / size;
    for (int32_t unasked = 0;;) {
        int32_t blocks = 1;
        if (unasked > 0) {
            --unasked;
        } else if (size > static_cast<int32_t>(CONTROL_SIZE)) {
            int waiting = 0;
            ioctl(sock, SIOCINQ, &waiting);
            blocks = std::clamp(waiting / size, 1, most);
            unasked = blocks == 1 ? PROBE_AFTER : 0;
        }
        deadline->carried = *bytes;
        if (recv_pieces(sock, in, blocks * size, deadline, false, cut) != BLOCK_MOVED) {
            *bytes += size;
            return -1;
        }
        bool closed = false;
        for (int32_t at = 0; at < blocks * size && !closed; at += size) {
            *bytes += size;
            closed = in[at] != 0;
        }
        if (closed)
            return 0;
    }
}

}  // namespace

BlockResult send_block(int sock, const char *buf, int32_t size)
{
    for (int32_t moved = 0; moved < size;) {
        const ssize_t result = send(sock, buf + moved, static_cast<size_t>(size - moved), MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR)  // the phase alarm; finish the block
                continue;
            // The label names the call as people who read the error know it.
            perror("send()");
            return BLOCK_FAILED;
        }
        moved += static_cast<int32_t>(result);
    }
    return BLOCK_MOVED;
}

BlockResult recv_block(int sock, char *buf, int32_t size, int64_t deadline_ms)
{
    Deadline deadline = {0, deadline_ms, -1, -1};
    return recv_pieces(sock, buf, size, &deadline, false);
}

int send_stream_phase(int sock, char *buf, int32_t size, int64_t *blocks)
{
    *blocks = 0;
    buf[0] = 0;
    const bool corked = corks(sock, size);
    if (corked)
        cork(sock, 1);
    int failed = 0;
    while (timer_expired.load(std::memory_order_relaxed) == 0) {
        if (send_block(sock, buf, size) != BLOCK_MOVED) {
            failed = -1;  // a stream that failed once stays failed
            break;
        }
        ++*blocks;
    }
    if (corked)
        cork(sock, 0);
    return failed;
}

int recv_stream_phase(int sock, char *buf, int32_t size, int64_t *bytes, PhaseCut *cut)
{
    const int64_t start = now_ms();
    Deadline deadline = {start, start + (static_cast<int64_t>(MEASURE_SECONDS) + IDLE_SECONDS) * 1000, 0, -1};
    *bytes = 0;
    if (size < DISCARD_FROM)
        return recv_small_blocks(sock, size, bytes, cut, &deadline);
    raise_low_water(&deadline, sock, size);
    BlockResult result;
    do {
        deadline.carried = *bytes;
        result = recv_pieces(sock, buf, size, &deadline, true, cut);
        *bytes += size;
    } while (result == BLOCK_MOVED && buf[0] == 0);
    lower_low_water(&deadline);  // a phase that failed; the control blocks that follow are shorter
    return result == BLOCK_MOVED ? 0 : -1;
}

int send_closing_block(int sock, char *buf, int32_t size)
{
    buf[0] = 1;  // the receiver stops on the first block not marked 0
    return send_block(sock, buf, size) == BLOCK_MOVED ? 0 : -1;
}
