// core/session.h -- the shape both benchmarks share: a client's walk through
// the block sizes, and a service that serves one client after another
#pragma once

#include <cstdint>

#include "core/sock.h"

// How one block size of a client run went; its result line is printed.
enum SizeResult {
    SIZE_MEASURED,          // both phases whole
    SIZE_CUT_SHORT,         // a phase ended early, but the next size may be tried
    SIZE_CONVERSATION_OVER  // the connection cannot go on
};
// The exit status of a process that could not make a thread it needs.
constexpr int STATUS_NO_THREAD = 2;

// Starts a detached thread running entry(arg): 0, or -1 after saying that it
// could not be made. Threads are never joined.
int start_thread(void *(*entry)(void *), void *arg);

// The most addresses of a server name that a client tries.
constexpr unsigned MAX_SERVER_ADDRESSES = 16;

// Whom a client run talks to, and how; run_client fills in the last three.
struct ClientRun {
    const char *protocol;     // "TCP" or "UDP", for the connection line
    const Endpoint *servers;  // the server's addresses, to be tried in this order
    unsigned nservers;        // 1 to MAX_SERVER_ADDRESSES
    int32_t port;             // the port of the server's control service
    Endpoint source;          // the local address to connect from; of no family: the one the route picks
    int datagrams;            // a UDP run's datagram socket; -1 in a TCP run
    Endpoint server = {};     // the address and port that the connection reached
    int control = -1;         // the connection to the server; a TCP run's data flows on it too
    bool first_size = false;  // the run's first size: nothing has crossed the connection yet
};
using measure_fn = SizeResult (*)(const ClientRun &run, char *buf, int32_t size);

// Connects to the first of the server's addresses that answers, says "<protocol> connection established.",
// measures each of the count sizes, then quits and says "Done.". Returns the
// run's exit status: 0 when every size was measured whole, 1 when the run
// failed or ended early.
int run_client(ClientRun run, const int32_t *sizes, unsigned count, measure_fn measure);

// Answers one client's control blocks on conn until the conversation ends;
// port is the service's own.
using serve_fn = void (*)(int conn, char *buf, const Endpoint &peer, int32_t port);

// A service thread's life: its test buffer and its listener on local, then
// one client after another, for ever, unless the listener fails.
void run_service(const char *protocol, const Endpoint &local, const char *socket_label, const char *bind_label,
                 serve_fn serve);
