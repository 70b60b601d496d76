#include "device.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

namespace {

// The device takes its commands as output report 2. The report is 63
// bytes long, report ID included: the ID, the two command bytes and
// zero padding up to the length the device's report descriptor declares.
const unsigned char CMD_REPORT_ID = 0x02;
const size_t CMD_REPORT_LENGTH = 63;

// Upper bound on the entries stepped over while looking for the device
// in the list of all HID devices.
const int MAX_WALK_STEPS = 100;

// How long a request whose report could not be written keeps watching for
// the bootloader, in processor-time ticks (15 s at the POSIX rate).
const clock_t BOOTLOADER_WATCH_TICKS = 15000000;

// How long a device that has just arrived may keep udev busy before the
// launcher goes ahead without it, counted from when the launcher saw it.
const long long UDEV_READY_WAIT_MS = 5000;

// Where nothing tells the launcher that udev has moved on (no monitor),
// it looks again this often.
const int UDEV_RECHECK_MS = 100;

// hidapi leaves serial_number null when a device has none; "%ls" must
// never be handed a null pointer.
const wchar_t *serialText(const hid_device_info *dev)
{
    return dev->serial_number != nullptr ? dev->serial_number : L"";
}

bool isNormalModeEntry(const hid_device_info *dev)
{
    return dev->vendor_id == DEVICE_VENDOR_ID && dev->product_id == NORMAL_MODE_PRODUCT_ID;
}

bool isOndrixEntry(const hid_device_info *dev)
{
    return dev->vendor_id == DEVICE_VENDOR_ID &&
           (dev->product_id == NORMAL_MODE_PRODUCT_ID || dev->product_id == BOOTLOADER_PRODUCT_ID);
}

long long nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// --- Where a device is attached -------------------------------------------

struct udev *udev_context = nullptr;

struct udev *udevContext()
{
    if (udev_context == nullptr)
        udev_context = udev_new();
    return udev_context;
}

udev_device *hidrawDevice(const char *node)
{
    if (udevContext() == nullptr)
        return nullptr;
    const char *slash = strrchr(node, '/');
    return udev_device_new_from_subsystem_sysname(udevContext(), "hidraw", slash != nullptr ? slash + 1 : node);
}

// The USB device a hidraw node belongs to; the caller unrefs it.
udev_device *usbDeviceOf(const char *node)
{
    udev_device *hidraw = hidrawDevice(node);
    if (hidraw == nullptr)
        return nullptr;
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    if (usb != nullptr)
        udev_device_ref(usb);
    udev_device_unref(hidraw);
    return usb;
}

// A USB device's sysfs name is its port path: the bus, then the port on
// each hub down to the device. It stays when the device re-enumerates.
std::string portOf(const char *node)
{
    udev_device *usb = usbDeviceOf(node);
    if (usb == nullptr)
        return "";
    std::string port = udev_device_get_sysname(usb);
    udev_device_unref(usb);
    return port;
}

std::string pinned_port;

// An entry without a node is a device that left the bus while it was
// being listed, as another run's device does when it switches.
bool hasLeft(const hid_device_info *dev)
{
    return dev->path == nullptr;
}

// Another ondrix device than the pinned one is not there for this run,
// nor is one that has already left.
bool isHidden(const hid_device_info *dev)
{
    if (!isOndrixEntry(dev))
        return false;
    return hasLeft(dev) || (!pinned_port.empty() && portOf(dev->path) != pinned_port);
}

hid_device_info *firstShown(hid_device_info *dev)
{
    while (dev != nullptr && isHidden(dev))
        dev = dev->next;
    return dev;
}

// --- What udev knows -------------------------------------------------------

udev_monitor *monitor = nullptr;
udev_queue *queue = nullptr;
bool udev_runs = false;

// The devices udev has finished with since the launcher began to listen,
// each by its sysfs path and device number: a port that comes back after
// a switch keeps its path but gets a new number.
struct Announced {
    std::string syspath;
    dev_t devnum;
};
std::vector<Announced> announced;
const size_t ANNOUNCEMENTS_KEPT = 64;

void remember(udev_device *dev)
{
    if (announced.size() == ANNOUNCEMENTS_KEPT)
        announced.erase(announced.begin());
    announced.push_back({udev_device_get_syspath(dev), udev_device_get_devnum(dev)});
}

bool wasAnnounced(udev_device *dev)
{
    for (const Announced &entry : announced)
        if (entry.syspath == udev_device_get_syspath(dev) && entry.devnum == udev_device_get_devnum(dev))
            return true;
    return false;
}

bool hasSysattr(udev_device *dev, const char *name, const char *value)
{
    const char *actual = udev_device_get_sysattr_value(dev, name);
    return actual != nullptr && strcmp(actual, value) == 0;
}

// What the bootloader probe looks for: the hidraw node of an ondrix
// bootloader (on the pinned port). The USB device's own announcement
// comes earlier, before its hidraw node is there to be listed.
bool isBootloaderHidraw(udev_device *dev)
{
    const char *subsystem = udev_device_get_subsystem(dev);
    if (subsystem == nullptr || strcmp(subsystem, "hidraw") != 0)
        return false;
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    return usb != nullptr && hasSysattr(usb, "idVendor", "040e") && hasSysattr(usb, "idProduct", "f003") &&
           (pinned_port.empty() || pinned_port == udev_device_get_sysname(usb));
}

// Takes in everything udev has announced so far. True when an ondrix
// bootloader's hidraw node was among the arrivals.
bool takeAnnouncements()
{
    bool bootloader_arrived = false;
    if (monitor == nullptr)
        return false;
    while (udev_device *dev = udev_monitor_receive_device(monitor)) {
        const char *action = udev_device_get_action(dev);
        if (action != nullptr && strcmp(action, "remove") != 0 && strcmp(action, "unbind") != 0) {
            remember(dev);
            if (strcmp(action, "add") == 0 && isBootloaderHidraw(dev))
                bootloader_arrived = true;
        }
        udev_device_unref(dev);
    }
    return bootloader_arrived;
}

// Waits until udev may have news: an announcement, its queue emptying, or
// the timeout.
void waitForUdevNews(long long timeout_ms)
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

enum class Readiness { Ready, Pending, Gone };

// udev marks a device initialized before its last builtins have run (the
// seat's access list among them), so that alone is not enough: the node
// must also be open to the user, or udev have nothing left to do.
Readiness readinessOf(udev_device *dev)
{
    if (wasAnnounced(dev))
        return Readiness::Ready;
    udev_device *now = udev_device_new_from_syspath(udevContext(), udev_device_get_syspath(dev));
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

// Waits until udev has finished with `dev`, or until the deadline. Where
// udev does not run, nobody will ever finish with it: no wait.
void waitUntilUdevIsDone(udev_device *dev, long long deadline)
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

// When the launcher first listed a normal-mode device: its wait for udev
// is counted from then.
std::string first_listed_node;
long long first_listed_at = 0;

long long firstListed(const char *node)
{
    if (first_listed_node != node) {
        first_listed_node = node;
        first_listed_at = nowMs();
    }
    return first_listed_at;
}

void waitUntilNodeIsReady(const char *node)
{
    if (!udev_runs)
        return;
    udev_device *hidraw = hidrawDevice(node);
    if (hidraw == nullptr)
        return;
    waitUntilUdevIsDone(hidraw, firstListed(node) + UDEV_READY_WAIT_MS);
    udev_device_unref(hidraw);
}

// --- Walking the list and watching --------------------------------------------

// Walks the list of all HID devices for the first one in normal mode,
// printing a dot per entry stepped over. Null when the list ends first or
// the walk has taken too many steps.
hid_device_info *findNormalModeEntry(hid_device_info *devs)
{
    int wait_count = 0;
    hid_device_info *cur_dev = devs;
    while (!isNormalModeEntry(cur_dev)) {
        cur_dev = firstShown(cur_dev->next);
        printf(".");
        if (wait_count > MAX_WALK_STEPS || cur_dev == nullptr)
            return nullptr;
        wait_count++;
    }
    return cur_dev;
}

// After a failed write the device may already be on its way into the
// bootloader; watch for it there, as fast as enumeration goes.
bool watchForBootloader()
{
    clock_t endwait = clock() + BOOTLOADER_WATCH_TICKS;
    while (clock() < endwait) {
        if (inBootloaderMode() == 1) {
            printf("in usb bootloader mode\n");
            return true;
        }
    }
    return false;
}

// The components of a port path, as numbers written without leading zeros.
std::vector<std::string> portNumbers(const std::string &port)
{
    std::vector<std::string> numbers(1);
    for (char c : port) {
        if (isdigit(static_cast<unsigned char>(c)) == 0)
            numbers.emplace_back();
        else if (c != '0' || !numbers.back().empty())
            numbers.back() += c;
    }
    return numbers;
}

bool numberLess(const std::string &a, const std::string &b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

void appendDevices(std::vector<OndrixDevice> &devices, unsigned short product_id)
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, product_id);
    for (hid_device_info *dev = devs; dev != nullptr; dev = dev->next)
        if (!hasLeft(dev))
            devices.push_back({portOf(dev->path), product_id == BOOTLOADER_PRODUCT_ID, dev->vendor_id,
                               dev->product_id, dev->path, serialText(dev)});
    hid_free_enumeration(devs);
}

} // namespace

