// The simulated device's record of the platform programs that ran: each stand-in
// appends one line per call to /var/log/platform.log, its name and its arguments
// separated by single blanks.
#ifndef QV_CONFIG_STORE_PLATFORM_LOG_H
#define QV_CONFIG_STORE_PLATFORM_LOG_H

void platform_log(int argc, char** argv);

#endif
