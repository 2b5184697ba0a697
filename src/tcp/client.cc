// tcp/client.cc -- measures TCP throughput to and from a server
#include "tcp/client.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/settings.h"
#include "core/block.h"
#include "core/control.h"
#include "core/measure.h"
#include "core/sock.h"

namespace {

// One result line. Returns non-zero when the conversation cannot go on;
// *whole is cleared when a phase ended early.
int measure_size(int sock, char *buf, int32_t size, bool *whole)
{
    printf("Packet size %s bytes: ", format_size(size));
    fflush(stdout);
    if (send_control(sock, CMD_C2S, static_cast<uint32_t>(size)) != 0)
        return 1;

    // Tx: 6 seconds of blocks; the closing block goes outside the measured time
    timespec start;
    start_timer(MEASURE_SECONDS);
    clock_start(&start);
    bool failed = false;
    const int64_t sent = static_cast<int64_t>(send_phase(sock, buf, size, nullptr, &failed)) * size;
    int32_t ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    report_rate(sent, ticks);
    printf(" Tx, ");
    fflush(stdout);
    if (failed || send_closing_block(sock, buf, size) != 0)
        return 1;

    // Rx: from the request to the server's closing block, which counts
    if (send_control(sock, CMD_S2C, static_cast<uint32_t>(size)) != 0)
        return 1;
    clock_start(&start);
    bool complete = false;
    const int64_t received = recv_phase(sock, buf, size, &complete);
    ticks = clock_elapsed(start, TICKS_PER_SECOND);
    check_elapsed(ticks);
    report_rate(received, ticks);
    puts(" Rx.");
    if (!complete)
        *whole = false;  // the server went: the next size will tell
    return 0;
}

}  // namespace

int tcp_client()
{
    char *buf = init_buffer(BUFFER_SIZE);
    if (buf == nullptr) {
        perror("malloc()");
        return 1;
    }
    int sock = connect_to(server_addr, tcp_port);
    if (sock < 0) {
        free(buf);
        return 1;
    }
    puts("\nTCP connection established.");

    bool whole = true;
    for (unsigned i = 0; i < nblock_sizes; ++i) {
        if (measure_size(sock, buf, block_sizes[i], &whole) != 0) {
            whole = false;
            break;
        }
    }

    send_control(sock, CMD_QUIT, 0);  // the run ends whatever its fate
    puts("Done.");
    close(sock);
    free(buf);
    return whole ? 0 : 1;
}
