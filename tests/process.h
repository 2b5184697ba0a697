// tests/process.h -- starts the real tarvo binary, reads what it prints, always reaps it
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/sock.h"

std::string read_file(const std::string &path);

// A child process whose standard output and error go to memory files of its
// own, so that no test leaves a file behind; the destructor kills it (by its
// PID) if it still runs, and reaps it.
class Process {
public:
    Process(const std::string &binary, const std::vector<std::string> &args);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // read afresh from the start, through the descriptor's name
    std::string out() const { return read_file("/proc/self/fd/" + std::to_string(out_fd_)); }
    std::string err() const { return read_file("/proc/self/fd/" + std::to_string(err_fd_)); }

    // The exit status, or -1 when it has not ended within seconds (it is then
    // left running), or 128 + the signal number when a signal ended it.
    int wait(double seconds);
    // Waits until the standard output holds text `count` times.
    bool wait_for_output(const std::string &text, double seconds, int count = 1) const;
    void signal(int sig) const
    {
        if (pid_ > 0)  // never -1: that would signal every process
            ::kill(pid_, sig);
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int out_fd_, err_fd_;
};

extern const std::string BANNER;  // what every tarvo prints first

// The calling thread refuses SIGALRM, so that the phase alarm lands elsewhere.
void block_alarm();

// Seconds on the monotonic clock.
inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Asks ready() every 10 ms for up to seconds; true once it says yes.
template <class Ready> bool within(double seconds, Ready ready)
{
    for (const double end = now() + seconds;; usleep(10000)) {
        if (ready())
            return true;
        if (now() > end)
            return false;
    }
}

int count_of(const std::string &text, const std::string &part);

// Whether text has the form given: in the form, '#' stands for one or more
// digits, '@' for "Byte/s" or "KByte/s", '*' for any text; all else is literal.
bool matches_form(const std::string &text, const std::string &form);

// A random port p for a server on addr: TCP p and p + 1 and UDP p + 1 are free.
int32_t free_port(const char *addr = "127.0.0.1");

// A listening tarvo server of the test-only build on addr, ready to serve.
struct Server {
    explicit Server(const std::vector<std::string> &mode = {"-s", "-t"}, const char *addr = "127.0.0.1",
                    const char *binary = TARVO_FAST_BIN);
    int32_t port;
    Process proc;
};

inline sockaddr_in address(const char *addr, int32_t port)  // a dotted address
{
    return make_address(inet_addr(addr), port);
}
Endpoint endpoint(const char *addr, int32_t port);  // a dotted or an IPv6 address

// A stream socket connected to addr:port (optionally from a given source
// address), with a receive timeout so that no test waits for ever.
int connect_tcp(const char *addr, int32_t port, const char *source = nullptr);
