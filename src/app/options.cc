// app/options.cc -- parses the command line into the settings
#include "app/options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "core/constants.h"
#include "core/progress.h"

namespace {
// The version is CMake's project version; the text keeps the form of a
// revision string, from which version_text cuts it.
constexpr char REVISION[] = "$Revision: " TARVO_VERSION " $";
constexpr char OPTIONS[] = "?stunp:m:a:dh:b:";
constexpr int32_t LARGEST_BLOCK = BUFFER_SIZE;

// strtol, limited to the range of a signed 32-bit value
int32_t parse_int32(const char *text, char **end)
{
    long value = strtol(text, end, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// -p: the TCP port, and the UDP port one above it. Only the low 16 bits
// reach a socket address, so 70000 stands for 4464; but a port of 0 would
// let the system pick one that no client knows. 0, or -1 after a message.
int parse_port(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) {
        fprintf(stderr, "tarvo: -p %s: not a port number\n", text);
        return -1;
    }
    const auto port = static_cast<uint32_t>(value);
    if ((port & 0xFFFF) == 0 || ((port + 1) & 0xFFFF) == 0) {
        fprintf(stderr, "tarvo: -p %s: the TCP port (%u) or the UDP port (%u) would be 0\n", text, port & 0xFFFF,
                (port + 1) & 0xFFFF);
        return -1;
    }
    tcp_port = static_cast<int32_t>(port);
    udp_port = static_cast<int32_t>(port + 1);
    return 0;
}

// The hook where a platform whose socket layer must be started before use
// would start it. Linux needs nothing, so it cannot fail here; it stays so
// that start-up keeps one place, checked like every other step, for that.
int sock_init()
{
    return 0;
}
}  // namespace

const char *version_text()
{
    static char version[sizeof REVISION];
    strcpy(version, REVISION + 11);
    version[strcspn(version, " ")] = '\0';
    return version;
}

void print_banner()
{
    say_banner(version_text());
}

void usage()
{
    say_usage(tcp_port);
    exit(1);
}

int32_t parse_block_size(const char *text)
{
    char *end = nullptr;
    int32_t size = parse_int32(text, &end);
    if (*end == 'k')
        size = static_cast<int32_t>(static_cast<uint32_t>(size) << 10);
    if (size > LARGEST_BLOCK - 1)
        return LARGEST_BLOCK;
    if (size < 1)
        return 1;
    return size;
}

int resolve_address(const char *text, uint32_t *addr)
{
    if (isdigit(static_cast<unsigned char>(text[0]))) {
        // inet_aton tells a text that does not parse from 255.255.255.255
        in_addr parsed;
        if (inet_aton(text, &parsed) == 0) {
            fprintf(stderr, "tarvo: %s: not an IPv4 address\n", text);
            return -1;
        }
        *addr = parsed.s_addr;
        return 0;
    }
    const hostent *host = gethostbyname(text);
    if (host == nullptr || host->h_addr_list[0] == nullptr) {
        // the resolver's reason is in h_errno, not errno
        fprintf(stderr, "gethostbyname(): %s\n", host == nullptr ? hstrerror(h_errno) : "No address");
        return -1;
    }
    memcpy(addr, host->h_addr_list[0], sizeof *addr);
    return 0;
}

ConfigResult configure(int argc, char **argv)
{
    if (argc == 1)
        return CONFIG_USAGE;

    const char *bind_text = nullptr;
    optind = 0;  // start afresh, whatever an earlier call left behind
    for (int opt; (opt = getopt(argc, argv, OPTIONS)) != -1;) {
        switch (opt) {
        case 's':
            opt_server = true;
            break;
        case 't':
            opt_tcp = true;
            break;
        case 'u':
            opt_udp = true;
            break;
        case 'h':
            bind_text = optarg;
            break;
        case 'p':
            if (parse_port(optarg) != 0)
                return CONFIG_FAILED;
            break;
        case 'b':
            block_sizes[0] = parse_block_size(optarg);
            nblock_sizes = 1;
            break;
        default:  // -n, -d, -m, -a, -? and letters getopt has already complained of
            return CONFIG_USAGE;
        }
    }

    if (opt_server && !opt_tcp && !opt_udp)
        opt_tcp = opt_udp = true;
    if (!opt_tcp && !opt_udp)
        return CONFIG_USAGE;  // a client must choose its protocol

    // cppcheck-suppress knownConditionTrueFalse ; the hook fails on no platform that tarvo builds on yet
    if (sock_init() != 0) {
        perror("sock_init()");
        return CONFIG_FAILED;
    }
    if (bind_text != nullptr && resolve_address(bind_text, &bind_addr) != 0)
        return CONFIG_FAILED;
    if (!opt_server) {
        if (optind == argc)
            return CONFIG_USAGE;
        if (resolve_address(argv[optind], &server_addr) != 0)
            return CONFIG_FAILED;
        if (opt_tcp && opt_udp)
            return CONFIG_USAGE;  // a client runs one protocol
    }
    return CONFIG_RUN;
}
