#include "device.h"

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

// Walks the list of all HID devices for the first one in normal mode,
// printing a dot per entry stepped over. Null when the list ends first or
// the walk has taken too many steps.
hid_device_info *findNormalModeEntry(hid_device_info *devs)
{
    int wait_count = 0;
    hid_device_info *cur_dev = devs;
    while (!isNormalModeEntry(cur_dev)) {
        cur_dev = cur_dev->next;
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

} // namespace

int inNormalMode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, NORMAL_MODE_PRODUCT_ID);
    if (devs == nullptr)
        return -1;
    hid_free_enumeration(devs);
    return 0;
}

int inBootloaderMode()
{
    hid_device_info *devs = hid_enumerate(DEVICE_VENDOR_ID, BOOTLOADER_PRODUCT_ID);
    if (devs == nullptr)
        return 0;
    printf("\nUsb bootloader mode:\n  type: %04hx:%04hx\n  path: %s\n  serial_number: %ls\n",
           devs->vendor_id, devs->product_id, devs->path, serialText(devs));
    hid_free_enumeration(devs);
    return 1;
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
    if (devs == nullptr) {
        printf("Can not find usb device, hid_enumerate failed\n");
        return -1;
    }

    hid_device_info *cur_dev = findNormalModeEntry(devs);
    if (cur_dev == nullptr) {
        printf("did not find usb devicei, program exit (%d)\n", NORMAL_MODE_PRODUCT_ID);
        hid_free_enumeration(devs);
        hid_exit();
        return -1;
    }

    hid_device *handle = hid_open(cur_dev->vendor_id, cur_dev->product_id, cur_dev->serial_number);
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
