// tcp/turn.h -- a client's wait for its turn at a server busy with another client
#pragma once

#include <cstdint>

#include "core/constants.h"

// Before the first timed phase of a connection, after its CMD_C2S: blocks of
// end mark 0, which the server swallows uncounted like any block of the
// phase, until the server is seen to read them. A server that serves another
// client reads nothing: its host takes what its receive buffer holds, then
// shuts the window, and goes on answering while it stays shut. Then this
// says once on standard error that the client waits, and waits up to
// TURN_WAIT_SECONDS, so that the client's phase and clock start only when
// the server takes its data. A peer that stops answering is given up after
// IDLE_SECONDS, as elsewhere. 0, or -1 after a reported failure.
// A kernel whose tcp_info lacks the window's state (before 5.4) cannot show
// that: the phase then starts at once, as it would at a free server.
int wait_turn(int sock, char *buf, int32_t size);

// Whether filled bytes of the kernel's tcp_info show what wait_turn reads.
bool turn_visible(int filled);
