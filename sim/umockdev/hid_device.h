#ifndef ONDRIX_SIM_HID_DEVICE_H
#define ONDRIX_SIM_HID_DEVICE_H

#include "usb_device.h"
#include "usb_ports.h"

#include <umockdev.h>

#include <cstdint>
#include <string>

// What a USB HID device shows of itself in sysfs, as hidapi reads it.
struct HidIdentity {
    uint16_t vendor_id;
    uint16_t product_id;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// Adds a USB device on `port` carrying one HID interface. The last of
// its nodes is the hidraw node.
TestbedNodes add_usb_hid_device(UMockdevTestbed *testbed, const UsbPort &port,
                                const HidIdentity &identity);

// Adds the HID interface (usb_interface, hid and hidraw nodes) beneath
// the usb_device `nodes` starts with, and appends them to `nodes`.
void add_hid_interface(UMockdevTestbed *testbed, TestbedNodes &nodes, const HidIdentity &identity);

#endif
