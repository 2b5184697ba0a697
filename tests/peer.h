// tests/peer.h -- test clients of the test's own that speak the wire protocol
#pragma once

#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "core/control.h"
#include "process.h"

// The test buffer as every tarvo fills it.
const std::vector<char> &pattern();

// The first two fail the test when a block does not go whole. The loops are
// the program's own, which resume after an interrupted call (an in-process
// server's alarm may land on a test thread).
void send_raw(int sock, uint32_t cmd, uint32_t data);                     // one control block, in one send
void send_blocks(int sock, int32_t size, int blocks, char mark_of_last);  // a client's send phase
bool read_whole(int sock, char *buf, int32_t size);

// Asks a TCP server to send and checks its stream: whole blocks of the test
// data, marks 0 then one 1, nothing after. The number of blocks, the last too.
long receive_phase(int sock, int32_t size);

// Reads what the server sends until it ends the connection (or resets it):
// the number of bytes before the end, or -1 when it did not end within
// seconds, or sent nothing for quiet seconds.
long read_until_closed(int sock, double seconds, double quiet);

// The server has ended the connection within seconds, without a byte; the
// default is well below the test build's 3-second idle limit.
inline bool closed_by_server(int sock, double seconds = 1.5)
{
    return read_until_closed(sock, seconds, seconds) == 0;
}

// Closes with a reset rather than an orderly end.
void reset(int sock);

// Whole conversations with one size each way, checked as they go.
void tcp_conversation(const char *addr, int32_t port);
void udp_conversation(int32_t udp_port);

struct SendPhase {
    CONTROL reply = {};
    long datagrams = 0;
    bool well_formed = true;  // every datagram of the announced size, end mark 0, from the server's port
};

// A UDP benchmark client of the test's own, on 127.0.0.2, for a server on 127.0.0.1.
struct UdpPeer {
    explicit UdpPeer(int32_t udp_port);
    ~UdpPeer()
    {
        close(ctl);
        close(dgram);
    }
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    void send_raw(uint32_t cmd, uint32_t data) const { ::send_raw(ctl, cmd, data); }
    CONTROL ask(uint32_t cmd, uint32_t data) const;
    void send_datagrams(int count, int size) const;
    // Asks the server to send and takes its datagrams until its reply.
    SendPhase receive(uint32_t size) const;
    bool closed_by_server(double seconds = 1.5) const { return ::closed_by_server(ctl, seconds); }

    int32_t udp_port;
    int dgram;
    int ctl;
};

// A whole, honest conversation with a server of the test-only build on
// 127.0.0.1, which must succeed after whatever went before; the server must
// say "Done." for it.
enum Protocol { TCP, UDP };
void conversation(const Server &server, Protocol protocol);
