// core/shared.cc -- the state that threads and signal handlers share
#include "core/shared.h"

std::atomic<int> udp_ready{UDP_SETTING_UP};
std::atomic<int> udp_sock{-1};
std::atomic<uint32_t> udp_rx_count{0};
std::atomic<int64_t> udp_rx_bytes{0};
std::atomic<int> timer_expired{0};

void reset_shared_state()
{
    udp_ready = UDP_SETTING_UP;
    udp_sock = -1;
    udp_rx_count = 0;
    udp_rx_bytes = 0;
    timer_expired = 0;
}
