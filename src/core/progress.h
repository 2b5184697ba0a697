// core/progress.h -- everything the program writes to standard output: the
// banner and usage, a client's result lines, a server's events
#pragma once

#include "core/sock.h"

#include <cstddef>
#include <cstdint>

// Whether standard output is the systemd journal's stream, which the service
// manager names in JOURNAL_STREAM. The journal takes a line only when it
// ends, so there every server event is a whole line of its own, tagged with
// its protocol; on a terminal, a pipe or a file a phase's line stays open
// until the next event, so that a reader sees the phase begin and end on one
// line.
bool stdout_is_journal();
// Chooses the journal's form of the lines; before any thread starts.
void use_journal_lines(bool on);
bool journal_lines();

// "%2dk" for a multiple of 1024 or one short of it, else the number in full.
// The text lives in a per-thread buffer until this thread's next call.
const char *format_size(int32_t size);

// " %ld KByte/s" above 614399 bytes, else " %ld Byte/s" (a tick is 1/1024 s).
// A phase that measured no tick at all counts as one tick.
void format_rate(char *out, size_t len, int64_t bytes, int32_t ticks);

// The start of every run: the banner with the version.
void say_banner(const char *version);
// The usage text, with the TCP port the options have set.
void say_usage(int32_t tcp_port);
// A thread could not be made; the process ends with STATUS_NO_THREAD.
void say_no_thread();

// A client's run: "\n<protocol> connection established.", then a line per
// block size, then "Done." and, when the run is over, one more newline.
void say_connected(const char *protocol);
// "Packet size %s bytes: ", flushed: the start of a size's line.
void say_packet_size(int32_t size);
// A phase's figure: " (failed)" when its tick count is the clock's failure
// value, the rate, then " (N%)" when loss is not NO_LOSS, then the tail:
// " Tx, " (flushed, since the Rx phase follows) or " Rx." and the newline.
constexpr long NO_LOSS = -1;  // a TCP figure has no loss
void say_tx(int64_t bytes, int32_t ticks, long loss = NO_LOSS);
void say_rx(int64_t bytes, int32_t ticks, long loss = NO_LOSS);
// On standard error, once: the server serves another client, and this one waits.
void say_waiting_turn();
void say_client_done();
void say_run_over();

// A server's events; say_server_start comes before the first of them.
void say_server_start();
void say_listening(const char *protocol);
void say_established(const char *protocol, const Endpoint &peer);
void say_receiving(const char *protocol, int32_t size);
void say_sending(const char *protocol, int32_t size);
void say_done(const char *protocol);
