// app/options.h -- the command line: options, addresses, usage text
#pragma once

#include <cstdint>

constexpr int NEED_USAGE = -1;

// The version text cut from the revision string, and the banner built on it.
const char *version_text();
void print_banner();

// Prints the usage text with the current TCP port and ends the process with status 1.
[[noreturn]] void usage();

// "64k" and friends: strtol in base 10 kept to 32 bits, a lower-case "k"
// multiplies by 1024 (wrapping), then clamped to 1..65536.
int32_t parse_block_size(const char *text);

// Dotted address when the text starts with a digit (one that does not parse
// is an error), else a host name looked up.
// Returns 0 with the address in network byte order, 1 after reporting a failure.
int resolve_address(const char *text, uint32_t *addr);

// Reads the options and the server argument into the settings.
// Returns 0 when the run can start, NEED_USAGE when the usage text is due,
// or 1 after a failure that it has already reported.
int configure(int argc, char **argv);
