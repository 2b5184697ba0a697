// app/options.h -- the command line: options, addresses, usage text
#pragma once

#include <cstdint>

// The version text cut from the revision string, and the banner built on it.
const char *version_text();
void print_banner();

// Prints the usage text with the current TCP port and ends the process with status 1.
[[noreturn]] void usage();

// "64k" and friends: strtol in base 10 kept to 32 bits, a lower-case "k"
// multiplies by 1024 (wrapping), then clamped to 1..65536.
int32_t parse_block_size(const char *text);

// Dotted address when the text starts with a digit (one that does not parse
// is an error), else a host name looked up. 0 with the address in network
// byte order, or -1 after reporting a failure.
int resolve_address(const char *text, uint32_t *addr);

enum ConfigResult {
    CONFIG_RUN,    // the settings are complete: the run can start
    CONFIG_USAGE,  // the usage text is due
    CONFIG_FAILED  // a failure, already reported
};

// Reads the options and the server argument into the settings.
ConfigResult configure(int argc, char **argv);