std::vector<OndrixDevice> listOndrixDevices()
{
    std::vector<OndrixDevice> devices;
    appendDevices(devices, NORMAL_MODE_PRODUCT_ID);
    appendDevices(devices, BOOTLOADER_PRODUCT_ID);
    return devices;
}

bool isPortPath(const char *text)
{
    // bus-port, then .port per hub: digits, '-', digits, ('.', digits)*
    const char *c = text;
    for (char separator : {'\0', '-'}) {
        if (separator != '\0' && *c++ != separator)
            return false;
        if (isdigit(static_cast<unsigned char>(*c)) == 0)
            return false;
        while (isdigit(static_cast<unsigned char>(*c)) != 0)
            c++;
    }
    while (*c == '.') {
        if (isdigit(static_cast<unsigned char>(*++c)) == 0)
            return false;
        while (isdigit(static_cast<unsigned char>(*c)) != 0)
            c++;
    }
    return *c == '\0';
}

bool portPathLess(const std::string &a, const std::string &b)
{
    if (a.empty() != b.empty())
        return b.empty();
    std::vector<std::string> x = portNumbers(a), y = portNumbers(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), numberLess);
}

void pinToPort(const std::string &port)
{
    pinned_port = port;
}

void listenToUdev()
{
    if (udevContext() == nullptr)
        return;
    queue = udev_queue_new(udevContext());
    udev_runs = queue != nullptr && udev_queue_get_udev_is_active(queue) > 0;
    monitor = udev_monitor_new_from_netlink(udevContext(), "udev");
    if (monitor == nullptr)
        return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0)
        monitor = udev_monitor_unref(monitor);
}

