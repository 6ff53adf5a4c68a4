// Where the service meets the system: waiting for and receiving a frame,
// sending one and running a shell command. link_platform.cpp implements them
// with recv() on the socket's receive time-out, sendto() and device_system();
// the fuzz target and the unit tests link their own versions instead.
#ifndef QV_MFGLINKD_LINK_PLATFORM_H
#define QV_MFGLINKD_LINK_PLATFORM_H

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>

// What a pass of the wait met, when it did not receive a frame.
enum : long {
  kPassNothing = 0,     // a receive of no bytes, or one that failed in passing (a port going down)
  kPassTimedOut = -1,   // nothing came within the second
  kPassFailed = -2,     // the socket cannot be waited on (errno set)
};

// One pass of the wait for a request: receives one frame of at most size bytes
// into buf, waiting at most one second (the socket's receive time-out, which
// open_link sets). One system call a pass, so that a chunk costs its receive
// and its reply. Above 0: the bytes received; otherwise one of the above.
long link_receive_pass(int sock, uint8_t* buf, std::size_t size);

// Sends length bytes of frame on sock to the link-layer address to; the result
// of the send call (bytes sent, or negative with errno set).
long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to);

// Runs a shell command and waits for it; its result is not examined by callers.
int link_system(const char* command);

#endif
