#ifndef FWLAUNCH_UDEV_WAIT_H
#define FWLAUNCH_UDEV_WAIT_H

#include <string>

struct udev;
struct udev_device;
struct udev_monitor;
struct udev_queue;

// What a run waits for from udev. A device that has just come onto the
// bus belongs to root until udev has run its rules for it, and the
// bootloader's arrival is worth hearing of at once. Where udev does not
// run (a container, a build machine), nothing is waited for and the
// sleeps are plain.
//
// A run makes one for the port it updates, before its first command
// request, so that the bootloader's arrival cannot be missed; udev is let
// go when it is destroyed, or earlier with stop().
class UdevWait {
public:
    // Starts listening to udev's announcements; a bootloader counts only
    // on `port` (any port when it is empty).
    explicit UdevWait(const std::string &port);
    ~UdevWait();
    UdevWait(const UdevWait &) = delete;
    UdevWait &operator=(const UdevWait &) = delete;

    // Lets go of udev, as before the exec of dfu-util: from then on
    // nothing is waited for and the sleeps are plain.
    void stop();

    // Sleeps `seconds`, or less when udev announces that the ondrix
    // bootloader has arrived.
    void sleepUnlessBootloaderArrives(unsigned seconds);

    // The run has listed this hidraw node: its wait for udev counts from
    // the first time it did.
    void noteNodeListed(const char *hidraw_node);

    // Waits, for a few seconds at most, until udev has finished with a
    // hidraw node (before it is opened), or with the USB device the node
    // belongs to (the one dfu-util opens).
    void waitUntilNodeIsReady(const char *hidraw_node);
    void waitUntilUsbDeviceIsReady(const char *hidraw_node);

private:
    bool isBootloaderHidraw(udev_device *dev) const;
    bool takeAnnouncements();
    void waitForUdevNews(long long timeout_ms);
    enum class Readiness { Ready, Pending, Gone };
    Readiness readinessOf(udev_device *dev);
    void waitUntilUdevIsDone(udev_device *dev, long long deadline);

    struct udev *udev_context = nullptr;
    udev_monitor *monitor = nullptr;
    udev_queue *queue = nullptr;
    bool udev_runs = false;
    std::string bootloader_port;
    // The first normal-mode node listed, and when: the wait for udev is
    // counted from then.
    std::string first_listed_node;
    long long first_listed_at = 0;
};

#endif
