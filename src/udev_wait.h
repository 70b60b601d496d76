#ifndef FWLAUNCH_UDEV_WAIT_H
#define FWLAUNCH_UDEV_WAIT_H

#include <string>

// What the launcher waits for from udev. A device that has just come onto
// the bus belongs to root until udev has run its rules for it, and the
// bootloader's arrival is worth hearing of at once. Where udev does not
// run (a container, a build machine), nothing is waited for and the sleeps
// are plain.

// Starts listening to udev's announcements; a bootloader counts only on
// `port` (any port when it is empty). Call before the first command
// request, so that the bootloader's arrival cannot be missed.
void listenToUdev(const std::string &port);
void stopListeningToUdev();

// Sleeps `seconds`, or less when udev announces that the ondrix bootloader
// has arrived.
void sleepUnlessBootloaderArrives(unsigned seconds);

// The launcher has listed this hidraw node: its wait for udev counts from
// the first time it did.
void noteNodeListed(const char *hidraw_node);

// Waits, for a few seconds at most, until udev has finished with a hidraw
// node (before it is opened), or with the USB device the node belongs to
// (the one dfu-util opens).
void waitUntilNodeIsReady(const char *hidraw_node);
void waitUntilUsbDeviceIsReady(const char *hidraw_node);

#endif
