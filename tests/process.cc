// tests/process.cc -- child processes and sockets for the tests
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/sock.h"

const std::string BANNER = "\nTARVO - Network Throughput Benchmark, Version 1.26\n";

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

std::string temp_path(const char *what)
{
    char path[] = "/tmp/tarvo-test-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    close(fd);
    return std::string(path) + "." + what;
}

bool can_bind(const char *addr, int32_t port, int type)
{
    int sock = socket(AF_INET, type, 0);
    const sockaddr_in sa = make_address(inet_addr(addr), port);
    bool ok = bind(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    close(sock);
    return ok;
}

}  // namespace

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_of(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

namespace {

bool match_at(const char *text, const char *form)
{
    switch (*form) {
    case '\0':
        return *text == '\0';
    case '#':
        if (!isdigit(static_cast<unsigned char>(*text)))
            return false;
        while (isdigit(static_cast<unsigned char>(*text)))
            ++text;
        return match_at(text, form + 1);
    case '@':
        if (*text == 'K')
            ++text;
        return strncmp(text, "Byte/s", 6) == 0 && match_at(text + 6, form + 1);
    case '*':
        for (;; ++text) {
            if (match_at(text, form + 1))
                return true;
            if (*text == '\0')
                return false;
        }
    default:
        return *text == *form && match_at(text + 1, form + 1);
    }
}

}  // namespace

bool matches_form(const std::string &text, const std::string &form)
{
    return match_at(text.c_str(), form.c_str());
}

Process::Process(const std::string &binary, const std::vector<std::string> &args)
    : out_path_(temp_path("out")), err_path_(temp_path("err"))
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(binary.c_str()));
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
}

Process::~Process()
{
    kill_and_reap();
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

std::string Process::out() const
{
    return read_file(out_path_);
}

std::string Process::err() const
{
    return read_file(err_path_);
}

int Process::wait(double seconds)
{
    if (pid_ < 0)
        return status_;
    const double deadline = now() + seconds;
    for (;;) {
        int raw;
        pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (now() > deadline)
            return -1;
        usleep(10000);
    }
}

bool Process::wait_for_output(const std::string &text, double seconds, int count) const
{
    const double deadline = now() + seconds;
    while (count_of(out(), text) < count) {
        if (now() > deadline)
            return false;
        usleep(10000);
    }
    return true;
}

void Process::signal(int sig) const
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

void Process::kill_and_reap()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait(10);
    }
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
    int services = 0;
    for (const auto &m : mode)
        services += m == "-t" || m == "-u";
    if (services == 0)
        services = 2;
    if (!proc.wait_for_output("server listening.", 10, services))
        throw std::runtime_error("server did not start: " + proc.out() + proc.err());
}

int connect_tcp(const char *addr, int32_t port, const char *source)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout = {20, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (source != nullptr) {
        const sockaddr_in from = make_address(inet_addr(source), 0);
        if (bind(sock, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
            throw std::runtime_error("bind source");
    }
    const sockaddr_in sa = make_address(inet_addr(addr), port);
    if (connect(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0)
        return sock;
    if (errno == EINTR) {
        // the connection goes on being made: wait for its outcome
        pollfd fd = {sock, POLLOUT, 0};
        int ready;
        do
            ready = poll(&fd, 1, 20000);
        while (ready < 0 && errno == EINTR);
        int error = -1;
        socklen_t len = sizeof error;
        if (ready == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
            return sock;
    }
    close(sock);
    return -1;
}
