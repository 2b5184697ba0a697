// app/settings.cc -- the run settings
#include "app/settings.h"

#include <algorithm>

#include "core/measure.h"
#include "udp/datagram.h"

namespace {
constexpr int32_t DEFAULT_BLOCK_SIZES[MAX_BLOCK_SIZES] = {1024, 2048, 4096, 8192, 16384, 32767};
}

int32_t block_sizes[MAX_BLOCK_SIZES] = {1024, 2048, 4096, 8192, 16384, 32767};
unsigned nblock_sizes = MAX_BLOCK_SIZES;
int32_t tcp_port = DEFAULT_TCP_PORT;
int32_t udp_port = DEFAULT_TCP_PORT + 1;
Endpoint bind_addr;
Endpoint server_addrs[MAX_SERVER_ADDRESSES];
unsigned nserver_addrs = 0;
bool opt_server = false;
bool opt_tcp = false;
bool opt_udp = false;

void reset_settings()
{
    std::copy(std::begin(DEFAULT_BLOCK_SIZES), std::end(DEFAULT_BLOCK_SIZES), block_sizes);
    nblock_sizes = MAX_BLOCK_SIZES;
    tcp_port = DEFAULT_TCP_PORT;
    udp_port = DEFAULT_TCP_PORT + 1;
    bind_addr = Endpoint();
    std::fill(std::begin(server_addrs), std::end(server_addrs), Endpoint());
    nserver_addrs = 0;
    opt_server = opt_tcp = opt_udp = false;
    timer_expired = 0;
    reset_datagram_state();
}
