// core/progress.cc -- the lines that tell how a run goes
#include "core/progress.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "core/measure.h"

namespace {

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

}  // namespace

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

void say_packet_size(int32_t size)
{
    printf("Packet size %s bytes: ", format_size(size));
    fflush(stdout);
}

void say_listening(const char *protocol)
{
    printf("%s server listening.\n", protocol);
    fflush(stdout);
}

void say_established(const char *protocol, const sockaddr_in &peer)
{
    if (journal) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
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
