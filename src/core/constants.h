// core/constants.h -- the numbers that every part of a run agrees on
#pragma once

#include <cstdint>

#ifndef TARVO_MEASURE_SECONDS
#define TARVO_MEASURE_SECONDS 6  // a test-only build shortens the phase
#endif
#ifndef TARVO_IDLE_SECONDS
#define TARVO_IDLE_SECONDS 60  // and the idle limit
#endif
#ifndef TARVO_TURN_WAIT_SECONDS
#define TARVO_TURN_WAIT_SECONDS 600  // and a client's wait for its turn
#endif

constexpr int32_t BUFFER_SIZE = 65536;      // test buffer, datagram receive, largest block
constexpr int SOCKET_BUFFER_SIZE = 131072;  // SO_RCVBUF and SO_SNDBUF of every socket
constexpr unsigned MEASURE_SECONDS = TARVO_MEASURE_SECONDS;
// The longest a connection may keep the other side waiting for its next
// byte, or for room to send: an honest peer never comes near it (a phase
// lasts MEASURE_SECONDS), a silent or vanished one is given up after it.
constexpr int IDLE_SECONDS = TARVO_IDLE_SECONDS;
static_assert(IDLE_SECONDS > static_cast<int>(MEASURE_SECONDS), "an honest phase must fit the idle limit");
// How long a client waits behind another client's run before it gives up.
constexpr int TURN_WAIT_SECONDS = TARVO_TURN_WAIT_SECONDS;
static_assert(TURN_WAIT_SECONDS > IDLE_SECONDS, "a client waits its turn longer than a peer may stay silent");
constexpr int32_t TICKS_PER_SECOND = 1024;  // one tick is 1/1024 second
