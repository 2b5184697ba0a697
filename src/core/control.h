// core/control.h -- the 8-byte control block and its one-call transfers
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/constants.h"

// Both words travel big-endian; CONTROL holds them in host order.
struct CONTROL {
    uint32_t cmd;
    uint32_t data;  // block size; in a reply to CMD_RES, a count of datagrams
};
constexpr size_t CONTROL_SIZE = 8;

constexpr uint32_t CMD_QUIT = 0;
constexpr uint32_t CMD_C2S = 1;
constexpr uint32_t CMD_S2C = 2;
constexpr uint32_t CMD_RES = 3;

// The one-call transfers of the protocol. They alone tell more than success
// from failure: send_once returns 0 when all len bytes went, 1 for a short
// send, -1 (reported with perror) for an error; recv_once returns 0 when one
// call delivered exactly len bytes, else 1, with no message, so a control
// block split over two reads fails. An interrupted call is made again.
int send_once(int sock, const void *buf, size_t len, int flags);
int recv_once(int sock, void *buf, size_t len, int flags);

// A control block converted to network byte order and sent with send_once;
// 0, or -1 when it did not go whole.
int send_control(int sock, uint32_t cmd, uint32_t data);

// A control block received with recv_once and converted to host byte order;
// 0, or -1 when none arrived whole.
int recv_control(int sock, CONTROL *ctl);

// A block size that fits the test buffer and the block loops.
inline bool valid_block_size(uint32_t size)
{
    return size >= 1 && size <= static_cast<uint32_t>(BUFFER_SIZE);
}
