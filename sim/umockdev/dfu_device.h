// Simulated USB device in DFU 1.1 mode, added to a umockdev testbed.
//
// The device shows up in the testbed's sysfs as a usb_device with a
// /dev/bus/usb/BBB/DDD node; usbdevfs ioctls on that node (issued by libusb,
// e.g. inside dfu-util) carry its control requests to the DFU model.
#pragma once

#include "dfu_model.h"
#include "usb_device.h"
#include "usb_ports.h"

#include <umockdev.h>

#include <cstdint>
#include <functional>
#include <vector>

struct DfuDevice;

// What the device's owner hears of its downloads, on umockdev's worker
// thread.
struct DfuDownloadHooks {
    // The zero-length DNLOAD that ends a download was accepted: `image` is
    // all the device received.
    std::function<void(const Bytes &image)> completed;
    // The connection that ended the download has closed: the host (such as
    // dfu-util, which still asks for the status afterwards) is done with the
    // device.
    std::function<void()> released;
};

// Adds the usb_device (sysfs entry and its /dev/bus/usb/BBB/DDD node) and answers
// usbdevfs ioctls on the node. Holds a reference on the testbed until freed.
// Returns nullptr and prints the reason on stderr on failure.
DfuDevice *dfu_device_add(UMockdevTestbed *testbed, const UsbPort &port, const DfuDeviceConfig &config,
                          const DfuDownloadHooks &hooks = {});

// Its nodes in the testbed, the usb_device first.
TestbedNodes &dfu_device_nodes(DfuDevice *device);

// Bytes of the current (or last) download that the device accepted.
std::vector<uint8_t> dfu_device_received(DfuDevice *device);

// True once the zero-length DNLOAD that ends a download was accepted.
bool dfu_device_manifested(DfuDevice *device);

// The device leaves the bus: its nodes leave the testbed, and every
// request on a connection still open fails with ENODEV, as usbdevfs
// answers after a disconnect. What it received can still be read.
void dfu_device_unplug(DfuDevice *device);

// Stops answering on the node; the sysfs entry stays in the testbed.
void dfu_device_free(DfuDevice *device);
