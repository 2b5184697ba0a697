// core/progress.cc -- every text of standard output
#include "core/progress.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char USAGE_TEXT[] =
    "\nUsage: tarvo [options] [<server>]\n\n"
    "  -s            run server side of benchmark (otherwise run client)\n"
    "  -b <size>[k]  use this block size (otherwise run with 1,2,4,8,16 and 32k)\n\n"
    "  -t            use TCP protocol for benchmark\n"
    "  -u            use UDP protocol for benchmark\n"
    "  -h <addr>     bind TCP and UDP servers to this local host address/name only\n"
    "                (default is to bind to all local addresses)\n"
    "  -p <port>     bind TCP and UDP servers to this port (default is %d)\n\n"
    "  <server>      If the client side of the benchmark is running,\n"
    "                a server name or address is required.\n\n"
    "The server side can run either TCP (-t) or UDP (-u) protocol or both\n"
    "(default, if neither -t or -u is specified). The client runs one of\n"
    "these protocols only (must specify -t or -u).\n\n";

bool journal = false;  // set once at start, read by every thread

// The size label without the padding that lines up a terminal's columns.
const char *bare_size(int32_t size)
{
    const char *label = format_size(size);
    while (*label == ' ')
        ++label;
    return label;
}

// A phase's line: "\nReceiving from client, ... " on a terminal, a whole
// "UDP receiving from client, ..." line in the journal.
void say_phase(const char *protocol, const char *what, const char *what_in_journal, int32_t size)
{
    if (journal)
        printf("%s %s, packet size %s.\n", protocol, what_in_journal, bare_size(size));
    else
        printf("\n%s, packet size %s ... ", what, format_size(size));
    fflush(stdout);
}

// The tick count that the clock gives when it failed. The clock is
// monotonic and a phase far shorter than the 24 days after which 32 bits of
// ticks wrap, so it never should; but a figure built on a failed clock must
// say so rather than pass for a measurement.
void check_elapsed(int32_t ticks)
{
    if (ticks == -1)
        fputs(" (failed)", stdout);
}

void say_figure(int64_t bytes, int32_t ticks, long loss)
{
    check_elapsed(ticks);
    char rate[32];
    format_rate(rate, sizeof rate, bytes, ticks);
    fputs(rate, stdout);
    if (loss != NO_LOSS)
        printf(" (%ld%%)", loss);
}

}  // namespace

const char *format_size(int32_t size)
{
    // per thread: the TCP and the UDP server label their phases at the same time
    thread_local char label[16];
    // in 64 bits: a size from the network may be any 32-bit value
    const int64_t wide = size;
    if (wide % 1024 == 0 || wide % 1024 == 1023)
        snprintf(label, sizeof label, "%2ldk", static_cast<long>((wide + 512) / 1024));
    else
        snprintf(label, sizeof label, "%d", size);
    return label;
}

void format_rate(char *out, size_t len, int64_t bytes, int32_t ticks)
{
    // Ticks come from the monotonic clock, so they are never negative, and
    // every phase ends within its length and the idle limit, far below the
    // 24 days after which 32 bits of ticks would wrap. 0 ticks is a phase
    // shorter than one tick.
    const int64_t per = ticks > 0 ? ticks : 1;
    if (bytes > 614399)
        snprintf(out, len, " %ld KByte/s", static_cast<long>(static_cast<int32_t>(bytes / per)));
    else
        snprintf(out, len, " %ld Byte/s", static_cast<long>(static_cast<int32_t>(bytes * 1024 / per)));
}

bool stdout_is_journal()
{
    const char *stream = getenv("JOURNAL_STREAM");
    struct stat out;
    unsigned long dev = 0, ino = 0;
    if (stream == nullptr || sscanf(stream, "%lu:%lu", &dev, &ino) != 2 || fstat(1, &out) != 0)
        return false;
    return out.st_dev == dev && out.st_ino == ino;
}

void use_journal_lines(bool on)
{
    journal = on;
}

bool journal_lines()
{
    return journal;
}

void say_banner(const char *version)
{
    // the journal has no use for blank lines
    printf(journal ? "TARVO - Network Throughput Benchmark, Version %s\n"
                   : "\nTARVO - Network Throughput Benchmark, Version %s\n",
           version);
}

void say_usage(int32_t tcp_port)
{
    printf(USAGE_TEXT, tcp_port);
}

void say_no_thread()
{
    puts("Cannot create additional thread.");
}

void say_connected(const char *protocol)
{
    printf("\n%s connection established.\n", protocol);
}

void say_packet_size(int32_t size)
{
    printf("Packet size %s bytes: ", format_size(size));
    fflush(stdout);
}

void say_tx(int64_t bytes, int32_t ticks, long loss)
{
    say_figure(bytes, ticks, loss);
    fputs(" Tx, ", stdout);
    fflush(stdout);
}

void say_rx(int64_t bytes, int32_t ticks, long loss)
{
    say_figure(bytes, ticks, loss);
    puts(" Rx.");
}

void say_waiting_turn()
{
    fputs("the server is busy with another client; waiting\n", stderr);
}

void say_client_done()
{
    puts("Done.");
}

void say_run_over()
{
    putchar('\n');
}

void say_server_start()
{
    if (!journal)
        putchar('\n');
}

void say_listening(const char *protocol)
{
    printf("%s server listening.\n", protocol);
    fflush(stdout);
}

void say_established(const char *protocol, const Endpoint &peer)
{
    if (journal) {
        char addr[ADDRESS_TEXT_SIZE];
        format_address(peer, addr, sizeof addr);
        printf("%s connection established with %s.\n", protocol, addr);
    } else {
        printf("%s connection established ... ", protocol);
    }
    fflush(stdout);
}

void say_receiving(const char *protocol, int32_t size)
{
    say_phase(protocol, "Receiving from client", "receiving from client", size);
}

void say_sending(const char *protocol, int32_t size)
{
    say_phase(protocol, "Sending to client", "sending to client", size);
}

void say_done(const char *protocol)
{
    if (journal)
        printf("%s done.\n", protocol);
    else
        puts("\nDone.");
    fflush(stdout);
}
