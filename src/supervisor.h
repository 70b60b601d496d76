#ifndef FWLAUNCH_SUPERVISOR_H
#define FWLAUNCH_SUPERVISOR_H

#include "device_source.h"
#include "fleet_events.h"

#include <cstddef>
#include <string>
#include <vector>

// Updating several ondrix devices: every device attached now (--all), or
// every one plugged in while it runs (--watch). Each device is updated by
// a process of its own, running the same update a single run does, pinned
// to the device's port; the supervisor takes the devices from their
// source, starts and stops the updates, follows each through what it
// reports of itself, and tells its views.

// The update of the device on `port`, as `fwlaunch --port PORT IMAGE`
// runs it, reporting its phases on `phase_fd`. Runs in the child; returns
// only when the image was not handed to dfu-util, with the run's exit
// status.
using UpdateOnePort = int (*)(const char *img, const std::string &port, int phase_fd);

struct SupervisorOptions {
    const char *img = nullptr;
    ImageFacts image;
    bool watch = false;
    size_t jobs = 0;           // at most this many at a time; 0: no limit
    size_t count = 0;          // --watch: end after this many; 0: run until stopped
    double timeout_seconds = 0; // stop an update that runs longer; 0: never
    PortPatterns ports;
};

// Runs the updates to their end. 0 when every device taken up was
// updated; 1 when any was not (or --all found none); 130 or 143 when
// SIGINT or SIGTERM stopped the run.
int superviseUpdates(const SupervisorOptions &options, const std::vector<FleetView *> &views,
                     UpdateOnePort update);

#endif
