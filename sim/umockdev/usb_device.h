// A device's entries in the testbed's sysfs and /dev, and the usb_device
// entry every simulated USB device starts with.
#ifndef ONDRIX_SIM_USB_DEVICE_H
#define ONDRIX_SIM_USB_DEVICE_H

#include "usb_model.h"
#include "usb_ports.h"

#include <umockdev.h>

#include <string>
#include <vector>

// One sysfs entry and its /dev node, if it has one.
struct TestbedNode {
    std::string syspath;
    std::string devnode;
};

// What one device put into the testbed, parents first.
using TestbedNodes = std::vector<TestbedNode>;

// Adds the node at `devpath` (below /sys) with the description lines in
// `lines` (umockdev's E:, A:, H:, L: lines), and its /dev node when
// `devnode` is not empty. Exits on failure.
void add_node(UMockdevTestbed *testbed, TestbedNodes &nodes, const std::string &devpath,
              const std::string &devnode, const std::string &lines);

// Adds the usb_device on `port` as libusb and hidapi read it: the
// attributes from `descriptors` (device descriptor followed by the
// configuration) and `strings` (manufacturer, product, serial number).
TestbedNodes add_usb_device(UMockdevTestbed *testbed, const UsbPort &port, const Bytes &descriptors,
                            const Strings &strings);

// Takes the nodes off the testbed, children first, as a device leaves
// the bus.
void remove_nodes(UMockdevTestbed *testbed, const TestbedNodes &nodes);

// Text in printf style.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

// Bytes in upper-case hex, as umockdev's binary attributes ("H:") take them.
std::string hex(const Bytes &bytes);

#endif
