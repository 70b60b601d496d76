#include "udev_wait.h"

#include "usb_port.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// How long a device that has just arrived may keep udev busy before the
// launcher goes ahead without it, counted from when the launcher saw it.
const long long UDEV_READY_WAIT_MS = 5000;

// Where nothing tells the launcher that udev has moved on (no monitor),
// it looks again this often.
const int UDEV_RECHECK_MS = 100;

long long nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool hasSysattr(udev_device *dev, const char *name, const char *value)
{
    const char *actual = udev_device_get_sysattr_value(dev, name);
    return actual != nullptr && strcmp(actual, value) == 0;
}

// A monitor of the announcements of hidraw nodes and USB devices; null
// when udev cannot be listened to.
udev_monitor *newMonitor(struct udev *udev_context)
{
    udev_monitor *monitor = udev_monitor_new_from_netlink(udev_context, "udev");
    if (monitor == nullptr)
        return nullptr;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0)
        return udev_monitor_unref(monitor);
    return monitor;
}

} // namespace

UdevWait::UdevWait(const std::string &port) : bootloader_port(port)
{
    udev_context = udev_new();
    if (udev_context == nullptr)
        return;
    queue = udev_queue_new(udev_context);
    udev_runs = queue != nullptr && udev_queue_get_udev_is_active(queue) > 0;
    monitor = newMonitor(udev_context);
}

UdevWait::~UdevWait()
{
    stop();
}

void UdevWait::stop()
{
    monitor = udev_monitor_unref(monitor);
    queue = udev_queue_unref(queue);
    udev_context = udev_unref(udev_context);
    udev_runs = false;
}

// What the bootloader probe looks for: the hidraw node of an ondrix
// bootloader (on the port the run follows). The USB device's own
// announcement comes earlier, before its hidraw node is there to be listed.
bool UdevWait::isBootloaderHidraw(udev_device *dev) const
{
    const char *subsystem = udev_device_get_subsystem(dev);
    if (subsystem == nullptr || strcmp(subsystem, "hidraw") != 0)
        return false;
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    return usb != nullptr && hasSysattr(usb, "idVendor", "040e") && hasSysattr(usb, "idProduct", "f003") &&
           (bootloader_port.empty() || bootloader_port == usbPortOfDevice(usb));
}

// Takes in everything udev has announced so far. True when an ondrix
// bootloader's hidraw node was among the arrivals. Whether udev has
// finished with a device is read from its database instead, which tells
// the same for a device that was announced before the launcher listened.
bool UdevWait::takeAnnouncements()
{
    bool bootloader_arrived = false;
    if (monitor == nullptr)
        return false;
    while (udev_device *dev = udev_monitor_receive_device(monitor)) {
        const char *action = udev_device_get_action(dev);
        if (action != nullptr && strcmp(action, "add") == 0 && isBootloaderHidraw(dev))
            bootloader_arrived = true;
        udev_device_unref(dev);
    }
    return bootloader_arrived;
}

// Waits until udev may have news: an announcement, its queue emptying, or
// the timeout.
void UdevWait::waitForUdevNews(long long timeout_ms)
{
    pollfd fds[2];
    nfds_t count = 0;
    if (monitor != nullptr)
        fds[count++] = {udev_monitor_get_fd(monitor), POLLIN, 0};
    if (queue != nullptr && udev_queue_get_fd(queue) >= 0)
        fds[count++] = {udev_queue_get_fd(queue), POLLIN, 0};
    if (count < 2)
        timeout_ms = std::min<long long>(timeout_ms, UDEV_RECHECK_MS);
    poll(fds, count, static_cast<int>(timeout_ms));
    if (queue != nullptr)
        udev_queue_flush(queue);
}

// udev marks a device initialized before its last builtins have run (the
// seat's access list among them), so that alone is not enough: the node
// must also be open to the user, or udev have nothing left to do.
UdevWait::Readiness UdevWait::readinessOf(udev_device *dev)
{
    udev_device *now = udev_device_new_from_syspath(udev_context, udev_device_get_syspath(dev));
    if (now == nullptr)
        return Readiness::Gone;
    bool same = udev_device_get_devnum(now) == udev_device_get_devnum(dev);
    bool initialized = udev_device_get_is_initialized(now) > 0;
    udev_device_unref(now);
    if (!same)
        return Readiness::Gone;
    const char *node = udev_device_get_devnode(dev);
    bool usable = node != nullptr && access(node, R_OK | W_OK) == 0;
    bool udev_idle = queue != nullptr && udev_queue_get_queue_is_empty(queue);
    return initialized && (usable || udev_idle) ? Readiness::Ready : Readiness::Pending;
}

// Waits until udev has finished with `dev`, or until the deadline.
void UdevWait::waitUntilUdevIsDone(udev_device *dev, long long deadline)
{
    for (;;) {
        takeAnnouncements();
        if (readinessOf(dev) != Readiness::Pending)
            return;
        long long left = deadline - nowMs();
        if (left <= 0)
            return;
        waitForUdevNews(left);
    }
}

void UdevWait::sleepUnlessBootloaderArrives(unsigned seconds)
{
    long long deadline = nowMs() + 1000LL * seconds;
    for (long long left; (left = deadline - nowMs()) > 0;) {
        if (monitor == nullptr) {
            usleep(static_cast<useconds_t>(left * 1000));
            return;
        }
        pollfd fd = {udev_monitor_get_fd(monitor), POLLIN, 0};
        int ready = poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            monitor = udev_monitor_unref(monitor); // and sleep the rest plainly
        else if (ready > 0 && takeAnnouncements())
            return;
    }
}

void UdevWait::noteNodeListed(const char *hidraw_node)
{
    if (first_listed_node != hidraw_node) {
        first_listed_node = hidraw_node;
        first_listed_at = nowMs();
    }
}

void UdevWait::waitUntilNodeIsReady(const char *hidraw_node)
{
    if (!udev_runs)
        return;
    udev_device *hidraw = hidrawRecordOf(udev_context, hidraw_node);
    if (hidraw == nullptr)
        return;
    noteNodeListed(hidraw_node);
    waitUntilUdevIsDone(hidraw, first_listed_at + UDEV_READY_WAIT_MS);
    udev_device_unref(hidraw);
}

void UdevWait::waitUntilUsbDeviceIsReady(const char *hidraw_node)
{
    if (!udev_runs || *hidraw_node == '\0')
        return;
    long long deadline = nowMs() + UDEV_READY_WAIT_MS;
    udev_device *usb = usbDeviceRecordOf(udev_context, hidraw_node);
    if (usb == nullptr)
        return;
    waitUntilUdevIsDone(usb, deadline);
    udev_device_unref(usb);
}
