#ifndef FWLAUNCH_DEVICE_H
#define FWLAUNCH_DEVICE_H

#include <hidapi.h>

// The ondrix device shows itself under two USB identities: a HID device in
// normal mode, and a USB DFU bootloader once it has been switched over.
#define DEVICE_VENDOR_ID 0x040E
#define NORMAL_MODE_PRODUCT_ID 0xF408
#define BOOTLOADER_PRODUCT_ID 0xF003

// The bootloader identity as dfu-util's -d option takes it: the same
// vendor:product pair for run-time and for DFU mode, so that no other
// device that happens to be in DFU mode is matched.
#define BOOTLOADER_ID_TEXT "040e:f003,040e:f003"

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
