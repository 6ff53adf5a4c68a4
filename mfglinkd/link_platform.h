// Where the service meets the system: waiting for and receiving a frame,
// sending one and running a shell command. link_platform.cpp implements them
// with select(), recv(), sendto() and device_system(); the fuzz target and the
// unit tests link their own versions instead.
#ifndef QV_MFGLINKD_LINK_PLATFORM_H
#define QV_MFGLINKD_LINK_PLATFORM_H

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>

// One pass of the wait for a request: select() on sock for reading, with a
// fresh set and a time-out of one second. Above 0: readable; 0: timed out;
// below 0: failed (errno set).
int link_wait_readable(int sock);

// Receives one frame of at most size bytes into buf: the result of recv()
// (bytes received, or 0 or less).
long link_recv(int sock, uint8_t* buf, std::size_t size);

// Sends length bytes of frame on sock to the link-layer address to; the result
// of the send call (bytes sent, or negative with errno set).
long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to);

// Runs a shell command and waits for it; its result is not examined by callers.
int link_system(const char* command);

#endif
