// tests/process.cc -- child processes and sockets for the tests
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // a false one of libstdc++'s regex, under the sanitizers
#include <regex>
#pragma GCC diagnostic pop
#include <stdexcept>

const std::string BANNER = "\nTARVO - Network Throughput Benchmark, Version " TARVO_VERSION "\n";

void block_alarm()
{
    sigset_t alarm_set;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_set, nullptr);
}

static bool can_bind(const char *addr, int32_t port, int type)
{
    const Endpoint sa = endpoint(addr, port);
    int sock = socket(sa.family(), type, 0);
    bool ok = bind(sock, &sa.sa, sa.length()) == 0;
    close(sock);
    return ok;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int count_of(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

bool matches_form(const std::string &text, const std::string &form)
{
    std::string pattern;
    for (char c : form) {
        if (c == '#')
            pattern += "[0-9]+";
        else if (c == '@')
            pattern += "K?Byte/s";
        else if (c == '*')
            pattern += "[\\s\\S]*";
        else
            pattern += std::string(strchr(".^$|()[]{}+?\\", c) != nullptr ? "\\" : "") + c;
    }
    return std::regex_match(text, std::regex(pattern, std::regex::ECMAScript));
}

Process::Process(const std::string &binary, const std::vector<std::string> &args)
    : out_fd_(memfd_create("tarvo-out", MFD_CLOEXEC)), err_fd_(memfd_create("tarvo-err", MFD_CLOEXEC))
{
    std::vector<char *> argv = {const_cast<char *>(binary.c_str())};
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out_fd_, 1);
        dup2(err_fd_, 2);
        execvp(binary.c_str(), argv.data());  // a binary without a slash is looked up in PATH
        _exit(127);
    }
}

Process::~Process()
{
    signal(SIGKILL);
    wait(10);
    close(out_fd_);
    close(err_fd_);
}

int Process::wait(double seconds)
{
    const bool ended = pid_ < 0 || within(seconds, [this] {
                           int raw;
                           if (waitpid(pid_, &raw, WNOHANG) != pid_)
                               return false;
                           pid_ = -1;
                           status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                           return true;
                       });
    return ended ? status_ : -1;
}

bool Process::wait_for_output(const std::string &text, double seconds, int count) const
{
    return within(seconds, [&] { return count_of(out(), text) >= count; });
}

int32_t free_port(const char *addr)
{
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int tries = 0; tries < 200; ++tries) {
        auto port = static_cast<int32_t>(20000 + 2 * (pick() % 20000));
        if (can_bind(addr, port, SOCK_STREAM) && can_bind(addr, port + 1, SOCK_STREAM) &&
            can_bind(addr, port + 1, SOCK_DGRAM))
            return port;
    }
    throw std::runtime_error("no free port");
}

Server::Server(const std::vector<std::string> &mode, const char *addr, const char *binary)
    : port(free_port(addr)), proc(binary, [&] {
          std::vector<std::string> args = mode;
          args.insert(args.end(), {"-h", addr, "-p", std::to_string(port)});
          return args;
      }())
{
    const auto services = std::count(mode.begin(), mode.end(), "-t") + std::count(mode.begin(), mode.end(), "-u");
    if (!proc.wait_for_output("server listening.", 10, services == 0 ? 2 : static_cast<int>(services)))
        throw std::runtime_error("server did not start: " + proc.out() + proc.err());
}

Endpoint endpoint(const char *addr, int32_t port)
{
    sockaddr_in6 v6 = {};
    if (inet_pton(AF_INET6, addr, &v6.sin6_addr) != 1)
        return address(addr, port);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    return v6;
}

int connect_tcp(const char *addr, int32_t port, const char *source)
{
    const Endpoint sa = endpoint(addr, port);
    int sock = socket(sa.family(), SOCK_STREAM, 0);
    timeval timeout = {20, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (source != nullptr) {
        const Endpoint from = endpoint(source, 0);
        if (bind(sock, &from.sa, from.length()) != 0)
            throw std::runtime_error("bind source");
    }
    if (connect(sock, &sa.sa, sa.length()) == 0)
        return sock;
    if (errno == EINTR) {
        // the connection goes on being made: wait for its outcome
        pollfd fd = {sock, POLLOUT, 0};
        int error = -1;
        socklen_t len = sizeof error;
        if (within(20, [&] { return poll(&fd, 1, 10) == 1; }) &&
            getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
            return sock;
    }
    close(sock);
    return -1;
}
