// core/session.h -- the shape both benchmarks share: a client's walk through
// the block sizes, and a service that serves one client after another
#pragma once

#include <netinet/in.h>

#include <cstdint>

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

// Whom a client run talks to, and how; run_client fills in the last two.
struct ClientRun {
    const char *protocol;     // "TCP" or "UDP", for the connection line
    sockaddr_in server;       // the address and port of the server's control service
    uint32_t source;          // the local address to connect from; INADDR_ANY: the one the route picks
    int datagrams;            // a UDP run's datagram socket; -1 in a TCP run
    int control = -1;         // the connection to the server; a TCP run's data flows on it too
    bool first_size = false;  // the run's first size: nothing has crossed the connection yet
};
using measure_fn = SizeResult (*)(const ClientRun &run, char *buf, int32_t size);

// Connects to the server, says "<protocol> connection established.",
// measures each of the count sizes, then quits and says "Done.". Returns the
// run's exit status: 0 when every size was measured whole, 1 when the run
// failed or ended early.
int run_client(ClientRun run, const int32_t *sizes, unsigned count, measure_fn measure);

// Answers one client's control blocks on conn until the conversation ends;
// port is the service's own.
using serve_fn = void (*)(int conn, char *buf, const sockaddr_in &peer, int32_t port);

// A service thread's life: its test buffer and its listener on local, then
// one client after another, for ever, unless the listener fails.
void run_service(const char *protocol, const sockaddr_in &local, const char *socket_label, const char *bind_label,
                 serve_fn serve);
