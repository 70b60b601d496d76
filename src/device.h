#ifndef FWLAUNCH_DEVICE_H
#define FWLAUNCH_DEVICE_H

#include <hidapi.h>

#include <string>
#include <vector>

// The ondrix device shows itself under two USB identities: a HID device in
// normal mode, and a USB DFU bootloader once it has been switched over.
#define DEVICE_VENDOR_ID 0x040E
#define NORMAL_MODE_PRODUCT_ID 0xF408
#define BOOTLOADER_PRODUCT_ID 0xF003

// The bootloader identity as dfu-util's -d option takes it: the same
// vendor:product pair for run-time and for DFU mode, so that no other
// device that happens to be in DFU mode is matched.
#define BOOTLOADER_ID_TEXT "040e:f003,040e:f003"

// One attached ondrix device, in either mode, as --list shows it.
struct OndrixDevice {
    std::string port; // USB port path ("1-1", "3-2.4"); empty when unknown
    bool in_bootloader;
    unsigned short vendor_id;
    unsigned short product_id;
    std::string node;    // its hidraw node
    std::wstring serial; // empty when it has none
};

// Every attached ondrix device, once, normal mode first, each mode in the
// order the HID layer lists it.
std::vector<OndrixDevice> listOndrixDevices();

class UdevWait;

// From now on every probe and request sees only the ondrix device on
// `port`, as if it were the only one attached (an empty port sees all),
// and asks `udev_wait` whether udev is done with a node before it is
// opened (nothing is waited for when it is null). The run that owns
// `udev_wait` pins it only for as long as it lives.
void pinToPort(const std::string &port, UdevWait *udev_wait);

// The hidraw node of the bootloader the probe sees; empty when none.
std::string bootloaderNode();

// 0 when a device in normal mode is listed, -1 when none is.
int inNormalMode();

// 1 when a device in bootloader mode is listed (after printing its
// "Usb bootloader mode" block), 0 when none is.
int inBootloaderMode();

// Writes the command report (2, cmd1, cmd2, zeros) to an open device.
// 0 when the write went through, -1 when it failed.
int sendCmd(hid_device *handle, unsigned char cmd1, unsigned char cmd2);

// Finds the normal-mode device, opens it and sends it one command.
// 0 when the command reached the device (or the device has meanwhile
// come back as the bootloader), -1 otherwise.
int requestHidCmd(unsigned char cmd1, unsigned char cmd2);

#endif
