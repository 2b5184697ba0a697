// tcp/turn.cc -- a client's wait for its turn at a server busy with another client
#include "tcp/turn.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/block.h"
#include "core/constants.h"
#include "core/measure.h"
#include "core/progress.h"
#include "core/sock.h"

namespace {

// More than a server's host can take for it unread: its receive buffer,
// which Linux makes twice what the server asks for, and one more segment
// that may overshoot it (measured: 257 to 259 KiB on loopback), with half a
// buffer to spare. Once more than this has been acknowledged, the server is
// reading.
constexpr uint64_t UNREAD_AT_MOST = 3 * static_cast<uint64_t>(SOCKET_BUFFER_SIZE);
constexpr int32_t UNSENT_AT_MOST = 65536;

// The kernel's own bound on unanswered data, raised for the wait: it would
// otherwise give up a window shut for the idle limit, however the peer answers.
void set_user_timeout(int sock, unsigned int ms)
{
    setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
}

}  // namespace

// tcpi_snd_wnd came last of the fields that the wait reads
static_assert(offsetof(tcp_info, tcpi_notsent_bytes) < offsetof(tcp_info, tcpi_snd_wnd) &&
              offsetof(tcp_info, tcpi_bytes_acked) < offsetof(tcp_info, tcpi_snd_wnd) &&
              offsetof(tcp_info, tcpi_probes) < offsetof(tcp_info, tcpi_snd_wnd));

bool turn_visible(int filled)
{
    return TCP_INFO_HOLDS(filled, tcpi_snd_wnd);
}

int wait_turn(int sock, char *buf, int32_t size)
{
    tcp_info info;
    const int filled = read_tcp_info(sock, &info);
    if (filled < 0) {
        perror("getsockopt()");
        return -1;
    }
    if (!turn_visible(filled))
        return 0;
    const uint64_t acked_at_start = info.tcpi_bytes_acked;
    const int64_t give_up = now_ms() + TURN_WAIT_SECONDS * 1000LL;
    int64_t answered = now_ms();
    bool waiting = false;
    // Enough waits to go that small blocks join into full segments, and so
    // little that a send hardly ever blocks.
    const auto unsent_at_most = static_cast<uint32_t>(std::max<int32_t>(size, UNSENT_AT_MOST));
    buf[0] = 0;
    // The right edge of the server's window, what its host has taken and
    // offers to take, stays within what it could hold unread while the
    // server does not read; while it reads, the edge moves on with every
    // acknowledgement, and passes that some hundred KiB sooner than the
    // acknowledged bytes alone would, which on a slow link is many seconds.
    while (info.tcpi_bytes_acked - acked_at_start + info.tcpi_snd_wnd <= UNREAD_AT_MOST) {
        const int64_t now = now_ms();
        if (info.tcpi_snd_wnd == 0 && info.tcpi_notsent_bytes > 0) {
            // The window is shut. A peer that answers has its probes
            // acknowledged, which sets their count back to 0.
            if (!waiting) {
                say_waiting_turn();
                set_user_timeout(sock, (TURN_WAIT_SECONDS + IDLE_SECONDS) * 1000U);
                waiting = true;
            }
            if (info.tcpi_probes == 0)
                answered = now;
            if (now - answered > IDLE_SECONDS * 1000LL || now > give_up) {
                errno = ETIMEDOUT;
                perror("send()");
                return -1;
            }
        } else if (info.tcpi_notsent_bytes < unsent_at_most) {
            if (send_block(sock, buf, size) != BLOCK_MOVED)
                return -1;
        }
        // a pause while there is nothing to do
        const timespec pause = {0, 1000000};
        if ((waiting || info.tcpi_notsent_bytes >= unsent_at_most) && nap_unless_failed(sock, pause) != 0) {
            perror("send()");
            return -1;
        }
        if (read_tcp_info(sock, &info) < 0) {
            perror("getsockopt()");
            return -1;
        }
    }
    if (waiting)
        set_idle_limit(sock);
    return 0;
}
