#ifndef FWLAUNCH_PORT_LOCK_H
#define FWLAUNCH_PORT_LOCK_H

#include <sys/types.h>

#include <string>

// One run per device: a run holds the lock of its device's USB port from
// when it has chosen the port until the download ends. The lock passes to
// dfu-util with the exec and the kernel drops it when that process ends,
// however it ends.

// 0 when this run holds the lock of `port`, or no lock can be had at all
// (the run goes on without); -1 when another run holds it, after saying
// so on standard error, with that run's process in `*holder` (0 when it
// cannot be told).
int lockPort(const std::string &port, pid_t *holder);

#endif
