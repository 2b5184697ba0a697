// core/block.h -- moving whole blocks through a socket, and the timed phases built on them
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

// One block of size bytes, resumed after a partial transfer or an
// interrupted call. With a destination the block goes out by sendto, as one
// datagram. Returns the result of the last call: negative after an error
// (reported with perror), 0 from recv when the peer has closed.
ssize_t send_block(int sock, const char *buf, int32_t size, const sockaddr_in *dest = nullptr);
ssize_t recv_block(int sock, char *buf, int32_t size);

// A timed send phase: blocks whose end mark is 0, the first one and every
// next one only while timer_expired is 0. On a stream (no destination) an
// error is final: the phase stops and *failed is set; the failed block does
// not count. A datagram that fails still counts, and the phase goes on.
// Returns the number of blocks sent.
uint64_t send_phase(int sock, char *buf, int32_t size, const sockaddr_in *dest, bool *failed);

// A receive phase: whole blocks until one whose end mark is not 0, which
// counts too. Returns the bytes received, size for every block begun;
// *complete tells whether the closing block arrived before an error or the
// end of the stream.
int64_t recv_phase(int sock, char *buf, int32_t size, bool *complete);

// The block with end mark 1 that ends a phase. 0 when it went whole.
int send_closing_block(int sock, char *buf, int32_t size);
