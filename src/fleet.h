#ifndef FWLAUNCH_FLEET_H
#define FWLAUNCH_FLEET_H

#include <string>
#include <vector>

// Updating every attached ondrix device at once: a bench or a production
// line. Each device is updated by a process of its own, running the same
// update a single run does, pinned to the device's port; this process
// supervises them, passes their output on line by line, prefixed with
// the port, and sums up at the end.

// The update of the device on `port`, as `fwlaunch --port PORT IMAGE`
// runs it, telling its phases on `phase_fd` (phase_channel.h). Runs in
// the child; returns only when the image was not handed to dfu-util, with
// the run's exit status.
using UpdateOnePort = int (*)(const char *img, const std::string &port, int phase_fd);

// Runs `update` for every port in `ports` (each once, in this order), at
// most `jobs` at the same time. 0 when every device was updated; 1 when
// any was not; 130 or 143 when the run was stopped by SIGINT or SIGTERM.
int updateFleet(const char *img, const std::vector<std::string> &ports, size_t jobs, UpdateOnePort update);

#endif