void stopListeningToUdev()
{
    monitor = udev_monitor_unref(monitor);
    queue = udev_queue_unref(queue);
    udev_context = udev_unref(udev_context);
    udev_runs = false;
}

void sleepUnlessBootloaderArrives(unsigned seconds)
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

void waitUntilBootloaderIsReady()
{
    if (!udev_runs)
        return;
    long long deadline = nowMs() + UDEV_READY_WAIT_MS;
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, BOOTLOADER_PRODUCT_ID);
    hid_device_info *bootloader = firstShown(devs);
    udev_device *usb = bootloader != nullptr ? usbDeviceOf(bootloader->path) : nullptr;
    hid_free_enumeration(devs);
    if (usb == nullptr)
        return;
    waitUntilUdevIsDone(usb, deadline);
    udev_device_unref(usb);
}

int inNormalMode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, NORMAL_MODE_PRODUCT_ID);
    hid_device_info *normal = firstShown(devs);
    if (normal != nullptr)
        firstListed(normal->path);
    hid_free_enumeration(devs);
    return normal != nullptr ? 0 : -1;
}

int inBootloaderMode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, BOOTLOADER_PRODUCT_ID);
    hid_device_info *bootloader = firstShown(devs);
    if (bootloader != nullptr)
        printf("\nUsb bootloader mode:\n  type: %04hx:%04hx\n  path: %s\n  serial_number: %ls\n",
               bootloader->vendor_id, bootloader->product_id, bootloader->path, serialText(bootloader));
    hid_free_enumeration(devs);
    return bootloader != nullptr ? 1 : 0;
}

int sendCmd(hid_device *handle, unsigned char cmd1, unsigned char cmd2)
{
    unsigned char buf[CMD_REPORT_LENGTH];
    memset(buf, 0, sizeof buf);
    buf[0] = CMD_REPORT_ID;
    buf[1] = cmd1;
    buf[2] = cmd2;
    return hid_write(handle, buf, sizeof buf) < 0 ? -1 : 0;
}

int requestHidCmd(unsigned char cmd1, unsigned char cmd2)
{
    printf("Start hid_enumerate\n");
    // Every request lists afresh: the device may have left the bus since
    // the last look.
    hid_device_info *devs = hid_enumerate(0, 0);
    hid_device_info *first = firstShown(devs);
    if (first == nullptr) {
        printf("Can not find usb device, hid_enumerate failed\n");
        hid_free_enumeration(devs);
        return -1;
    }

    hid_device_info *cur_dev = findNormalModeEntry(first);
    if (cur_dev == nullptr) {
        printf("did not find usb devicei, program exit (%d)\n", NORMAL_MODE_PRODUCT_ID);
        hid_free_enumeration(devs);
        hid_exit();
        return -1;
    }

    // A device plugged in just now is root's alone until udev is done
    // with its node. It is opened by its own node: another ondrix device
    // may carry the same serial number, or none.
    waitUntilNodeIsReady(cur_dev->path);
    hid_device *handle = hid_open_path(cur_dev->path);
    if (handle == nullptr) {
        printf("Device found but the connection failed. Note that you need to be super-user!\n");
        hid_free_enumeration(devs);
        hid_exit();
        return -1;
    }

    printf("Device Found\n  type: %04hx:%04hx\n  path: %s\n  serial_number: %ls",
           cur_dev->vendor_id, cur_dev->product_id, cur_dev->path, serialText(cur_dev));
    hid_set_nonblocking(handle, 0);
    hid_free_enumeration(devs);
    printf("\n");

    int result = 0;
    if (sendCmd(handle, cmd1, cmd2) == 0)
        printf("sent the hid command: (2 0x%x 0x%x).\n", cmd1, cmd2);
    else if (!watchForBootloader())
        result = -1;

    hid_close(handle);
    hid_exit();
    return result;
}
