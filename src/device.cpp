#include "device.h"

#include "udev_wait.h"
#include "usb_port.h"

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

std::string pinned_port;
// The run's wait for udev, pinned with the port; null when none.
UdevWait *pinned_udev_wait = nullptr;

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
    return hasLeft(dev) || (!pinned_port.empty() && usbPortOf(dev->path) != pinned_port);
}

hid_device_info *firstShown(hid_device_info *dev)
{
    while (dev != nullptr && isHidden(dev))
        dev = dev->next;
    return dev;
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

bool listsPort(const std::vector<OndrixDevice> &devices, const std::string &port)
{
    for (const OndrixDevice &device : devices)
        if (device.port == port)
            return true;
    return false;
}

// hidapi lists a device once per HID interface, and per collection of
// each report descriptor: the first entry of a port stands for it.
void appendDevices(std::vector<OndrixDevice> &devices, unsigned short product_id)
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, product_id);
    for (hid_device_info *dev = devs; dev != nullptr; dev = dev->next) {
        if (hasLeft(dev))
            continue;
        std::string port = usbPortOf(dev->path);
        if (port.empty() || !listsPort(devices, port))
            devices.push_back({port, product_id == BOOTLOADER_PRODUCT_ID, dev->vendor_id, dev->product_id,
                               dev->path, serialText(dev)});
    }
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

void pinToPort(const std::string &port, UdevWait *udev_wait)
{
    pinned_port = port;
    pinned_udev_wait = udev_wait;
}

std::string bootloaderNode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, BOOTLOADER_PRODUCT_ID);
    hid_device_info *bootloader = firstShown(devs);
    std::string node = bootloader != nullptr ? bootloader->path : "";
    hid_free_enumeration(devs);
    return node;
}

int inNormalMode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, NORMAL_MODE_PRODUCT_ID);
    hid_device_info *normal = firstShown(devs);
    if (normal != nullptr && pinned_udev_wait != nullptr)
        pinned_udev_wait->noteNodeListed(normal->path);
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
    // the last look. Any device leaving while it is listed is left out
    // (hid_listing_guard.cpp).
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
    if (pinned_udev_wait != nullptr)
        pinned_udev_wait->waitUntilNodeIsReady(cur_dev->path);
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
