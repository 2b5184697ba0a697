// core/control.cc -- sends and receives control blocks
#include "core/control.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int send_once(int sock, const void *buf, size_t len, int flags)
{
    ssize_t sent;
    // MSG_NOSIGNAL: a peer that has gone is an error to report, not a broken-pipe death
    do
        sent = send(sock, buf, len, flags | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        perror("send()");
        return -1;
    }
    return static_cast<size_t>(sent) == len ? 0 : 1;
}

int recv_once(int sock, void *buf, size_t len, int flags)
{
    ssize_t got;
    do
        got = recv(sock, buf, len, flags);
    while (got < 0 && errno == EINTR);
    return got >= 0 && static_cast<size_t>(got) == len ? 0 : 1;
}

int send_control(int sock, uint32_t cmd, uint32_t data)
{
    const uint32_t words[2] = {htonl(cmd), htonl(data)};
    return send_once(sock, words, CONTROL_SIZE, 0) == 0 ? 0 : -1;
}

int recv_control(int sock, CONTROL *ctl)
{
    uint32_t words[2];
    if (recv_once(sock, words, CONTROL_SIZE, 0) != 0)
        return -1;
    ctl->cmd = ntohl(words[0]);
    ctl->data = ntohl(words[1]);
    return 0;
}
