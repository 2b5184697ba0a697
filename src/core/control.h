// core/control.h -- the 8-byte control block and its one-call transfers
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/settings.h"

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

// One send call: 0 when all len bytes went, 1 for a short send, -1 (reported
// with perror) for an error. An interrupted call that moved nothing is made again.
int send_once(int sock, const void *buf, size_t len, int flags);

// One recv call: 0 when it delivered exactly len bytes, else 1; no message.
// A control block split over two reads therefore fails.
int recv_once(int sock, void *buf, size_t len, int flags);

// A control block converted to network byte order and sent with send_once.
int send_control(int sock, uint32_t cmd, uint32_t data);

// A control block received with recv_once and converted to host byte order.
int recv_control(int sock, CONTROL *ctl);

// A block size that fits the test buffer and the block loops.
inline bool valid_block_size(uint32_t size)
{
    return size >= 1 && size <= static_cast<uint32_t>(BUFFER_SIZE);
}
