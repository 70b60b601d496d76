// Simulated USB device in DFU 1.1 mode, added to a umockdev testbed.
//
// The device shows up in the testbed's sysfs as a usb_device with a
// /dev/bus/usb/BBB/DDD node; usbdevfs ioctls on that node (issued by libusb,
// e.g. inside dfu-util) are answered by a DFU state machine that keeps the
// downloaded image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <umockdev.h>

struct DfuDeviceConfig {
    uint16_t vendor_id;          // e.g. 0x040e
    uint16_t product_id;         // e.g. 0xf003
    std::string sysfs_name;      // usb_device folder name, added with parent NULL, e.g. "1-5"
    int busnum;                  // 1..999
    int devnum;                  // 1..127, unique per bus
    std::string manufacturer, product, serial;  // an empty string gets no string descriptor
    bool with_hid_interface;     // true: interface 0 is HID (one interrupt IN endpoint) and the
                                 // DFU interface is interface 1; false: DFU is interface 0
    int fail_after_block;        // -1: never; N >= 0: block N of every download fails to write,
                                 // the next GETSTATUS reports dfuERROR / errWRITE
    std::string interface_name = "ondrix firmware";  // string of the DFU interface (alt setting 0)
};

struct DfuDevice;

// Adds the usb_device (sysfs entry and its /dev/bus/usb/BBB/DDD node) and answers
// usbdevfs ioctls on the node. Holds a reference on the testbed until freed.
// Returns nullptr and prints the reason on stderr on failure.
DfuDevice *dfu_device_add(UMockdevTestbed *testbed, const DfuDeviceConfig &config);

const char *dfu_device_syspath(const DfuDevice *device);

// Bytes of the current (or last) download that the device accepted.
std::vector<uint8_t> dfu_device_received(DfuDevice *device);

// True once the zero-length DNLOAD that ends a download was accepted.
bool dfu_device_manifested(DfuDevice *device);

// Stops answering on the node; the sysfs entry stays in the testbed.
void dfu_device_free(DfuDevice *device);
