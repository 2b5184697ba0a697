// app/options.h -- the command line: options, addresses, usage text
#pragma once

#include <cstdint>

#include "core/sock.h"

// The version text cut from the revision string, and the banner built on it.
const char *version_text();
void print_banner();

// Prints the usage text with the current TCP port and ends the process with status 1.
[[noreturn]] void usage();

// "64k" and friends: strtol in base 10 kept to 32 bits, a lower-case "k"
// multiplies by 1024 (wrapping), then clamped to 1..65536.
int32_t parse_block_size(const char *text);

// An IPv6 address when the text has a colon (fe80::1%eth0 with its scope),
// else a dotted IPv4 address when it starts with a digit (one that does not
// parse is an error), else a host name looked up, for family (AF_UNSPEC:
// both). 0 with up to max addresses in the resolver's order in addrs and
// their number in *count, or -1 after reporting a failure.
int resolve_address(const char *text, int family, Endpoint *addrs, unsigned max, unsigned *count);

enum ConfigResult {
    CONFIG_RUN,    // the settings are complete: the run can start
    CONFIG_USAGE,  // the usage text is due
    CONFIG_FAILED  // a failure, already reported
};

// Reads the options and the server argument into the settings.
ConfigResult configure(int argc, char **argv);
