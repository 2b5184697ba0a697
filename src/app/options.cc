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

// What the resolver says of a name it could not resolve, in the words
// people know from the older resolver.
const char *resolver_error(int code)
{
    switch (code) {
    case EAI_NONAME:
        return hstrerror(HOST_NOT_FOUND);
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return hstrerror(NO_DATA);
    case EAI_AGAIN:
        return hstrerror(TRY_AGAIN);
    case EAI_FAIL:
        return hstrerror(NO_RECOVERY);
    case EAI_SYSTEM:
        return strerror(errno);
    default:
        return gai_strerror(code);
    }
}

// An IPv6 address as written, with the scope of a link-local one by name
// or number; never a name looked up.
constexpr addrinfo IPV6_LITERAL = {AI_NUMERICHOST, AF_INET6, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};

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

int resolve_address(const char *text, int family, Endpoint *addrs, unsigned max, unsigned *count)
{
    *count = 0;
    if (strchr(text, ':') != nullptr) {
        addrinfo *found = nullptr;
        if (getaddrinfo(text, nullptr, &IPV6_LITERAL, &found) != 0) {
            fprintf(stderr, "tarvo: %s: not an IPv6 address\n", text);
            return -1;
        }
        memcpy(&addrs[0].v6, found->ai_addr, sizeof addrs[0].v6);
        freeaddrinfo(found);
        *count = 1;
        // without its interface, a link-local address would fail later
        // with a bare "Invalid argument", or reach whichever link the
        // route picks
        if (IN6_IS_ADDR_LINKLOCAL(&addrs[0].v6.sin6_addr) && addrs[0].v6.sin6_scope_id == 0) {
            fprintf(stderr, "tarvo: %s: a link-local address needs its interface, as in %s%%eth0\n", text, text);
            return -1;
        }
        return 0;
    }
    if (isdigit(static_cast<unsigned char>(text[0]))) {
        // inet_aton tells a text that does not parse from 255.255.255.255
        in_addr parsed;
        if (inet_aton(text, &parsed) == 0) {
            fprintf(stderr, "tarvo: %s: not an IPv4 address\n", text);
            return -1;
        }
        addrs[0] = make_address(parsed.s_addr, 0);
        *count = 1;
        return 0;
    }
    addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;  // each address once
    addrinfo *found = nullptr;
    const int failed = getaddrinfo(text, nullptr, &hints, &found);
    for (const addrinfo *a = found; a != nullptr && *count < max; a = a->ai_next) {
        if (a->ai_family == AF_INET || a->ai_family == AF_INET6)
            memcpy(&addrs[(*count)++].sa, a->ai_addr, a->ai_addrlen);
    }
    if (found != nullptr)
        freeaddrinfo(found);
    if (*count == 0) {
        fprintf(stderr, "gethostbyname(): %s\n", failed != 0 ? resolver_error(failed) : "No address");
        return -1;
    }
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
    unsigned bound = 0;
    if (bind_text != nullptr && resolve_address(bind_text, AF_UNSPEC, &bind_addr, 1, &bound) != 0)
        return CONFIG_FAILED;
    if (!opt_server) {
        if (optind == argc)
            return CONFIG_USAGE;
        // a local address and the server's must be of one family
        if (resolve_address(argv[optind], bind_addr.family(), server_addrs, MAX_SERVER_ADDRESSES, &nserver_addrs) != 0)
            return CONFIG_FAILED;
        if (opt_tcp && opt_udp)
            return CONFIG_USAGE;  // a client runs one protocol
    }
    return CONFIG_RUN;
}
