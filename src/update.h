#ifndef FWLAUNCH_UPDATE_H
#define FWLAUNCH_UPDATE_H

#include <string>

// The update of one ondrix device: from normal mode through the two
// command reports and the wait for the bootloader, or straight from the
// bootloader, to the hand-off to dfu-util.

// Updates the device on `port`; with an empty port, the device the run
// chooses (the first in normal mode, else the first bootloader), saying
// which when there is a choice. Its phases are reported on `phase_fd` as
// phase_channel.h describes; NO_PHASE_CHANNEL (-1) for a single run.
// Returns only when the image was not handed to dfu-util, with the run's
// exit status.
int runUpdate(const char *img, const std::string &port, int phase_fd);

// The two lines of a run that finds no ondrix device.
void printNotFound();

#endif
