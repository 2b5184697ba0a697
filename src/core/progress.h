// core/progress.h -- the lines that tell how a run goes: a client's size
// label, and a server's events
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Whether standard output is the systemd journal's stream, which the service
// manager names in JOURNAL_STREAM. The journal takes a line only when it
// ends, so there every server event is a whole line of its own, tagged with
// its protocol; on a terminal, a pipe or a file a phase's line stays open
// until the next event, as it always has.
bool stdout_is_journal();
// Chooses the journal's form of the lines; before any thread starts.
void use_journal_lines(bool on);
bool journal_lines();

// "Packet size %s bytes: ", flushed: the start of a client's result line.
void say_packet_size(int32_t size);

// A server's events.
void say_listening(const char *protocol);
void say_established(const char *protocol, const sockaddr_in &peer);
void say_receiving(const char *protocol, int32_t size);
void say_sending(const char *protocol, int32_t size);
void say_done(const char *protocol);
