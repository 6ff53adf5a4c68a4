// Where the service meets the system: sending a frame and running a shell
// command. link_platform.cpp implements them with sendto() and device_system();
// the fuzz target and the unit tests link their own versions instead.
#ifndef QV_MFGLINKD_LINK_PLATFORM_H
#define QV_MFGLINKD_LINK_PLATFORM_H

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>

// Sends length bytes of frame on sock to the link-layer address to; the result
// of the send call (bytes sent, or negative with errno set).
long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to);

// Runs a shell command and waits for it; its result is not examined by callers.
int link_system(const char* command);

#endif
