#ifndef ONDRIX_SIM_HID_DEVICE_H
#define ONDRIX_SIM_HID_DEVICE_H

#include "usb_device.h"
#include "usb_ports.h"

#include <umockdev.h>

#include <cstdint>
#include <functional>
#include <string>

// What a USB HID device shows of itself in sysfs, as hidapi reads it.
struct HidIdentity {
    uint16_t vendor_id;
    uint16_t product_id;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// Called with the path of a hidraw node just before the node appears, so
// that whatever answers on it is in place before a program can find it: a
// program that opened the node in between would hold a plain file.
using BeforeHidrawNode = std::function<void(const std::string &devnode)>;

// Adds a USB device on `port` carrying `interfaces` HID interfaces, each
// with its hidraw node. Its nodes: the usb_device, then per interface the
// usb_interface, hid and hidraw nodes.
TestbedNodes add_usb_hid_device(UMockdevTestbed *testbed, const UsbPort &port, const HidIdentity &identity,
                                uint8_t interfaces = 1, const BeforeHidrawNode &before_first_node = nullptr);

// Adds a USB HID device that is leaving the bus while it is listed: on
// the port listed first, its hidraw node numbered apart, so that the
// other devices' ports and hidraw nodes are what they would be without it.
// Returns the end of the path of its hid node's uevent, which the
// command is to be unable to read (see unreadable_uevent.cpp).
std::string add_leaving_hid_device(UMockdevTestbed *testbed, const HidIdentity &identity);

// Adds HID interface `number` (usb_interface, hid and hidraw nodes)
// beneath the usb_device `nodes` starts with, and appends them to
// `nodes`. The hidraw node takes the next minor, or `hidraw_minor`.
void add_hid_interface(UMockdevTestbed *testbed, TestbedNodes &nodes, const HidIdentity &identity,
                       uint8_t number = 0, int hidraw_minor = -1, const BeforeHidrawNode &before_node = nullptr);

#endif
