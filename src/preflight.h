#ifndef FWLAUNCH_PREFLIGHT_H
#define FWLAUNCH_PREFLIGHT_H

// What an update needs, checked before any device is touched: a device
// switched into its bootloader for an update that cannot go through stays
// there until a good run or a power cycle.

// 1 when dfu-util can download the image at `path`: a regular file the
// user may read, not empty, and, when it ends in a DFU suffix, one whose
// CRC matches and whose IDs are the ondrix bootloader's (or "any").
// Otherwise -1, after "fwlaunch: cannot use PATH: REASON" on standard error.
int checkImageContents(const char *path);

// 1 when dfu-util is found on PATH as execvp will look for it; otherwise
// -1, after saying so and how to install it on standard error.
int checkDfuUtilIsInstalled();

#endif
